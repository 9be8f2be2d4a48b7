// BruteforceBuilderBackend: the builder of the `bruteforce` kind. Every
// appended vector is encoded by the quantizer trainer the options ask for
// (`encoding.*`, `distance.*`) and kept with its row id; Dump writes the meta,
// the trainer's quantizer stream and the ids (BruteforceIndexMeta.h).
//
// Lifecycle (one driving thread): Init -> optional Pretrain -> Reserve(total)
// once -> AppendBatch... -> Dump. The facade enforces the order of its own
// states; this class checks only its own preconditions.
//
// Checkpoints: Attach accepts the checkpoint extension; the caller's manager
// then arrives through LoadFromCkptManager, which restores the newest
// checkpoint (model, encoded rows and ids) if there is one. With
// `extension.build.ckpt.count` = c and Reserve(n) (n at least
// `extension.build.ckpt.threshold`), a checkpoint is written after every
// q = n / (c + 1) + 1 appended rows, whatever the batch sizes. A resumed build
// appends the same rows with the same ids from the first row again: the rows
// the checkpoint holds are checked against their stored ids and skipped. A
// restored back end keeps the restored model: a later Pretrain is skipped, so
// the rows encoded before and after the interruption share one model.
#pragma once

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <span>
#include <vector>

#include "orvane/core/MemoryResource.h"
#include "orvane/api/Options.h"
#include "orvane/core/Result.h"
#include "coro/Executor.h"
#include "encoding/QuantizerTrainer.h"
#include "api/builder/checkpoint/CkptBinding.h"
#include "api/builder/checkpoint/InnerCkptManager.h"
#include "api/builder/BuilderBackend.h"

namespace orvane::index {

class BruteforceBuilderBackend : public api::BuilderBackend {
  public:
    // Shares the resources (unset ones normalized to the defaults) for its
    // whole lifetime, since its trainer and ids live in them.
    explicit BruteforceBuilderBackend(const core::MemoryResourceConfig& resources);
    ~BruteforceBuilderBackend() override;

    // Reads the dimension and checkpoint options, gets the Build executor and
    // creates the trainer ("Failed to CreateQuantizerTrainer").
    core::Status Init(const api::BuilderOptions& options);

    // Trains the quantizer; skipped (logged at Info) after a checkpoint restore.
    core::Status Pretrain(const float* data, uint64_t n) override;
    // InvalidArgument beyond kMaxRows rows, for a checkpoint count the total
    // cannot hold, or below the rows a restored checkpoint already holds.
    core::Status Reserve(uint64_t n) override;
    core::Status AppendBatch(std::span<const float> vectors,
                             std::span<const uint64_t> ids) override;
    core::Status Dump(io::OutputStream& stream) const override;
    core::Status Attach(api::IBuildExtension& extension) override;
    bool IsTrainable() const override;

    // Writes one checkpoint (the three sections over the rows appended so far)
    // and closes the stream; unlike Dump it does not need every reserved row.
    core::Status DumpCkpt(io::OutputStream& stream);
    // Keeps the manager for the builder's lifetime and restores from its
    // checkpoint, if any. A checkpoint of another dimension, encoding or
    // metric is refused; on any failure nothing is restored.
    core::Status LoadFromCkptManager(
        std::unique_ptr<api::InnerCkptManager> manager);

    uint64_t AppendedCount() const { return _appendedCount; }
    uint64_t RowCountPerCkpt() const { return _rowCountPerCkpt; }
    bool RestoredFromCkpt() const { return _restoredFromCkpt; }

  private:
    // The meta, vector and ids sections, each sealed; the stream stays open.
    core::Status WriteSections(io::OutputStream& stream) const;
    // Encodes rows [first, first + count) of the batch and keeps their ids.
    // Feeds rows [first, first + count) of a batch into _rowDigest.
    void AddToDigest(std::span<const float> vectors, std::span<const uint64_t> ids, uint64_t first,
                     uint64_t count);
    core::Status AppendRows(std::span<const float> vectors, std::span<const uint64_t> ids,
                            uint64_t first, uint64_t count);
    // Creates a stream through the manager and writes a checkpoint into it.
    core::Status WriteCheckpoint();
    bool CheckpointsActive() const;

    uint32_t _dimension = 0;
    uint64_t _appendedCount = 0;
    uint64_t _reservedCount = 0;
    uint64_t _numberOfCkpt = 0;
    uint64_t _thresholdOfCkpt = 0;
    uint64_t _rowCountOfLastCkpt = 0;
    uint64_t _recoveredDocCount = 0;
    uint64_t _rowCountPerCkpt = 0;
    bool _restoredFromCkpt = false;
    // What binds checkpoints to this build: the options' digest, the digest of
    // the rows appended so far (kept while a manager is loaded), and the
    // binding of the checkpoint resumed from.
    uint64_t _optionsDigest = 0;
    api::RowDigest _rowDigest;
    api::CkptBinding _resumeBinding;
    std::unique_ptr<api::InnerCkptManager> _ckptManager;
    std::shared_ptr<coro::Executor> _executor;
    api::QuantizerOptions _quantizerOptions;
    core::MemoryResourceConfig _resources;
    std::pmr::memory_resource& _instantResource;
    std::pmr::memory_resource& _storageResource;
    std::unique_ptr<quantizer::QuantizerTrainer> _quantizerTrainer;
    std::pmr::vector<uint64_t> _vectorIds;
};

}  // namespace orvane::index
