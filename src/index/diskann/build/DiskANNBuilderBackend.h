// DiskANNBuilderBackend: the builder back end of the "diskann" kind. Builds a
// navigable neighbour graph in memory while vectors are appended: each node
// gets at most neighborCount out-neighbours, found by a greedy search of the
// partly built graph and chosen by slack-factor occlusion pruning, and each
// accepted edge is mirrored into the neighbour's list. Insertion runs on
// threadCount workers of the build executor, each with its own search context;
// neighbour lists are guarded by a pool of 256 mutexes (node n uses n & 255),
// and a thread holds at most one of them at a time. Once all reserved vectors
// are in, unreachable nodes are attached to reachable ones. Dump writes the
// graph, ids, entry point and the quantizer encodings through the storage.
//
// With the checkpoint extension attached, the build writes checkpoints of the
// neighbour table between chunks of nodes and resumes from the latest one: the
// caller reserves and appends every vector again, and the nodes the checkpoint
// holds are not inserted again.
//
// The facade drives it from one thread: Init, optional Attach, Pretrain,
// Reserve, AppendBatch..., Dump.
//
// The encoders' options derived from the builder's are in
// DiskANNTrainerOptions.h; the index file is laid out by DiskANNIndexWriter.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <span>
#include <vector>

#include "api/builder/BuilderBackend.h"
#include "api/builder/checkpoint/CkptBinding.h"
#include "api/builder/checkpoint/InnerCkptManager.h"
#include "coro/Executor.h"
#include "distance/MetricE.h"
#include "encoding/QuantizerTrainer.h"
#include "index/diskann/build/BuildMemoryStorage.h"
#include "index/diskann/build/GraphInserter.h"
#include "index/diskann/graph/DiskANNContext.h"
#include "index/diskann/graph/DistanceCalcutor.h"
#include "orvane/api/Options.h"
#include "orvane/core/MemoryResource.h"
#include "orvane/core/Result.h"

namespace orvane::index::diskann {

class DiskANNBuilderBackend : public api::BuilderBackend {
  public:
    // The largest vector count a graph can hold (node ids are uint32).
    static constexpr uint64_t kMaxCount = 0xFFFFFFFEull;

    explicit DiskANNBuilderBackend(const core::MemoryResourceConfig& config);
    ~DiskANNBuilderBackend() override;

    core::Status Init(const api::BuilderOptions& options);

    core::Status Pretrain(const float* data, uint64_t n) override;
    core::Status Reserve(uint64_t n) override;
    core::Status AppendBatch(std::span<const float> data, std::span<const uint64_t> ids) override;
    core::Status Dump(io::OutputStream& stream) const override;
    core::Status Attach(api::IBuildExtension& extension) override;
    bool IsTrainable() const override { return true; }

    // Takes the checkpoint manager and restores the latest checkpoint, if any.
    core::Status LoadFromCkptManager(std::unique_ptr<api::InnerCkptManager>);
    // Writes a checkpoint of the graph built so far (Ok without a manager).
    core::Status DumpCkpt();

    // Read access for tests and tools.
    const BuildMemoryStorage& Storage() const { return _storage; }
    uint64_t NeighborCount() const { return _neighborCount; }
    uint32_t CheckpointBuiltCount() const { return _ckptBuiltCount; }

  private:
    // Builds nodes [begin, end) on the workers; `built` counts finished nodes.
    core::Status BuildRange(uint32_t begin, uint32_t end, std::atomic<uint32_t>& built);
    // Builds the appended range [oldCount, newCount) chunk by chunk, writing a
    // checkpoint after each chunk that completes.
    core::Status BuildInChunks(uint32_t oldCount, uint32_t newCount);
    bool RepairConnectivity();

    uint64_t _dimension = 0;
    node_id_t _appendedCount = 0;
    uint32_t _ckptBuiltCount = 0;
    uint32_t _reservedCount = 0;
    uint32_t _threadCount = 1;
    uint32_t _efConstruction = 512;
    float _slackPruningFactor = 1.0f;
    uint64_t _neighborCount = 128;
    uint64_t _numberOfCkpt = 0;
    uint64_t _thresholdOfCkpt = 100000;
    uint64_t _thresholdOfLog = 1000;
    bool _reorderLayout = false;
    DistanceCalcutor _calculator;
    std::pmr::memory_resource* _instantResource;
    std::pmr::memory_resource* _storageResource;
    core::MemoryResourceConfig _memory;  // keeps the two resources alive
    BuildMemoryStorage _storage;
    GraphInserter _inserter{_storage, _calculator};
    std::unique_ptr<quantizer::QuantizerTrainer> _quantizerTrainer;
    std::unique_ptr<quantizer::QuantizerTrainer> _diskQuantizerTrainer;
    bool _saveOriginalEmbedding = false;
    std::shared_ptr<coro::Executor> _executor;
    std::vector<std::unique_ptr<DiskANNContext>> _contexts;
    std::unique_ptr<api::InnerCkptManager> _ckptManager;
    dist::MetricE _metricType = dist::MetricE::dummy;
    bool _ckptLoaded = false;
    // What binds checkpoints to this build: the options' digest, the digest of
    // the rows appended so far (kept while a manager is loaded), and the
    // binding of the checkpoint resumed from.
    uint64_t _optionsDigest = 0;
    api::RowDigest _rowDigest;
    api::CkptBinding _resumeBinding;
};

core::Result<std::unique_ptr<api::BuilderBackend>> CreateDiskANNBuilderBackend(
    const api::BuilderOptions& options, const core::MemoryResourceConfig& config);

}  // namespace orvane::index::diskann
