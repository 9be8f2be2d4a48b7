// Helpers of the ivf tests: clustered data, an ivf index built by the back end
// into memory, its six section payloads (to damage one and put the file back
// together), and a searcher opened over an image.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "orvane/core/MemoryResource.h"
#include "index/ivf/IvfBuilderBackend.h"
#include "index/ivf/IvfIndexMeta.h"
#include "index/ivf/IvfKind.h"
#include "index/ivf/IvfSearcherBackend.h"
#include "io/InputStream.h"
#include "io/IoTestUtil.h"
#include "io/MemoryFileReader.h"
#include "io/OutputStream.h"

namespace orvane::index::ivf::testutil {

// n rows of dim floats around `clusters` well separated centres.
inline std::vector<float> ClusteredRows(uint64_t n, uint32_t dim, uint32_t clusters,
                                        uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> centre(-10.0f, 10.0f);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    std::vector<float> centres(uint64_t{clusters} * dim);
    for (float& c : centres) c = centre(rng);
    std::vector<float> rows(n * dim);
    for (uint64_t i = 0; i < n; ++i) {
        const float* c = centres.data() + (rng() % clusters) * dim;
        for (uint32_t j = 0; j < dim; ++j) rows[i * dim + j] = c[j] + noise(rng);
    }
    return rows;
}

// Ids of row i are 1000 + 7i, so that ids and row positions differ.
inline uint64_t IdOf(uint64_t row) {
    return 1000 + 7 * row;
}

struct BuildPlan {
    uint32_t dim = 8;
    uint32_t numLists = 4;
    std::string encoding = "rawf32";
    uint32_t threads = 1;
    uint32_t batch = 50;  // rows per AppendBatch
};

inline api::BuilderOptions OptionsOf(const BuildPlan& plan) {
    api::BuilderOptions options{{"index.dimension", int64_t{plan.dim}},
                                {"index.type", std::string("ivf")},
                                {"ivf.build.num_lists", int64_t{plan.numLists}},
                                {"ivf.build.thread_count", int64_t{plan.threads}},
                                {"encoding.type", plan.encoding}};
    if (plan.encoding == "pq") options.Values()["encoding.pq.m"] = int64_t{plan.dim / 2};
    return options;
}

// Builds an index over `rows` with the back end, pretraining on all of them,
// and returns the file image.
inline std::string BuildImage(const std::vector<float>& rows, const BuildPlan& plan) {
    auto created = CreateIvfBuilderBackend(OptionsOf(plan), core::MemoryResourceConfig{});
    EXPECT_TRUE(created.IsOk()) << created.GetStatus().Message();
    if (!created.IsOk()) return {};
    api::BuilderBackend& builder = *created.Value();
    const uint64_t n = rows.size() / plan.dim;
    EXPECT_TRUE(builder.Pretrain(rows.data(), n).IsOk());
    EXPECT_TRUE(builder.Reserve(n).IsOk());
    std::vector<uint64_t> ids(n);
    for (uint64_t i = 0; i < n; ++i) ids[i] = IdOf(i);
    for (uint64_t first = 0; first < n; first += plan.batch) {
        const uint64_t count = std::min<uint64_t>(plan.batch, n - first);
        core::Status st = builder.AppendBatch(
            std::span<const float>(rows.data() + first * plan.dim, count * plan.dim),
            std::span<const uint64_t>(ids.data() + first, count));
        EXPECT_TRUE(st.IsOk()) << st.Message();
    }
    auto out = std::make_shared<std::string>();
    io::OutputStream stream(std::make_unique<io::testutil::StringWriter>(out));
    EXPECT_TRUE(stream.Init({}).IsOk());
    core::Status dumped = builder.Dump(stream);
    EXPECT_TRUE(dumped.IsOk()) << dumped.Message();
    return *out;
}

inline io::InputStream OpenStream(const std::string& image) {
    io::InputStream stream(std::make_unique<io::MemoryFileReader>(image));
    EXPECT_TRUE(stream.Open({}).IsOk());
    return stream;
}

// The payloads of the six sections, by name, in file order.
struct Sections {
    std::vector<io::testutil::SectionSpec> list;

    std::string& Payload(const std::string& name) {
        for (auto& s : list) {
            if (s.name == name) return s.payload;
        }
        ADD_FAILURE() << "no section " << name;
        static std::string none;
        return none;
    }
    std::string Image() const { return io::testutil::BuildFile(list); }

    IndexMeta Meta() {
        IndexMeta meta;
        std::memcpy(&meta, Payload(kMetaSection).data(), sizeof(meta));
        return meta;
    }
    void SetMeta(const IndexMeta& meta) {
        Payload(kMetaSection).assign(reinterpret_cast<const char*>(&meta), sizeof(meta));
    }
    std::vector<ListDirEntry> Dir() {
        const std::string& p = Payload(kListDirSection);
        std::vector<ListDirEntry> dir(p.size() / sizeof(ListDirEntry));
        std::memcpy(dir.data(), p.data(), dir.size() * sizeof(ListDirEntry));
        return dir;
    }
    void SetDir(const std::vector<ListDirEntry>& dir) {
        Payload(kListDirSection)
            .assign(reinterpret_cast<const char*>(dir.data()), dir.size() * sizeof(ListDirEntry));
    }
    std::vector<uint64_t> Words(const char* name) {
        const std::string& p = Payload(name);
        std::vector<uint64_t> words(p.size() / 8);
        std::memcpy(words.data(), p.data(), words.size() * 8);
        return words;
    }
    void SetWords(const char* name, const std::vector<uint64_t>& words) {
        Payload(name).assign(reinterpret_cast<const char*>(words.data()), words.size() * 8);
    }
};

inline Sections SplitSections(const std::string& image) {
    io::InputStream stream = OpenStream(image);
    std::vector<std::pair<uint64_t, std::string>> byOffset;
    for (const auto& [name, meta] : stream.SectionMetas())
        byOffset.push_back({meta.sectionDataOffset, name});
    std::sort(byOffset.begin(), byOffset.end());
    Sections out;
    for (const auto& [offset, name] : byOffset) {
        auto reader = stream.GetSectionReader(name);
        EXPECT_TRUE(reader.IsOk());
        std::string payload(reader.Value()->SectionPayloadSize(), '\0');
        EXPECT_TRUE(reader.Value()->Read(0, payload.size(), std::span<char>(payload)).IsOk());
        out.list.push_back({name, payload, kSectionAlignment});
    }
    return out;
}

// A searcher back end configured for `dim`, opened over `image`.
inline std::unique_ptr<IvfSearcherBackend> OpenSearcher(const std::string& image, uint32_t dim,
                                                        core::Status* opened = nullptr) {
    auto searcher = std::make_unique<IvfSearcherBackend>(dim, core::MemoryResourceConfig{});
    io::InputStream stream = OpenStream(image);
    core::Status st = searcher->Open(stream);
    if (opened != nullptr) {
        *opened = st;
    } else {
        EXPECT_TRUE(st.IsOk()) << st.Message();
    }
    return searcher;
}

}  // namespace orvane::index::ivf::testutil
