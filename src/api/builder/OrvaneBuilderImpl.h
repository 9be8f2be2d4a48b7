// OrvaneBuilder::Impl: validates builder options against the kind's schema,
// owns the kind's back end, enforces the build lifecycle (pretrain, one insert,
// dump) and streams Dataset batches into the back end.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "orvane/api/Dataset.h"
#include "orvane/api/IBuildExtension.h"
#include "orvane/core/MemoryResource.h"
#include "orvane/core/NoCopyable.h"
#include "orvane/api/Options.h"
#include "orvane/api/OrvaneBuilder.h"
#include "orvane/core/Result.h"
#include "api/builder/BuilderBackend.h"

namespace orvane::io {
class OutputStream;
}

namespace orvane::api {

class OrvaneBuilder::Impl : public core::NoCopyable {
  public:
    // The interface every index kind's builder implements.
    using Backend = BuilderBackend;

    static core::Result<std::unique_ptr<Impl>> Create(
        const BuilderOptions& options, const core::MemoryResourceConfig& memoryConfig);

    Impl(BuilderOptions options, std::unique_ptr<Backend> backend,
         core::MemoryResourceConfig memoryConfig);
    ~Impl();

    BuilderStatus GetStatus() const { return _status; }
    core::Status Pretrain(const float* data, uint64_t n);
    core::Status PretrainFrom(Dataset& dataset);
    core::Status InsertBatch(const float* data, const vector_id_t* ids, uint64_t n);
    core::Status InsertFrom(Dataset& dataset);
    core::Status Attach(IBuildExtension& extension);
    core::Status Dump(io::OutputStream& stream);

  private:
    // Shared state checks of Pretrain and PretrainFrom. Returns true with *done
    // set when the kind needs no training and the call is already answered.
    core::Status CheckPretrainState(bool* done);
    core::Status FinishBackendCall(core::Status status, BuilderStatus onSuccess);
    uint32_t Dimension() const;

    BuilderOptions _options;
    std::unique_ptr<Backend> _backend;
    core::MemoryResourceConfig _memoryConfig;
    BuilderStatus _status = BuilderStatus::Initial;
};

}  // namespace orvane::api
