// BuilderBackend: the interface every index kind's builder implements, known to the
// facade as OrvaneBuilder::Impl::Backend. A back end includes this header alone,
// without the facade's internals. The facade calls it from one thread: Pretrain
// (only when IsTrainable), one Reserve with the total count, AppendBatch calls
// whose sizes add up to it, then Dump.
#pragma once

#include <cstdint>
#include <span>

#include "orvane/api/IBuildExtension.h"
#include "orvane/core/NoCopyable.h"
#include "orvane/core/Status.h"

namespace orvane::io {
class OutputStream;
}

namespace orvane::api {

class BuilderBackend : public core::NoCopyable {
  public:
    virtual ~BuilderBackend() = default;
    // Trains on n sample vectors laid out row after row.
    virtual core::Status Pretrain(const float* data, uint64_t n) = 0;
    // Announces the total number of vectors that will be appended.
    virtual core::Status Reserve(uint64_t n) = 0;
    // `vectors` holds ids.size() * dimension floats.
    virtual core::Status AppendBatch(std::span<const float> vectors,
                                     std::span<const uint64_t> ids) = 0;
    // Writes and seals the kind's sections, then closes the stream.
    virtual core::Status Dump(io::OutputStream& stream) const = 0;
    virtual core::Status Attach(IBuildExtension& extension) = 0;
    virtual bool IsTrainable() const { return true; }
};

}  // namespace orvane::api
