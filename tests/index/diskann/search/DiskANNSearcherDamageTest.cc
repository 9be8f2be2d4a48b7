// Damaged index files: every section cut short or missing, forged counts,
// sizes, header geometry and node ids. Each must give a status at Open or at search; none may
// crash or read out of bounds (the sanitizer builds check the latter).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "index/diskann/search/SearcherTestUtil.h"
#include "testing/LogCapture.h"

namespace orvane::index::diskann {
namespace {

using core::ErrorCode;
using namespace testutil;

constexpr uint32_t kDim = 8;
constexpr uint32_t kN = 400;
constexpr uint64_t kDegree = 12;

const std::vector<float>& Data() {
    static const std::vector<float> data = Clustered(kN, kDim, 21);
    return data;
}

const std::string& GoodImage() {
    static const std::string image = [] {
        testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
        return BuildImage(Options(kDim, kDegree, 2, 40), Data(), kDim);
    }();
    return image;
}

template <typename T>
void Poke(std::string& bytes, uint64_t offset, T value) {
    if (offset + sizeof(T) <= bytes.size()) std::memcpy(bytes.data() + offset, &value, sizeof(T));
}

// Applies `edit` to every node record of a layout payload.
template <typename Edit>
void EditRecords(std::string& layout, Edit edit) {
    NodeGeometry g;
    ASSERT_TRUE(NodeGeometry::Compute(kDim * 4, kDegree, kSmallSectorSize, &g));
    for (uint32_t i = 0; i < kN; ++i) edit(layout, g.NodeOffset(i) + g.alignedVectorSize);
}

// The outcome of opening `image` and searching it with every query option
// that reaches a different part of the code: Ok or the first failure.
core::Status OpenAndSearch(const std::string& image, int64_t cache) {
    auto opened = OpenInMemory(image, kDim, cache);
    if (!opened.status.IsOk()) return opened.status;
    for (uint32_t q = 0; q < 20; ++q) {
        auto r = opened.searcher->Search({Data().data() + q * 13 * kDim, kDim}, SearchOpts(10, 40),
                                         *std::pmr::get_default_resource());
        if (!r.IsOk()) return r.TakeStatus();
    }
    return core::Status::Ok();
}

TEST(DiskANNSearcherDamageTest, TruncatedOrMissingSectionsFailCleanly) {
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    ASSERT_TRUE(OpenAndSearch(GoodImage(), 20).IsOk());
    for (const char* section : {kMetaSection, kEncoderSection, kHeaderSection, kIdsSection,
                                kEntryPointsSection, kLayoutSection}) {
        for (int mode = 0; mode < 3; ++mode) {
            SCOPED_TRACE(std::string(section) + " mode " + std::to_string(mode));
            const std::string damaged =
                RewriteImage(GoodImage(), [&](const std::string& name, std::string& payload) {
                    if (name != section) return true;
                    if (mode == 0) payload.resize(payload.size() / 2);
                    if (mode == 1) payload.resize(payload.size() > 4 ? 4 : 0);
                    return mode != 2;
                });
            EXPECT_FALSE(OpenAndSearch(damaged, 20).IsOk());
        }
    }
}

TEST(DiskANNSearcherDamageTest, ForgedFieldsGiveTheirStatus) {
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    struct Case {
        const char* name;
        const char* section;
        std::function<void(std::string&)> edit;
        int64_t cache;
        ErrorCode code;  // Ok: any failure
    };
    const Case cases[] = {
        {"sector size 0", kHeaderSection,
         [](std::string& p) { Poke<uint64_t>(p, offsetof(StorageHeader, sectorSize), 0); }, 0,
         ErrorCode::Corruption},
        {"degree overflows the record", kHeaderSection,
         [](std::string& p) {
             Poke<uint64_t>(p, offsetof(StorageHeader, neighborCount), 1ull << 62);
         },
         0, ErrorCode::Corruption},
        {"vector size overflows the record", kHeaderSection,
         [](std::string& p) { Poke<uint64_t>(p, offsetof(StorageHeader, vectorSize), ~0ull - 2); },
         0, ErrorCode::Corruption},
        {"vector size not the dimension's", kHeaderSection,
         [](std::string& p) { Poke<uint64_t>(p, offsetof(StorageHeader, vectorSize), 4); }, 0,
         ErrorCode::Corruption},
        {"neighbour count 0", kHeaderSection,
         [](std::string& p) { Poke<uint64_t>(p, offsetof(StorageHeader, neighborCount), 0); }, 0,
         ErrorCode::Corruption},
        {"sector size 1", kHeaderSection,
         [](std::string& p) { Poke<uint64_t>(p, offsetof(StorageHeader, sectorSize), 1); }, 0,
         ErrorCode::Corruption},
        {"large sector for a small node", kHeaderSection,
         [](std::string& p) {
             Poke<uint64_t>(p, offsetof(StorageHeader, sectorSize), kLargeSectorSize);
         },
         0, ErrorCode::Corruption},
        {"no entry point", kHeaderSection,
         [](std::string& p) { Poke<uint32_t>(p, offsetof(StorageHeader, entryPointSize), 0); }, 0,
         ErrorCode::Corruption},
        {"entry point count huge", kHeaderSection,
         [](std::string& p) { Poke<uint32_t>(p, offsetof(StorageHeader, entryPointSize), ~0u); }, 0,
         ErrorCode::Ok},
        {"entry point beyond count", kEntryPointsSection,
         [](std::string& p) { Poke<uint32_t>(p, 0, kN); }, 0, ErrorCode::Corruption},
        {"meta count larger", kMetaSection, [](std::string& p) { Poke<uint32_t>(p, 0, kN + 1); }, 0,
         ErrorCode::Ok},
        {"meta count huge", kMetaSection, [](std::string& p) { Poke<uint32_t>(p, 0, ~0u); }, 0,
         ErrorCode::Ok},
        {"meta metric unknown", kMetaSection, [](std::string& p) { Poke<uint32_t>(p, 8, 77); }, 0,
         ErrorCode::Ok},
        {"encoder version forged", kEncoderSection, [](std::string& p) { Poke<uint32_t>(p, 0, 5); },
         0, ErrorCode::Ok},
        {"encoder with a trailing byte", kEncoderSection, [](std::string& p) { p.push_back(0); }, 0,
         ErrorCode::Corruption},
        {"encoder looks reordered but is too short", kEncoderSection,
         [](std::string& p) {
             Poke<uint32_t>(p, 0, 2);
             p.resize(64);
         },
         0, ErrorCode::Corruption},
        {"neighbour beyond count (read)", kLayoutSection,
         [](std::string& p) {
             EditRecords(p, [](std::string& l, uint64_t at) { Poke<uint32_t>(l, at + 4, kN + 3); });
         },
         0, ErrorCode::Internal},
        {"neighbour beyond count (cached)", kLayoutSection,
         [](std::string& p) {
             EditRecords(p, [](std::string& l, uint64_t at) { Poke<uint32_t>(l, at + 4, ~0u); });
         },
         30, ErrorCode::Corruption},
        {"neighbour count above degree", kLayoutSection,
         [](std::string& p) {
             EditRecords(p,
                         [](std::string& l, uint64_t at) { Poke<uint32_t>(l, at, kDegree + 1); });
         },
         0, ErrorCode::Internal},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string damaged =
            RewriteImage(GoodImage(), [&](const std::string& name, std::string& payload) {
                if (name == c.section) c.edit(payload);
                return true;
            });
        const core::Status st = OpenAndSearch(damaged, c.cache);
        EXPECT_FALSE(st.IsOk());
        if (c.code != ErrorCode::Ok) {
            EXPECT_EQ(st.Code(), c.code) << st.Message();
        }
        // A node that fails while searching is reported as one fixed failure.
        if (c.code == ErrorCode::Internal) {
            EXPECT_EQ(st.Message(), "Node processing failed");
        }
    }
}

}  // namespace
}  // namespace orvane::index::diskann
