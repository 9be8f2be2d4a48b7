#include "index/demo/DemoBuilderBackend.h"

#include <string>

#include "index/demo/DemoIndexMeta.h"
#include "index/demo/DemoKind.h"
#include "io/OutputStream.h"

namespace orvane::index {

using core::ErrorCode;
using core::Status;

namespace {

Status DimensionNotSet() {
    return Status(ErrorCode::InvalidArgument, "builder dimension not set");
}

// The meta record stores the count in 32 bits; more vectors would be written
// with a wrapped count and read back as a different index.
constexpr uint64_t kMaxVectors = UINT32_MAX;

Status TooManyVectors() {
    return Status(ErrorCode::InvalidArgument, "demo index holds at most 4294967295 vectors");
}

}  // namespace

core::Result<BuilderBackendPtr> CreateDemoBuilderBackend(const api::BuilderOptions& options,
                                                         const core::MemoryResourceConfig&) {
    // The demo searcher ranks by L2 only; an index built for another metric would
    // silently answer with a metric the caller did not ask for.
    const std::string metric = options.GetString("distance.metric", "l2");
    if (metric != "l2") {
        return Status(ErrorCode::InvalidArgument,
                      "demo index supports distance.metric l2 only, got " + metric);
    }
    const auto dim = static_cast<uint32_t>(options.GetInt("index.dimension", 0));
    return BuilderBackendPtr(std::make_unique<DemoBuilderBackend>(dim));
}

Status DemoBuilderBackend::Pretrain(const float*, uint64_t) {
    return Status::Ok();
}

Status DemoBuilderBackend::Reserve(uint64_t n) {
    if (_dimension == 0) return DimensionNotSet();
    if (n > kMaxVectors) return TooManyVectors();
    _embeddings.reserve(n * _dimension);
    return Status::Ok();
}

Status DemoBuilderBackend::AppendBatch(std::span<const float> vectors,
                                       std::span<const uint64_t> ids) {
    if (_dimension == 0) return DimensionNotSet();
    if (vectors.size() != ids.size() * _dimension) {
        return Status(ErrorCode::InvalidArgument,
                      "vectors.size() must equal ids.size() * dimension");
    }
    if (ids.size() > kMaxVectors - Count()) return TooManyVectors();
    _embeddings.insert(_embeddings.end(), vectors.begin(), vectors.end());
    return Status::Ok();
}

Status DemoBuilderBackend::Dump(io::OutputStream& stream) const {
    const demo::DemoIndexMeta meta{static_cast<uint32_t>(Count()), _dimension};
    ORVANE_RETURN_IF_ERROR(stream.WriteObj(meta));
    ORVANE_RETURN_IF_ERROR(stream.SealSection(demo::kMetaSection, 64));
    ORVANE_RETURN_IF_ERROR(stream.Write(reinterpret_cast<const char*>(_embeddings.data()),
                                        _embeddings.size() * sizeof(float)));
    ORVANE_RETURN_IF_ERROR(stream.SealSection(demo::kVectorSection, 1));
    return stream.Close();
}

Status DemoBuilderBackend::Attach(api::IBuildExtension& extension) {
    return Status(ErrorCode::NotSupported,
                  "extension " + std::string(extension.Name()) + " not supported by demo builder");
}

}  // namespace orvane::index
