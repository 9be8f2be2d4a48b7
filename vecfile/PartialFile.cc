#include "PartialFile.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "io/TempFiles.h"

namespace orvane::tools {
namespace {

constexpr char kPartialTag[] = ".partial.";
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void OnSignal(int sig) {
    io::RemovePendingTempFiles();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

}  // namespace

void InstallSignalCleanup() {
    static std::atomic<bool> installed{false};
    if (installed.exchange(true)) return;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : kSignals) sigaction(sig, &sa, nullptr);
}

PartialFile::PartialFile(std::string finalPath)
    : _finalPath(std::move(finalPath)),
      _tempPath(_finalPath + kPartialTag + std::to_string(::getpid())) {
    io::RemoveStaleTempFiles(_finalPath, kPartialTag);
    _pendingSlot = io::RegisterPendingTempFile(_tempPath);
}

PartialFile::~PartialFile() {
    if (!_committed) ::unlink(_tempPath.c_str());
    io::UnregisterPendingTempFile(_pendingSlot);
}

core::Status PartialFile::Commit() {
    if (std::rename(_tempPath.c_str(), _finalPath.c_str()) != 0) {
        return core::Status(
            core::ErrorCode::IoError,
            _finalPath + ": cannot move the file into place: " + std::strerror(errno));
    }
    _committed = true;
    io::UnregisterPendingTempFile(_pendingSlot);
    _pendingSlot = -1;
    return core::Status::Ok();
}

}  // namespace orvane::tools
