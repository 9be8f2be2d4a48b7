// IvfBuilderBackend: builds an ivf index. Pretrain clusters the sample vectors
// into `ivf.build.num_lists` centroids by k-means on the Build executor and
// trains the quantizer; every appended vector is encoded by the quantizer in
// insertion order and its row position and id go to the list of its nearest
// centroid; Dump writes the six sections of IvfIndexMeta.h.
//
// Lifecycle (one thread): Init at creation -> Pretrain once -> Reserve(total)
// -> AppendBatch until `total` vectors arrived -> Dump. Only the l2 metric is
// supported.
#pragma once

#include <memory>
#include <memory_resource>
#include <vector>

#include "orvane/core/MemoryResource.h"
#include "orvane/api/Options.h"
#include "coro/Executor.h"
#include "distance/MetricE.h"
#include "encoding/EncodingE.h"
#include "encoding/QuantizerTrainer.h"
#include "api/builder/BuilderBackend.h"
#include "index/ivf/IvfOptions.h"

namespace orvane::index::ivf {

// The row positions of one list and, in step, their row ids.
struct ListInfo {
    std::vector<uint64_t> rowIndices;
    std::vector<uint64_t> ids;
};

class IvfBuilderBackend : public api::BuilderBackend {
  public:
    explicit IvfBuilderBackend(const core::MemoryResourceConfig& resources);
    ~IvfBuilderBackend() override;

    // Reads the options; NotSupported for a metric other than l2,
    // InvalidArgument when no quantizer trainer fits the options.
    core::Status Init(const api::BuilderOptions& options);

    bool IsTrainable() const override { return true; }
    core::Status Pretrain(const float* data, uint64_t n) override;
    core::Status Reserve(uint64_t n) override;
    core::Status AppendBatch(std::span<const float> vectors,
                             std::span<const uint64_t> ids) override;
    core::Status Dump(io::OutputStream& stream) const override;
    core::Status Attach(api::IBuildExtension& extension) override;

    // For tests: the trained centroids and the lists built so far.
    const std::vector<float>& Centroids() const { return _centroids; }
    const std::vector<ListInfo>& Lists() const { return _lists; }

  private:
    core::Status EnsurePretrained() const;

    IvfBuildParams _params;
    dist::MetricE _metric = dist::MetricE::l2;
    dist::encode_space::EncodingE _encoding = dist::encode_space::EncodingE::rawf32;
    bool _pretrained = false;
    uint64_t _reserved = 0;
    uint64_t _added = 0;
    std::vector<float> _centroids;
    std::vector<ListInfo> _lists;
    std::unique_ptr<quantizer::QuantizerTrainer> _quantizerTrainer;
    core::MemoryResourceConfig _resources;  // keeps the two resources below alive
    std::pmr::memory_resource& _instantResource;
    std::pmr::memory_resource& _storageResource;
    std::shared_ptr<coro::Executor> _executor;  // Build executor, set by Pretrain
};

}  // namespace orvane::index::ivf
