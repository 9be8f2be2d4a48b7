// Helpers of the DiskANN storage tests: a storage filled with generated
// vectors and neighbour lists, in-memory index images and streams over them.
#pragma once

#include <algorithm>

#include <gtest/gtest.h>

#include <memory>
#include <memory_resource>
#include <random>
#include <string>
#include <vector>

#include "index/diskann/build/BuildMemoryStorage.h"
#include "index/diskann/search/SearchDiskStorage.h"
#include "io/InputStream.h"
#include "io/IoTestUtil.h"
#include "io/MemoryFileReader.h"
#include "io/OutputStream.h"

namespace orvane::index::diskann::testutil {

// A storage of `count` nodes: row i holds i * dimension + k as floats, node i
// lists (i * 7 + j) % count for j < sizes cycling over 0 .. degree.
inline void FillStorage(BuildMemoryStorage& storage, uint32_t count, uint32_t dimension,
                        uint64_t degree) {
    ASSERT_TRUE(storage.Init(count, dimension, degree).IsOk());
    for (uint32_t i = 0; i < count; ++i) {
        storage.ids.push_back(1000 + uint64_t{i} * 3);
        for (uint32_t k = 0; k < dimension; ++k) {
            storage.vectors.push_back(static_cast<float>(i) * 0.5f + static_cast<float>(k));
        }
        const uint32_t n = static_cast<uint32_t>((i * 5 + 1) % (degree + 1));
        for (uint32_t j = 0; j < n; ++j) storage.NeighborRow(i)[j] = (i * 7 + j + 1) % count;
        storage.NeighborSize(i) = n;
        storage.LastPruningPos(i) = n / 2;
    }
    if (count > 0) storage.entryPoints = {count / 2};
}

// Runs `write` on a fresh stream into memory and returns the file image;
// closes the stream afterwards unless `write` closes it itself.
template <typename Write>
std::string WriteImage(Write&& write, bool writeCloses = false) {
    auto out = std::make_shared<std::string>();
    io::OutputStream stream(std::make_unique<io::testutil::StringWriter>(out));
    EXPECT_TRUE(stream.Init({}).IsOk());
    const core::Status st = write(stream);
    EXPECT_TRUE(st.IsOk()) << st.Message();
    if (!writeCloses) {
        EXPECT_TRUE(stream.Close().IsOk());
    }
    return *out;
}

inline std::unique_ptr<io::InputStream> OpenImage(const std::string& image) {
    auto stream = std::make_unique<io::InputStream>(std::make_unique<io::MemoryFileReader>(image));
    EXPECT_TRUE(stream->Open({}).IsOk());
    return stream;
}

// The payload bytes of one section of an opened image.
inline std::string SectionPayload(io::InputStream& stream, const std::string& name) {
    auto reader = stream.GetSectionReader(name);
    if (!reader.IsOk()) return {};
    std::string bytes(reader.Value()->SectionPayloadSize(), '\0');
    EXPECT_TRUE(
        reader.Value()->Read(0, bytes.size(), std::span<char>(bytes.data(), bytes.size())).IsOk());
    return bytes;
}

// The status carries `code` and a message starting with `prefix`.
inline void ExpectStatus(const core::Status& st, core::ErrorCode code, const std::string& prefix) {
    EXPECT_EQ(st.Code(), code) << st.Message();
    EXPECT_EQ(st.Message().rfind(prefix, 0), 0u) << st.Message();
}

// Reads and parses ids[j] into slot firstSlot + j of holder, `parallel`
// reads at a time.
inline core::Status ReadNodes(const SearchDiskStorage& storage, std::vector<uint32_t> ids,
                              GraphNodeHolder& holder, uint32_t parallel, uint32_t firstSlot = 0) {
    std::vector<io::InputStream::SectionReader::ReadRequest> requests(std::max(parallel, 1u));
    return storage.ReadNodes(ids, holder, firstSlot, parallel, requests);
}

}  // namespace orvane::index::diskann::testutil
