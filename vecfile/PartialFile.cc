#include "PartialFile.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

namespace orvane::tools {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
char gTempPath[4096];
volatile sig_atomic_t gArmed = 0;
struct sigaction gPrevious[3];

void OnSignal(int sig) {
    if (gArmed) ::unlink(gTempPath);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

}  // namespace

PartialFile::PartialFile(std::string finalPath)
    : _finalPath(std::move(finalPath)),
      _tempPath(_finalPath + ".partial." + std::to_string(::getpid())) {
    if (_tempPath.size() < sizeof(gTempPath) && !gArmed) {
        std::memcpy(gTempPath, _tempPath.c_str(), _tempPath.size() + 1);
        gArmed = 1;
        struct sigaction sa {};
        sa.sa_handler = OnSignal;
        sigemptyset(&sa.sa_mask);
        for (size_t i = 0; i < 3; ++i) sigaction(kSignals[i], &sa, &gPrevious[i]);
    }
}

PartialFile::~PartialFile() {
    if (!_committed) ::unlink(_tempPath.c_str());
    if (gArmed && std::strcmp(gTempPath, _tempPath.c_str()) == 0) {
        gArmed = 0;
        for (size_t i = 0; i < 3; ++i) sigaction(kSignals[i], &gPrevious[i], nullptr);
    }
}

core::Status PartialFile::Commit() {
    if (std::rename(_tempPath.c_str(), _finalPath.c_str()) != 0) {
        return core::Status(
            core::ErrorCode::IoError,
            _finalPath + ": cannot move the index into place: " + std::strerror(errno));
    }
    _committed = true;
    return core::Status::Ok();
}

}  // namespace orvane::tools
