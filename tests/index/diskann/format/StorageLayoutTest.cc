// Sector layout of DiskANN node records: geometry, byte-exact records written
// by BuildMemoryStorage, and the same records read back by SearchDiskStorage.
#include <gtest/gtest.h>

#include <cstring>
#include <memory_resource>
#include <string>
#include <vector>

#include "index/diskann/format/StorageTestUtil.h"
#include "index/diskann/build/LayoutRanker.h"
#include "index/diskann/search/SearchDiskStorage.h"

namespace orvane::index::diskann {
namespace {

using testutil::FillStorage;
using testutil::OpenImage;
using testutil::SectionPayload;
using testutil::WriteImage;

struct GeometryCase {
    const char* name;
    uint64_t vectorSize;
    uint64_t degree;
    uint64_t sectorSize;  // as the builder chooses it
    uint64_t nodeSize;
    uint64_t nodesPerSector;
    uint64_t sectorPerNode;
    uint64_t probeNode;
    uint64_t probeOffset;
};

const GeometryCase kGeometryCases[] = {
    {"dim96_r32", 384, 32, 4096, 516, 7, 1, 9, 4096 + 2 * 516},
    {"dim1000_r64_16k_sectors", 4000, 64, 16384, 4260, 3, 1, 4, 16384 + 4260},
    {"dim1536_r64_two_sectors", 6144, 64, 4096, 6404, 0, 2, 5, 5 * 8192},
    {"code10_aligned_to_12", 10, 4, 4096, 12 + 16 + 4, 128, 1, 130, 4096 + 2 * 32},
    {"exactly_one_sector", 4096 - 4 - 4 * 15, 15, 4096, 4096, 1, 1, 3, 3 * 4096},
};

TEST(DiskANNGeometryTest, DerivedSizesAndOffsets) {
    for (const GeometryCase& c : kGeometryCases) {
        SCOPED_TRACE(c.name);
        NodeGeometry g;
        const uint64_t nodeSize = ((c.vectorSize + 3) & ~uint64_t{3}) + 4 * c.degree + 4;
        EXPECT_EQ(ChooseSectorSize(nodeSize), c.sectorSize);
        ASSERT_TRUE(NodeGeometry::Compute(c.vectorSize, c.degree, c.sectorSize, &g));
        EXPECT_EQ(g.nodeSize, c.nodeSize);
        EXPECT_EQ(g.nodesPerSector, c.nodesPerSector);
        EXPECT_EQ(g.sectorPerNode, c.sectorPerNode);
        EXPECT_EQ(g.NodeOffset(c.probeNode), c.probeOffset);
    }
}

TEST(DiskANNGeometryTest, RefusesSizesThatDescribeNoLayout) {
    NodeGeometry g;
    EXPECT_FALSE(NodeGeometry::Compute(384, 32, 0, &g));
    EXPECT_FALSE(NodeGeometry::Compute(~uint64_t{0}, 32, 4096, &g));
    EXPECT_FALSE(NodeGeometry::Compute(384, ~uint64_t{0} / 2, 4096, &g));
    uint64_t total = 0;
    ASSERT_TRUE(NodeGeometry::Compute(4, 1, 4096, &g));
    EXPECT_TRUE(g.TotalSize(UINT32_MAX, &total));
    ASSERT_TRUE(NodeGeometry::Compute(uint64_t{1} << 38, uint64_t{1} << 36, 4096, &g));
    EXPECT_FALSE(g.TotalSize(UINT32_MAX, &total));
}

// The record the layout must hold at position p.
std::string ExpectedRecord(const BuildMemoryStorage& s, const NodeGeometry& g, uint64_t old,
                           const std::vector<uint64_t>& oldToNew, uint64_t recordSize) {
    std::string rec(recordSize, '\0');
    std::memcpy(rec.data(), s.Vector(old), g.vectorSize);
    const uint32_t n = s.NeighborSize(static_cast<uint32_t>(old));
    std::memcpy(rec.data() + g.alignedVectorSize, &n, 4);
    for (uint32_t j = 0; j < n; ++j) {
        uint32_t u = s.NeighborRow(static_cast<uint32_t>(old))[j];
        if (!oldToNew.empty()) u = static_cast<uint32_t>(oldToNew[u]);
        std::memcpy(rec.data() + g.alignedVectorSize + 4 + 4 * j, &u, 4);
    }
    return rec;
}

struct RoundTripCase {
    const char* name;
    uint32_t dimension;
    uint64_t degree;
    uint32_t count;
    bool reorder;
};

const RoundTripCase kRoundTripCases[] = {
    {"dim96_r32_partial_last_sector", 96, 32, 10, false},
    {"dim1000_r64_16k_sectors", 1000, 64, 7, false},
    {"dim1536_r64_two_sectors_per_node", 1536, 64, 5, false},
    {"dim8_r4_reordered", 8, 4, 300, true},
    {"empty_index", 16, 8, 0, false},
};

TEST(DiskANNStorageRoundTripTest, WrittenAndReadBackByteForByte) {
    for (const RoundTripCase& c : kRoundTripCases) {
        SCOPED_TRACE(c.name);
        BuildMemoryStorage storage(std::pmr::get_default_resource());
        FillStorage(storage, c.count, c.dimension, c.degree);
        StorageHeader header;
        header.efConstruction = 77;
        header.slackPruningFactor = 1.25f;
        header.neighborCount = c.degree;
        header.vectorSize = uint64_t{c.dimension} * 4;
        header.entryPointSize = static_cast<uint32_t>(storage.entryPoints.size());
        NodeGeometry g;
        ASSERT_TRUE(NodeGeometry::Compute(header.vectorSize, c.degree, 4096, &g));
        header.sectorSize = ChooseSectorSize(g.nodeSize);
        ASSERT_TRUE(NodeGeometry::Compute(header.vectorSize, c.degree, header.sectorSize, &g));
        std::vector<uint64_t> newToOld, oldToNew;
        if (c.reorder) std::tie(newToOld, oldToNew) = storage.GetReorderMap(g.nodesPerSector);
        const DiskANNIndexMeta meta{c.count, c.dimension, 0};
        const std::string image = WriteImage([&](io::OutputStream& out) {
            return storage.Dump(meta, header, newToOld, oldToNew, out);
        });

        auto stream = OpenImage(image);
        // Byte-exact layout: each record at its offset, zeros elsewhere.
        const std::string layout = SectionPayload(*stream, kLayoutSection);
        uint64_t total = 0;
        ASSERT_TRUE(g.TotalSize(c.count, &total));
        ASSERT_EQ(layout.size(), total);
        std::string expected(total, '\0');
        const uint64_t recordSize =
            g.sectorSize > g.nodeSize ? g.nodeSize : g.sectorPerNode * g.sectorSize;
        for (uint64_t p = 0; p < c.count; ++p) {
            const uint64_t old = c.reorder ? newToOld[p] : p;
            expected.replace(g.NodeOffset(p), recordSize,
                             ExpectedRecord(storage, g, old, oldToNew, recordSize));
        }
        EXPECT_TRUE(layout == expected);

        SearchDiskStorage reader;
        ASSERT_TRUE(reader.Load(*stream, c.count, c.dimension).IsOk());
        EXPECT_EQ(std::memcmp(&reader.Header(), &header, sizeof(header)), 0);
        ASSERT_EQ(reader.ids.size(), c.count);
        ASSERT_EQ(reader.entryPoints.size(), storage.entryPoints.size());
        for (uint32_t i = 0; i < reader.entryPoints.size(); ++i) {
            const uint64_t e = storage.entryPoints[i];
            EXPECT_EQ(reader.entryPoints[i], c.reorder ? oldToNew[e] : e);
        }
        GraphNodeHolder holder;
        holder.Resize(c.count, reader.GraphNodeSize());
        std::vector<uint32_t> all(c.count);
        for (uint32_t i = 0; i < c.count; ++i) all[i] = i;
        ASSERT_TRUE(testutil::ReadNodes(reader, all, holder, 3).IsOk());
        for (uint32_t p = 0; p < c.count; ++p) {
            const uint64_t old = c.reorder ? newToOld[p] : p;
            EXPECT_EQ(reader.ids[p], storage.ids[old]);
            const GraphNode& node = holder.nodes[p];
            ASSERT_EQ(node.embedding.size(), g.vectorSize);
            EXPECT_EQ(std::memcmp(node.embedding.data(), storage.Vector(old), g.vectorSize), 0);
            const auto list = storage.Neighbors(static_cast<uint32_t>(old));
            ASSERT_EQ(node.neighbors.size(), list.size());
            for (size_t j = 0; j < list.size(); ++j) {
                EXPECT_EQ(node.neighbors[j], c.reorder ? oldToNew[list[j]] : list[j]);
            }
        }
    }
}

TEST(DiskANNReorderTest, FirstSectorGathersNodeZeroWithFarNeighbors) {
    BuildMemoryStorage storage(std::pmr::get_default_resource());
    ASSERT_TRUE(storage.Init(100, 1, 3).IsOk());
    for (uint32_t i = 0; i < 100; ++i) {
        storage.ids.push_back(i);
        storage.vectors.push_back(static_cast<float>(i));
    }
    const uint32_t far[] = {90, 50, 70};
    std::memcpy(storage.NeighborRow(0), far, sizeof(far));
    storage.NeighborSize(0) = 3;
    storage.NeighborRow(1)[0] = 2;  // node 1 then pulls node 2 in
    storage.NeighborSize(1) = 1;
    auto [newToOld, oldToNew] = storage.GetReorderMap(4);
    ASSERT_EQ(newToOld.size(), 100u);
    EXPECT_EQ((std::vector<uint64_t>(newToOld.begin(), newToOld.begin() + 6)),
              (std::vector<uint64_t>{0, 90, 50, 70, 1, 2}));
    for (uint64_t p = 0; p < 100; ++p) EXPECT_EQ(oldToNew[newToOld[p]], p);
}

TEST(DiskANNReorderTest, NeighborPercentCountsSectorMates) {
    // Two sectors of 3: {0,1,2} with 0->1, 0->2, 1->0; {3,4,5} with 3->9 (outside).
    std::vector<uint32_t> data(6 * 2, 0);
    std::vector<uint32_t> size(6, 0);
    data[0] = 1, data[1] = 2, size[0] = 2;
    data[2] = 0, size[1] = 1;
    data[6] = 9, size[3] = 1;
    const std::vector<RankSector> sectors = {{{0, 1, 2}}, {{3, 4, 5}}};
    // (2/2 + 1/2) / 6 = 0.25
    EXPECT_FLOAT_EQ(LayoutRanker::NeighborPercentInSector(sectors, 6, 2, 3, data, size), 0.25f);
    EXPECT_FLOAT_EQ(LayoutRanker::NeighborPercentInSector({}, 6, 2, 3, data, size), 0.0f);
}

}  // namespace
}  // namespace orvane::index::diskann
