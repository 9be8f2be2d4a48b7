// In-place access to a reader's bytes for a scope (BeginInPlace/EndInPlace):
// which readers offer it, that the bytes are the file's, that a closed reader
// refuses it, and that Close waits for an open scope before it releases the
// bytes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "io/IoTestUtil.h"
#include "io/LocalFileReader.h"
#include "io/MemoryFileReader.h"
#include "io/MmapFileReader.h"
#include "testing/FileBytes.h"
#include "testing/TempDir.h"

namespace orvane::io {
namespace {

using testing::TempDir;
using testutil::RandomBytes;
using testutil::ThreadPoolExecutor;

enum class Kind { kMmap, kMmapPopulate, kMemory, kLocal, kEmptyMmap };

struct InPlaceCase {
    const char* name;
    Kind kind;
    bool holdsBytes;
};

constexpr InPlaceCase kCases[] = {
    {"mmap", Kind::kMmap, true},
    {"mmap_populate", Kind::kMmapPopulate, true},
    {"memory", Kind::kMemory, true},
    {"local", Kind::kLocal, false},
    {"empty_mmap", Kind::kEmptyMmap, false},
};

class InPlaceReadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        _contents = RandomBytes(9000, 5);
        _path = _dir.File("data.bin");
        testing::WriteFileBytes(_path, _contents);
        _emptyPath = _dir.File("empty.bin");
        testing::WriteFileBytes(_emptyPath, "");
    }

    std::unique_ptr<FileReader> Open(Kind kind) {
        switch (kind) {
            case Kind::kMmap:
            case Kind::kMmapPopulate: {
                auto reader = MmapFileReader::Create(
                    _path, kind == Kind::kMmap ? MmapFileReader::LockMode::None
                                               : MmapFileReader::LockMode::Populate);
                EXPECT_TRUE(reader.IsOk());
                return reader.IsOk() ? reader.TakeValue() : nullptr;
            }
            case Kind::kMemory:
                return std::make_unique<MemoryFileReader>(_contents);
            case Kind::kLocal:
                return std::make_unique<LocalFileReader>(_path, _executor);
            case Kind::kEmptyMmap: {
                auto reader = MmapFileReader::Create(_emptyPath, MmapFileReader::LockMode::None);
                EXPECT_TRUE(reader.IsOk());
                return reader.IsOk() ? reader.TakeValue() : nullptr;
            }
        }
        return nullptr;
    }

    TempDir _dir;
    ThreadPoolExecutor _executor{2};
    std::string _path, _emptyPath;
    std::string _contents;
};

TEST_F(InPlaceReadTest, ReadersHoldingTheBytesHandThemOutUntilClosed) {
    for (const InPlaceCase& c : kCases) {
        SCOPED_TRACE(c.name);
        auto reader = Open(c.kind);
        ASSERT_NE(reader, nullptr);
        const char* base = reader->BeginInPlace();
        EXPECT_EQ(base != nullptr, c.holdsBytes);
        if (base != nullptr) {
            EXPECT_EQ(std::memcmp(base, _contents.data(), _contents.size()), 0);
            reader->EndInPlace();
            // Scopes nest and repeat: each gets the same bytes.
            const char* again = reader->BeginInPlace();
            const char* nested = reader->BeginInPlace();
            EXPECT_EQ(again, base);
            EXPECT_EQ(nested, base);
            reader->EndInPlace();
            reader->EndInPlace();
        }
        (void)reader->Close();
        EXPECT_EQ(reader->BeginInPlace(), nullptr) << "a closed reader holds nothing";
    }
}

TEST_F(InPlaceReadTest, SectionReaderOffsetsTheScopeToItsSection) {
    auto reader = Open(Kind::kMemory);
    const InputStream::SectionReader section(100, 400, 0, 0, std::move(reader));
    const char* base = section.BeginInPlace();
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(std::memcmp(base, _contents.data() + 100, 400), 0);
    section.EndInPlace();

    const InputStream::SectionReader local(100, 400, 0, 0, Open(Kind::kLocal));
    EXPECT_EQ(local.BeginInPlace(), nullptr);
}

// Close waits for every open scope: the bytes a scope reads stay mapped until
// it ends, and scopes begun after Close started are refused.
TEST_F(InPlaceReadTest, CloseWaitsForOpenScopesStress) {
    for (Kind kind : {Kind::kMmap, Kind::kMemory}) {
        auto reader = Open(kind);
        ASSERT_NE(reader, nullptr);
        std::atomic<bool> closed{false};
        std::atomic<int> badReads{0};
        std::atomic<int> scopes{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < 2000; ++i) {
                    const char* base = reader->BeginInPlace();
                    if (base == nullptr) {
                        if (!closed.load()) continue;  // refused while closing
                        break;
                    }
                    ++scopes;
                    const size_t at = (static_cast<size_t>(i) * 131 + t * 977) % _contents.size();
                    if (base[at] != _contents[at]) ++badReads;
                    if (closed.load()) ++badReads;  // Close returned inside a scope
                    reader->EndInPlace();
                }
            });
        }
        while (scopes.load() < 100) std::this_thread::yield();
        (void)reader->Close();
        closed.store(true);
        for (auto& thread : threads) thread.join();
        EXPECT_EQ(badReads.load(), 0);
        EXPECT_EQ(reader->BeginInPlace(), nullptr);
    }
}

// One scope held by a thread keeps Close from returning until it ends.
TEST_F(InPlaceReadTest, CloseBlocksOnAHeldScopeConcurrency) {
    auto reader = Open(Kind::kMmap);
    ASSERT_NE(reader, nullptr);
    const char* base = reader->BeginInPlace();
    ASSERT_NE(base, nullptr);
    std::atomic<bool> closeReturned{false};
    std::thread closer([&] {
        (void)reader->Close();
        closeReturned.store(true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(closeReturned.load());
    EXPECT_EQ(base[10], _contents[10]);  // still mapped
    reader->EndInPlace();
    closer.join();
    EXPECT_TRUE(closeReturned.load());
}

}  // namespace
}  // namespace orvane::io
