// DiskANN storage: disk-encoder dumps, checkpoints, and the refusal of short
// or damaged sections and node records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory_resource>
#include <string>
#include <vector>

#include "index/diskann/format/StorageTestUtil.h"
#include "index/diskann/search/SearchDiskStorage.h"
#include "encoding/CustomizedSerializeQuantizerInterface.h"
#include "encoding/QuantizerTrainerFactory.h"
#include "testing/LogCapture.h"

namespace orvane::index::diskann {
namespace {

using core::ErrorCode;
using io::testutil::BuildFile;
using io::testutil::SectionSpec;
using testutil::FillStorage;
using testutil::ReadNodes;
using testutil::OpenImage;
using testutil::SectionPayload;
using testutil::WriteImage;

template <typename T>
std::string Bytes(const T& value) {
    return std::string(reinterpret_cast<const char*>(&value), sizeof(T));
}
std::string U32s(const std::vector<uint32_t>& values) {
    return std::string(reinterpret_cast<const char*>(values.data()), values.size() * 4);
}

// ---- disk encoder ----

TEST(DiskANNDiskEncoderDumpTest, CodesInRecordsModelAndOriginalsInTheirSections) {
    constexpr uint32_t kDim = 10, kCount = 6;
    BuildMemoryStorage storage(std::pmr::get_default_resource());
    FillStorage(storage, kCount, kDim, 4);
    auto trainer = quantizer::CreateQuantizerTrainer(
        api::QuantizerOptions{{"index.dimension", int64_t{kDim}}, {"encoding.type", "sq8"}},
        *std::pmr::get_default_resource());
    ASSERT_NE(trainer, nullptr);
    ASSERT_EQ(trainer->Pretrain(storage.vectors, kCount, kDim), ErrorCode::Ok);
    ASSERT_TRUE(trainer->Reserve(kCount).IsOk());
    ASSERT_EQ(trainer->EncodeBatch(storage.vectors, kCount, kDim), ErrorCode::Ok);
    auto* disk = dynamic_cast<quantizer::CustomizedSerializeQuantizerInterface*>(trainer.get());
    ASSERT_NE(disk, nullptr);

    StorageHeader header;
    header.neighborCount = 4;
    header.vectorSize = trainer->GetEncodedNodeSize();  // 10: two alignment bytes follow
    header.quantizeRawData = true;
    header.entryPointSize = 1;
    for (bool saveOriginal : {false, true}) {
        SCOPED_TRACE(saveOriginal);
        header.saveOriginalEmbedding = saveOriginal;
        const DiskANNIndexMeta meta{kCount, kDim, 0};
        const std::string image = WriteImage([&](io::OutputStream& out) {
            return storage.DumpWithDiskQuantizer(meta, header, {}, {}, *disk, out);
        });
        auto stream = OpenImage(image);
        std::string info;
        ASSERT_TRUE(disk->SerializeQuantizerInfo([&](const char* b, uint64_t n) {
                            info.append(b, n);
                            return core::Status::Ok();
                        })
                        .IsOk());
        EXPECT_TRUE(SectionPayload(*stream, kDiskEncoderSection) == info);
        const std::string layout = SectionPayload(*stream, kLayoutSection);
        NodeGeometry g;
        ASSERT_TRUE(NodeGeometry::Compute(10, 4, 4096, &g));
        for (uint32_t i = 0; i < kCount; ++i) {
            std::string code;
            ASSERT_TRUE(disk->SerializeEncode(i,
                                              [&](const char* b, uint64_t n) {
                                                  code.append(b, n);
                                                  return core::Status::Ok();
                                              })
                            .IsOk());
            EXPECT_EQ(layout.substr(g.NodeOffset(i), 10), code);
            EXPECT_EQ(layout.substr(g.NodeOffset(i) + 10, 2), std::string(2, '\0'));
        }
        const std::string originals = SectionPayload(*stream, kOriginalEmbeddingSection);
        EXPECT_EQ(originals.size(), saveOriginal ? kCount * kDim * 4 : 0u);
        if (saveOriginal) {
            EXPECT_EQ(std::memcmp(originals.data(), storage.vectors.data(), originals.size()), 0);
        }
    }
    // A disk encoding cannot be combined with a reordered layout.
    auto out = std::make_shared<std::string>();
    io::OutputStream stream(std::make_unique<io::testutil::StringWriter>(out));
    ASSERT_TRUE(stream.Init({}).IsOk());
    const std::vector<uint64_t> map = {0, 1, 2, 3, 4, 5};
    const core::Status st =
        storage.DumpWithDiskQuantizer({kCount, kDim, 0}, header, map, map, *disk, stream);
    EXPECT_EQ(st.Code(), ErrorCode::NotSupported);
    EXPECT_EQ(st.Message(), "Do not support use disk encoder combine with reorderLayout");
}

// ---- checkpoints ----

TEST(DiskANNCheckpointTest, RoundTripRestoresTheWholeTable) {
    BuildMemoryStorage storage(std::pmr::get_default_resource());
    FillStorage(storage, 50, 3, 6);
    const StorageCheckpointHeader header{64, 1.2f, 6, 1, 20};
    const std::string image = WriteImage([&](io::OutputStream& out) {
        return storage.DumpCheckpoint({50, 3, 0}, header, out);
    });
    auto stream = OpenImage(image);
    BuildMemoryStorage restored(std::pmr::get_default_resource());
    StorageCheckpointHeader got;
    ASSERT_TRUE(restored.LoadFromCheckpoint(*stream, 50, 3, got).IsOk());
    EXPECT_EQ(std::memcmp(&got, &header, sizeof(header)), 0);
    EXPECT_EQ(restored.NeighborCount(), 6u);
    EXPECT_EQ(restored.entryPoints, storage.entryPoints);
    for (uint32_t i = 0; i < 50; ++i) {
        ASSERT_TRUE(std::equal(storage.NeighborRow(i), storage.NeighborRow(i) + 6,
                               restored.NeighborRow(i)));
        EXPECT_EQ(restored.NeighborSize(i), storage.NeighborSize(i));
        EXPECT_EQ(restored.LastPruningPos(i), storage.LastPruningPos(i));
    }
    EXPECT_TRUE(restored.ids.empty());
}

// The sections of a checkpoint of 4 nodes, degree 2, for damaging.
struct CkptParts {
    StorageCheckpointHeader header{32, 1.0f, 2, 1, 4};
    std::vector<uint32_t> entry{0};
    std::vector<uint32_t> data{1, 2, 0, 0, 3, 0, 1, 2};
    std::vector<uint32_t> size{2, 1, 1, 2};
    std::vector<uint32_t> pruning{2, 1, 1, 2};

    std::string Image() const {
        return BuildFile({{kHeaderSection, Bytes(header), 64},
                          {kEntryPointsSection, U32s(entry), 64},
                          {kCkptNeighborDataSection, U32s(data), 64},
                          {kCkptNeighborSizeSection, U32s(size), 64},
                          {kCkptLastPruningPosSection, U32s(pruning), 64}});
    }
};

struct DamageCase {
    const char* name;
    std::function<void(CkptParts&)> damage;
    ErrorCode code;
    const char* message;  // prefix of the status message
};

TEST(DiskANNCheckpointTest, DamagedCheckpointsAreRefused) {
    const DamageCase cases[] = {
        {"intact", [](CkptParts&) {}, ErrorCode::Ok, ""},
        {"neighbor_id_at_count", [](CkptParts& p) { p.data[1] = 4; }, ErrorCode::Corruption,
         "Damaged diskann checkpoint: node [0] names neighbor [4]"},
        {"unused_slot_may_hold_anything", [](CkptParts& p) { p.data[3] = 999; }, ErrorCode::Ok, ""},
        {"size_above_degree", [](CkptParts& p) { p.size[2] = 3; }, ErrorCode::Corruption,
         "Damaged diskann checkpoint: node [2] lists [3] neighbors"},
        {"pruning_pos_above_degree", [](CkptParts& p) { p.pruning[1] = 7; }, ErrorCode::Corruption,
         "Damaged diskann checkpoint: node [1]"},
        {"degree_overflows_table",
         [](CkptParts& p) { p.header.neighborCount = (uint64_t{1} << 62) + 1; },
         ErrorCode::Corruption, "Damaged diskann checkpoint: neighbor count"},
        {"degree_zero", [](CkptParts& p) { p.header.neighborCount = 0; }, ErrorCode::Corruption,
         "Damaged diskann checkpoint: neighbor count [0]"},
        {"entry_point_at_count", [](CkptParts& p) { p.entry[0] = 4; }, ErrorCode::Corruption,
         "Damaged diskann checkpoint: entry point [4]"},
        {"built_beyond_count", [](CkptParts& p) { p.header.buildNodeCount = 5; },
         ErrorCode::Corruption, "Damaged diskann checkpoint: built node count [5]"},
        {"entry_points_short", [](CkptParts& p) { p.header.entryPointSize = 2; },
         ErrorCode::Internal, "Invalid section size for index entry points"},
        {"neighbor_data_short", [](CkptParts& p) { p.data.pop_back(); }, ErrorCode::Internal,
         "Invalid section size for checkpoint neighbor data"},
        {"neighbor_size_short", [](CkptParts& p) { p.size.pop_back(); }, ErrorCode::Internal,
         "Invalid section size for checkpoint neighbor size"},
        {"pruning_short", [](CkptParts& p) { p.pruning.pop_back(); }, ErrorCode::Internal,
         "Invalid section size for checkpoint last pruning pos"},
    };
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    for (const DamageCase& c : cases) {
        SCOPED_TRACE(c.name);
        CkptParts parts;
        c.damage(parts);
        auto stream = OpenImage(parts.Image());
        BuildMemoryStorage storage(std::pmr::get_default_resource());
        StorageCheckpointHeader header;
        testutil::ExpectStatus(storage.LoadFromCheckpoint(*stream, 4, 8, header), c.code,
                               c.message);
    }
}

// ---- index loading and node parsing ----

// The sections of a 3-node index, degree 2, dimension 1, for damaging.
struct IndexParts {
    StorageHeader header;
    std::vector<uint64_t> ids{7, 8, 9};
    std::vector<uint32_t> entry{1};
    std::string layout;

    IndexParts() {
        header.neighborCount = 2;
        header.vectorSize = 4;
        header.entryPointSize = 1;
        layout.assign(4096, '\0');
        SetRecord(0, 1.0f, {1, 2});
        SetRecord(1, 2.0f, {0});
        SetRecord(2, 3.0f, {});
    }
    void SetRecord(uint32_t i, float v, const std::vector<uint32_t>& neighbors) {
        char* rec = layout.data() + i * 16;
        std::memcpy(rec, &v, 4);
        const auto n = static_cast<uint32_t>(neighbors.size());
        std::memcpy(rec + 4, &n, 4);
        if (n > 0) std::memcpy(rec + 8, neighbors.data(), 4 * n);
    }
    std::string Image() const {
        return BuildFile(
            {{kHeaderSection, Bytes(header), 64},
             {kIdsSection, std::string(reinterpret_cast<const char*>(ids.data()), ids.size() * 8),
              64},
             {kEntryPointsSection, U32s(entry), 64},
             {kLayoutSection, layout, 64}});
    }
};

TEST(DiskANNSearchStorageTest, LoadRefusesShortOrDamagedSections) {
    const struct {
        const char* name;
        std::function<void(IndexParts&)> damage;
        ErrorCode code;
        const char* message;
    } cases[] = {
        {"intact", [](IndexParts&) {}, ErrorCode::Ok, ""},
        {"ids_short", [](IndexParts& p) { p.ids.pop_back(); }, ErrorCode::Internal,
         "Invalid section size for index ids"},
        {"entry_points_short", [](IndexParts& p) { p.header.entryPointSize = 2; },
         ErrorCode::Internal, "Invalid section size for index entry points"},
        {"layout_short", [](IndexParts& p) { p.layout.resize(4095); }, ErrorCode::Internal,
         "Invalid section size for index layout"},
        {"sector_size_zero", [](IndexParts& p) { p.header.sectorSize = 0; }, ErrorCode::Corruption,
         "Damaged diskann index: header sizes"},
        {"record_size_overflows", [](IndexParts& p) { p.header.neighborCount = ~uint64_t{0}; },
         ErrorCode::Corruption, "Damaged diskann index: header sizes"},
        {"entry_point_at_count", [](IndexParts& p) { p.entry[0] = 3; }, ErrorCode::Corruption,
         "Damaged diskann index: entry point [3]"},
    };
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        IndexParts parts;
        c.damage(parts);
        auto stream = OpenImage(parts.Image());
        SearchDiskStorage storage;
        testutil::ExpectStatus(storage.Load(*stream, 3, 1), c.code, c.message);
    }
    // A damaged count is refused by the size check before anything is sized
    // for it (32 GiB of ids here).
    auto stream = OpenImage(IndexParts().Image());
    SearchDiskStorage storage;
    const core::Status st = storage.Load(*stream, UINT32_MAX, 1);
    EXPECT_EQ(st.Message(), "Invalid section size for index ids");
    EXPECT_TRUE(storage.ids.empty());
}

TEST(DiskANNSearchStorageTest, ParseNodeDataChecksCountsIdsAndSlots) {
    IndexParts parts;
    parts.SetRecord(0, 1.0f, {1, 2});
    parts.SetRecord(1, 2.0f, {0});
    std::memset(parts.layout.data() + 2 * 16 + 4, 0xFF, 1);  // node 2: count 255 > degree
    auto stream = OpenImage(parts.Image());
    SearchDiskStorage storage;
    ASSERT_TRUE(storage.Load(*stream, 3, 1).IsOk());
    GraphNodeHolder holder;
    holder.Resize(2, storage.GraphNodeSize());
    testing::LogCapture logs;

    ASSERT_TRUE(ReadNodes(storage, {1}, holder, 1).IsOk());
    EXPECT_EQ(
        std::vector<uint32_t>(holder.nodes[0].neighbors.begin(), holder.nodes[0].neighbors.end()),
        std::vector<uint32_t>{0});  // a count below the degree leaves slots unused

    core::Status st = ReadNodes(storage, {2}, holder, 1, 1);
    EXPECT_EQ(st.Code(), ErrorCode::Conflict);
    EXPECT_EQ(st.Message(), "Neighbor count mismatch");
    EXPECT_TRUE(logs.Contains(telemetry::LogLevel::Error,
                              "Neighbor count [255] read from disk not match [2]"));

    st = storage.ParseNodeData(0, 2, holder);
    EXPECT_EQ(st.Code(), ErrorCode::Internal);
    EXPECT_EQ(st.Message(), "Disk read node index out of bounds");

    // A neighbour id beyond the count would index the searcher's arrays.
    const uint32_t bad[] = {1, 3};
    std::memcpy(holder.buffer.data() + 8, bad, sizeof(bad));
    const uint32_t two = 2;
    std::memcpy(holder.buffer.data() + 4, &two, 4);
    EXPECT_EQ(storage.ParseNodeData(0, 0, holder).Code(), ErrorCode::Corruption);

    // A batch reports the failing node among good ones, whatever its width.
    EXPECT_EQ(ReadNodes(storage, {0, 2}, holder, 0).Code(), ErrorCode::Conflict);
    EXPECT_EQ(ReadNodes(storage, {0, 2}, holder, 2).Code(), ErrorCode::Conflict);
    EXPECT_TRUE(logs.Contains(telemetry::LogLevel::Error, "Failed to parse node data, nodeId [2]: Neighbor count mismatch"));
    EXPECT_TRUE(ReadNodes(storage, {0, 1}, holder, 1).IsOk());
    EXPECT_TRUE(ReadNodes(storage, {}, holder, 1).IsOk());
    // A slot past the holder is refused before anything is read.
    EXPECT_EQ(ReadNodes(storage, {0, 1}, holder, 2, 1).Message(),
              "Disk read node index out of bounds");
}

// Records parsed where they lie (a reader holding the file in memory) pass
// the same checks as records copied into a holder, and point into the file's
// bytes instead of the holder's buffer.
TEST(DiskANNSearchStorageTest, RecordsParsedInPlaceCheckedAsCopiedOnes) {
    const struct {
        const char* name;
        std::function<void(IndexParts&)> damage;
        std::vector<uint32_t> ids;
        uint32_t firstSlot;
        ErrorCode code;
        const char* message;
    } cases[] = {
        {"intact", [](IndexParts&) {}, {0, 1, 2}, 0, ErrorCode::Ok, ""},
        {"count_above_degree",
         [](IndexParts& p) { std::memset(p.layout.data() + 2 * 16 + 4, 0xFF, 1); },
         {0, 2},
         0,
         ErrorCode::Conflict,
         "Neighbor count mismatch"},
        {"neighbour_beyond_count",
         [](IndexParts& p) {
             p.SetRecord(1, 2.0f, {0, 3});
         },
         {1},
         0,
         ErrorCode::Corruption,
         "Data parsing failed"},
        {"slot_past_holder",
         [](IndexParts&) {},
         {0, 1},
         2,
         ErrorCode::Internal,
         "Disk read node index out of bounds"},
    };
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        IndexParts parts;
        c.damage(parts);
        const std::string image = parts.Image();
        auto stream = OpenImage(image);
        SearchDiskStorage storage;
        ASSERT_TRUE(storage.Load(*stream, 3, 1).IsOk());
        const SearchDiskStorage::RecordView view(storage);
        ASSERT_NE(view.Data(), nullptr) << "an image is held in memory";
        GraphNodeHolder copied, inPlace;
        copied.Resize(3, storage.GraphNodeSize());
        inPlace.Resize(3, storage.GraphNodeSize());
        std::vector<io::InputStream::SectionReader::ReadRequest> requests(2);
        const core::Status byCopy =
            storage.ReadNodes(c.ids, copied, c.firstSlot, 2, requests, nullptr);
        const core::Status where =
            storage.ReadNodes(c.ids, inPlace, c.firstSlot, 2, requests, view.Data());
        EXPECT_EQ(byCopy.Code(), c.code) << byCopy.Message();
        EXPECT_EQ(where.Code(), c.code) << where.Message();
        EXPECT_EQ(where.Message(), byCopy.Message());
        if (c.code != ErrorCode::Ok) continue;
        for (size_t j = 0; j < c.ids.size(); ++j) {
            const GraphNode& a = copied.nodes[j];
            const GraphNode& b = inPlace.nodes[j];
            EXPECT_TRUE(std::equal(a.neighbors.begin(), a.neighbors.end(), b.neighbors.begin(),
                                   b.neighbors.end()));
            ASSERT_EQ(b.embedding.size(), a.embedding.size());
            EXPECT_EQ(std::memcmp(a.embedding.data(), b.embedding.data(), a.embedding.size()), 0);
            // In place: inside the image's layout, not in the holder.
            EXPECT_EQ(b.embedding.data(),
                      view.Data() + storage.GetOffsetAndLengthById(c.ids[j]).first);
        }
    }
}

// A node beyond the count has no record; both reads refuse it rather than
// read the layout's padding (3 and 4 lie in the last sector's padding, where
// a copying read would return a node of zeros).
TEST(DiskANNSearchStorageTest, ReadOfNodeBeyondCountIsRefused) {
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    auto stream = OpenImage(IndexParts().Image());
    SearchDiskStorage storage;
    ASSERT_TRUE(storage.Load(*stream, 3, 1).IsOk());
    const SearchDiskStorage::RecordView view(storage);
    ASSERT_NE(view.Data(), nullptr);
    GraphNodeHolder holder;
    holder.Resize(1, storage.GraphNodeSize());
    std::vector<io::InputStream::SectionReader::ReadRequest> requests(1);
    for (const uint8_t* records : {view.Data(), static_cast<const uint8_t*>(nullptr)}) {
        for (uint32_t id : {3u, 4u, 4096u, UINT32_MAX}) {
            SCOPED_TRACE(::testing::Message()
                         << "id " << id << (records ? " in place" : " copied"));
            const uint32_t one[] = {id};
            const core::Status st = storage.ReadNodes(one, holder, 0, 1, requests, records);
            EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
            EXPECT_EQ(st.Message(), "Read out of bounds");
        }
    }
}

}  // namespace
}  // namespace orvane::index::diskann
