#include "orvane/io/FileReader.h"

#include <string>

#include "io/IndexPath.h"
#include "io/LocalFileReader.h"
#include "io/MmapFileReader.h"
#include "telemetry/Logger.h"
#include "util/ExecutorManager.h"

namespace orvane::io {

using core::ErrorCode;
using core::Status;

void FileReader::ReadAsync(char* /*data*/, uint64_t /*size*/, uint64_t /*offset*/,
                           Completion completion) {
    if (completion) completion(Status(ErrorCode::InvalidArgument, "Unimplemented."));
}

core::Result<FileReader::PeekResult> FileReader::Peek(uint64_t /*offset*/, uint64_t /*size*/) {
    return Status(ErrorCode::NotSupported, "Peek not implemented");
}

std::optional<Status> FileReader::TryReadNow(char* /*data*/, uint64_t /*size*/,
                                             uint64_t /*offset*/) {
    return std::nullopt;
}

bool ReadGate::Enter() {
    if ((_state.fetch_add(1, std::memory_order_acq_rel) & kClosing) == 0) return true;
    Leave();
    return false;
}

void ReadGate::Leave() {
    if (_state.fetch_sub(1, std::memory_order_acq_rel) != (kClosing | 1)) return;
    // The last read out while closing: the closer waits for this under the
    // mutex, so it cannot return (and free the gate) before this is done.
    std::lock_guard<std::mutex> lock(_mutex);
    _drained = true;
    _drainedCv.notify_all();
}

void ReadGate::CloseAndWait() {
    const uint64_t before = _state.fetch_or(kClosing, std::memory_order_acq_rel);
    std::unique_lock<std::mutex> lock(_mutex);
    if (before == 0) _drained = true;  // nothing in flight, and no earlier closer
    _drainedCv.wait(lock, [this] { return _drained; });
}

void ReadGate::Reopen() {
    std::lock_guard<std::mutex> lock(_mutex);
    _drained = false;
    _state.store(0, std::memory_order_release);
}

namespace {

MmapFileReader::LockMode ParseLockMode(const IOSettings& settings) {
    const std::string& mode = settings.mmapLockMode;
    if (mode == "none") return MmapFileReader::LockMode::None;
    if (mode == "mlock") return MmapFileReader::LockMode::Mlock;
    if (mode == "populate") return MmapFileReader::LockMode::Populate;
    ORVANE_LOG_WARN("Unknown mmap lock mode '[%s]', using 'none'", mode.c_str());
    return MmapFileReader::LockMode::None;
}

}  // namespace

core::Result<std::unique_ptr<FileReader>> CreateFileReader(const IOSettings& settings) {
    auto indexPath = IndexPath(settings);
    if (!indexPath.IsOk()) return indexPath.TakeStatus();
    const std::string& path = indexPath.Value();
    const std::string& type = settings.readerType;
    if (type == "mmap") {
        auto reader = MmapFileReader::Create(path, ParseLockMode(settings));
        if (!reader.IsOk()) return reader.TakeStatus();
        return std::unique_ptr<FileReader>(reader.TakeValue());
    }
    if (type == "local") {
        auto executor = util::ExecutorManager::Instance().Get(util::ExecutorPurpose::IO);
        if (!executor.IsOk()) return executor.TakeStatus();
        // The IO executor lives until the process ends, so a reference is safe.
        return std::unique_ptr<FileReader>(
            std::make_unique<LocalFileReader>(path, *executor.Value()));
    }
    return Status(ErrorCode::InvalidArgument, "Unknown file reader type: " + type);
}

}  // namespace orvane::io
