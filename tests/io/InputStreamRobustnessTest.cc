// Thousands of damaged index files: bit flips, truncation, appended bytes and
// forged table and footer values. Whatever the damage, every operation must
// return a status, and nothing may crash or read outside the file (this suite
// also runs under AddressSanitizer).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "orvane/api/Options.h"
#include "io/FileFormat.h"
#include "io/IndexFileExercise.h"
#include "io/IoTestUtil.h"
#include "io/MemoryFileReader.h"
#include "io/MmapFileReader.h"
#include "testing/FileBytes.h"
#include "testing/LogCapture.h"
#include "testing/TempDir.h"

namespace orvane::io {
namespace {

using testutil::ExerciseIndexFile;
using testutil::ExerciseResult;

std::vector<std::string> BaseFiles() {
    return {
        testutil::BuildFile({{"meta", "m", 1}}),
        testutil::BuildFile({{"a", testutil::RandomBytes(37, 1), 8},
                             {"bb", testutil::RandomBytes(100, 2), 16},
                             {"empty", "", 4},
                             {"ccc", testutil::RandomBytes(3000, 3), 512}}),
        testutil::BuildFile({{"x", testutil::RandomBytes(1, 4), 1},
                             {"y", testutil::RandomBytes(2, 5), 1},
                             {"z", testutil::RandomBytes(3, 6), 1},
                             {"w", testutil::RandomBytes(700, 7), 64},
                             {"v", testutil::RandomBytes(65, 8), 1}}),
    };
}

uint64_t Footer(const std::string& file) {
    return file.size() - 64;
}
uint64_t TableStart(const std::string& file) {
    uint64_t v;
    std::memcpy(&v, file.data() + Footer(file), 8);
    return v;
}
uint32_t SectionCount(const std::string& file) {
    uint32_t v;
    std::memcpy(&v, file.data() + Footer(file) + 8, 4);
    return v;
}

// Values a forger would try: boundaries, near-overflow values and random ones.
uint64_t NastyValue(std::mt19937_64& rng, const std::string& file) {
    const uint64_t size = file.size();
    const uint64_t picks[] = {0,
                              1,
                              63,
                              64,
                              65,
                              size - 65,
                              size - 64,
                              size - 63,
                              size,
                              size + 1,
                              UINT64_MAX,
                              UINT64_MAX - 1,
                              UINT64_MAX - 63,
                              1ull << 63,
                              UINT32_MAX,
                              TableStart(file),
                              TableStart(file) + 1,
                              rng()};
    return picks[rng() % std::size(picks)] + (rng() % 4 == 0 ? rng() % 3 : 0);
}

void Resign(std::string& file) {
    FileFooter footer;
    std::memcpy(&footer, file.data() + Footer(file), sizeof(footer));
    footer.footerCrc = ComputeFooterCrc(footer);
    std::memcpy(file.data() + Footer(file), &footer, sizeof(footer));
}

enum class Mutation { BitFlip, ByteBurst, Truncate, Append, ForgeTable, ForgeFooter, Count };

std::string Mutate(const std::string& base, Mutation kind, std::mt19937_64& rng) {
    std::string file = base;
    switch (kind) {
        case Mutation::BitFlip:
            file[rng() % file.size()] ^= static_cast<char>(1u << (rng() % 8));
            break;
        case Mutation::ByteBurst:
            for (int i = 0, n = 1 + static_cast<int>(rng() % 8); i < n; ++i) {
                file[rng() % file.size()] = static_cast<char>(rng());
            }
            break;
        case Mutation::Truncate:
            file.resize(rng() % file.size());
            break;
        case Mutation::Append:
            file += testutil::RandomBytes(1 + rng() % 200, static_cast<uint32_t>(rng()));
            break;
        case Mutation::ForgeTable: {
            // Rewrite one field of one record; the table has no CRC of its own.
            const uint64_t count = SectionCount(file);
            const uint64_t record = TableStart(file) + 64 * (rng() % count);
            static constexpr size_t kWide[] = {0, 8, 24, 32};
            if (rng() % 5 == 0) {
                const uint32_t v = static_cast<uint32_t>(NastyValue(rng, file));
                std::memcpy(file.data() + record + 16, &v, 4);  // name size
            } else {
                const uint64_t v = NastyValue(rng, file);
                std::memcpy(file.data() + record + kWide[rng() % 4], &v, 8);
            }
            break;
        }
        case Mutation::ForgeFooter: {
            if (rng() % 2) {
                const uint64_t v = NastyValue(rng, file);
                std::memcpy(file.data() + Footer(file), &v, 8);
            } else {
                const uint32_t v =
                    static_cast<uint32_t>(rng() % 2 ? rng() % 8 : NastyValue(rng, file));
                std::memcpy(file.data() + Footer(file) + 8, &v, 4);
            }
            Resign(file);
            break;
        }
        case Mutation::Count:
            break;
    }
    return file;
}

TEST(InputStreamRobustnessTest, RandomMutationsNeverBreakTheReader) {
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    testing::TempDir dir;
    const std::vector<std::string> bases = BaseFiles();
    std::mt19937_64 rng(20240607);
    int opened = 0;
    int total = 0;
    int kindCounts[static_cast<int>(Mutation::Count)] = {};
    for (int i = 0; i < 20000; ++i) {
        const std::string& base = bases[i % bases.size()];
        const auto kind = static_cast<Mutation>(rng() % static_cast<int>(Mutation::Count));
        ++kindCounts[static_cast<int>(kind)];
        const std::string file = Mutate(base, kind, rng);
        const bool verify = rng() % 2;
        ExerciseResult r =
            ExerciseIndexFile(file, std::make_unique<MemoryFileReader>(file), verify, true);
        ASSERT_TRUE(r.violation.empty()) << "iteration " << i << ": " << r.violation;
        opened += r.opened;
        ++total;
        // A sample goes through the file-backed readers as well.
        if (i % 100 == 0) {
            const std::string path = dir.File(std::to_string(i) + ".idx");
            testing::WriteFileBytes(path, file);
            auto local = CreateFileReader(orvane::api::IOOptions{{"index.path", path}});
            ASSERT_TRUE(local.IsOk());
            ExerciseResult viaLocal = ExerciseIndexFile(file, local.TakeValue(), verify, false);
            ASSERT_TRUE(viaLocal.violation.empty())
                << "iteration " << i << ": " << viaLocal.violation;
            EXPECT_EQ(viaLocal.opened, r.opened);
            auto mapped = MmapFileReader::Create(path, MmapFileReader::LockMode::None);
            if (mapped.IsOk()) {
                ExerciseResult viaMmap = ExerciseIndexFile(file, mapped.TakeValue(), verify, true);
                ASSERT_TRUE(viaMmap.violation.empty())
                    << "iteration " << i << ": " << viaMmap.violation;
                EXPECT_EQ(viaMmap.opened, r.opened);
            }
        }
    }
    // Both outcomes must have been exercised in quantity for the run to mean something.
    EXPECT_GT(opened, total / 10);
    EXPECT_LT(opened, total);
    for (int count : kindCounts) EXPECT_GT(count, 2000);
}

// Single bit flips have a predictable verdict depending on where they land.
TEST(InputStreamRobustnessTest, EveryBitFlipIsClassifiedCorrectly) {
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    const std::string base = BaseFiles()[1];
    InputStream clean(std::make_unique<MemoryFileReader>(base));
    ASSERT_TRUE(clean.Open({}).IsOk());
    const uint64_t tableStart = TableStart(base);
    for (uint64_t byte = 0; byte < base.size(); ++byte) {
        for (int bit = 0; bit < 8; bit += 3) {
            std::string file = base;
            file[byte] ^= static_cast<char>(1 << bit);
            InputStream stream(std::make_unique<MemoryFileReader>(file));
            const core::Status st = stream.Open({});
            SCOPED_TRACE("byte " + std::to_string(byte) + " bit " + std::to_string(bit));
            if (byte < 28 || (byte >= Footer(base) && byte < Footer(base) + 16)) {
                EXPECT_FALSE(st.IsOk());  // covered by the header or footer CRC
                continue;
            }
            if (byte >= tableStart) {
                // Table, names and reserved bytes: any verdict, but a status.
                continue;
            }
            // Section data: the file opens, and exactly the damaged section fails its CRC.
            ASSERT_TRUE(st.IsOk()) << st.Message();
            for (const auto& [name, meta] : clean.SectionMetas()) {
                auto reader = stream.GetSectionReader(name).TakeValue();
                const bool hit =
                    byte >= meta.sectionDataOffset && byte < meta.sectionDataOffset + meta.dataSize;
                EXPECT_EQ(reader->VerifyCrc().IsOk(), !hit) << name;
            }
        }
    }
}

}  // namespace
}  // namespace orvane::io
