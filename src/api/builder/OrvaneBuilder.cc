#include "orvane/api/OrvaneBuilder.h"

#include "api/builder/OrvaneBuilderImpl.h"
#include "orvane/io/FileWriter.h"
#include "io/OutputStream.h"

namespace orvane::api {

using core::ErrorCode;
using core::Result;
using core::Status;

namespace {

Status NoImpl() {
    return Status(ErrorCode::FailedPrecondition, "builder has been moved from");
}

}  // namespace

Result<OrvaneBuilder> OrvaneBuilder::Create(const BuilderOptions& options,
                                            const core::MemoryResourceConfig& memoryConfig) {
    auto impl = Impl::Create(options, memoryConfig);
    if (!impl.IsOk()) return impl.TakeStatus();
    return OrvaneBuilder(impl.TakeValue());
}

Result<OrvaneBuilder> OrvaneBuilder::Create(const BuilderOptions& options) {
    return Create(options, core::MemoryResourceConfig());
}

OrvaneBuilder::OrvaneBuilder(std::unique_ptr<Impl> impl) : _p(std::move(impl)) {}
OrvaneBuilder::OrvaneBuilder(OrvaneBuilder&&) noexcept = default;
OrvaneBuilder& OrvaneBuilder::operator=(OrvaneBuilder&&) noexcept = default;
OrvaneBuilder::~OrvaneBuilder() = default;

BuilderStatus OrvaneBuilder::GetStatus() const {
    return _p ? _p->GetStatus() : BuilderStatus::Error;
}

Status OrvaneBuilder::Pretrain(const float* data, uint64_t n) {
    return _p ? _p->Pretrain(data, n) : NoImpl();
}

Status OrvaneBuilder::PretrainFrom(Dataset& dataset) {
    return _p ? _p->PretrainFrom(dataset) : NoImpl();
}

Status OrvaneBuilder::InsertBatch(const float* data, const vector_id_t* ids, uint64_t n) {
    return _p ? _p->InsertBatch(data, ids, n) : NoImpl();
}

Status OrvaneBuilder::InsertFrom(Dataset& dataset) {
    return _p ? _p->InsertFrom(dataset) : NoImpl();
}

Status OrvaneBuilder::Attach(IBuildExtension& extension) {
    return _p ? _p->Attach(extension) : NoImpl();
}

Status OrvaneBuilder::Dump(const IOOptions& ioOptions) {
    auto writer = io::CreateFileWriter(ioOptions);
    if (!writer.IsOk()) return writer.TakeStatus();
    return Dump(writer.TakeValue(), ioOptions);
}

Status OrvaneBuilder::Dump(std::unique_ptr<io::FileWriter> writer, const IOOptions& ioOptions) {
    if (!_p) return NoImpl();
    if (!writer) return Status(ErrorCode::InvalidArgument, "FileWriter is null");
    io::OutputStream stream(std::move(writer));
    ORVANE_RETURN_IF_ERROR(stream.Init(ioOptions));
    return _p->Dump(stream);
}

}  // namespace orvane::api
