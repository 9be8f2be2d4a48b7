// OrvaneBuilder: builds one index. Order: Create, Pretrain/PretrainFrom (also
// for kinds that need no training), exactly one InsertBatch/InsertFrom, Dump.
#pragma once

#include <cstdint>
#include <memory>

#include "orvane/api/Dataset.h"
#include "orvane/api/IBuildExtension.h"
#include "orvane/core/MemoryResource.h"
#include "orvane/core/NoCopyable.h"
#include "orvane/api/Options.h"
#include "orvane/core/Result.h"
#include "orvane/api/SearchTypes.h"

namespace orvane::io {
class FileWriter;
}

namespace orvane::api {

enum class BuilderStatus : uint8_t {
    Initial = 0,
    Trained = 1,
    TrainNotNeeded = 2,
    DataInjected = 3,
    Dumped = 4,
    Error = 5,
};

class OrvaneBuilder : public core::NoCopyable {
  public:
    class Impl;

    static core::Result<OrvaneBuilder> Create(const BuilderOptions& options,
                                              const core::MemoryResourceConfig& memoryConfig);
    static core::Result<OrvaneBuilder> Create(const BuilderOptions& options);

    OrvaneBuilder(OrvaneBuilder&&) noexcept;
    OrvaneBuilder& operator=(OrvaneBuilder&&) noexcept;
    ~OrvaneBuilder();

    BuilderStatus GetStatus() const;
    core::Status Pretrain(const float* data, uint64_t n);
    core::Status PretrainFrom(Dataset& dataset);
    core::Status InsertBatch(const float* data, const vector_id_t* ids, uint64_t n);
    core::Status InsertFrom(Dataset& dataset);
    core::Status Attach(IBuildExtension& extension);
    core::Status Dump(const IOOptions& ioOptions);
    core::Status Dump(std::unique_ptr<io::FileWriter> writer, const IOOptions& ioOptions);

  private:
    explicit OrvaneBuilder(std::unique_ptr<Impl> impl);

    std::unique_ptr<Impl> _p;
};

}  // namespace orvane::api
