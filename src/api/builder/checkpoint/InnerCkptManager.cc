#include "api/builder/checkpoint/InnerCkptManager.h"

#include <exception>
#include <string>
#include <utility>

#include "orvane/api/Options.h"
#include "telemetry/Logger.h"

namespace orvane::api {

using core::ErrorCode;
using core::Status;

namespace {

// Runs a call into the caller's manager, turning an escaping exception into
// an Internal status named after the call.
template <typename Fn>
Status CallManager(const char* what, Fn&& fn) {
    try {
        fn();
        return Status();
    } catch (const std::exception& e) {
        return Status(ErrorCode::Internal,
                      std::string("Checkpoint manager threw in ") + what + ": " + e.what());
    } catch (...) {
        return Status(ErrorCode::Internal, std::string("Checkpoint manager threw in ") + what);
    }
}

Status NoManager() {
    return Status(ErrorCode::FailedPrecondition, "No checkpoint manager");
}

}  // namespace

InnerCkptManager::InnerCkptManager(std::unique_ptr<CkptManager> ckptManager)
    : _ckptManager(std::move(ckptManager)) {}

std::unique_ptr<io::OutputStream> InnerCkptManager::CreateOutputStream() {
    if (!_ckptManager) {
        _lastError = NoManager();
        return nullptr;
    }
    std::unique_ptr<io::FileWriter> writer;
    _lastError =
        CallManager("CreateCkptFileWriter", [&] { writer = _ckptManager->CreateCkptFileWriter(); });
    if (_lastError.IsOk() && !writer) {
        _lastError = Status(ErrorCode::IoError, "Checkpoint manager gave no file writer");
    }
    if (_lastError.IsOk()) {
        auto stream = std::make_unique<io::OutputStream>(std::move(writer));
        _lastError = stream->Init(api::IOOptions());
        if (_lastError.IsOk()) return stream;
    }
    ORVANE_LOG_STATUS_WARN(_lastError, "Failed to create checkpoint output stream");
    return nullptr;
}

core::Result<bool> InnerCkptManager::HasInputStream() {
    if (!_ckptManager) return NoManager();
    core::Result<bool> has = false;
    Status thrown = CallManager("HasCkptFile", [&] { has = _ckptManager->HasCkptFile(); });
    if (!thrown.IsOk()) return thrown;
    return has;
}

std::unique_ptr<io::InputStream> InnerCkptManager::GetInputStream() {
    if (!_ckptManager) {
        _lastError = NoManager();
        return nullptr;
    }
    std::unique_ptr<io::FileReader> reader;
    _lastError =
        CallManager("GetCkptFileReader", [&] { reader = _ckptManager->GetCkptFileReader(); });
    if (_lastError.IsOk() && !reader) {
        _lastError = Status(ErrorCode::IoError, "Checkpoint manager gave no file reader");
    }
    if (_lastError.IsOk()) {
        auto stream = std::make_unique<io::InputStream>(std::move(reader));
        // Every section is checked against its CRC when first handed out: a
        // damaged checkpoint must fail the resume, not restore wrong rows.
        _lastError = stream->Open(api::IOOptions{{"io.verify_crc", true}});
        if (_lastError.IsOk()) return stream;
    }
    ORVANE_LOG_STATUS_WARN(_lastError, "Failed to open checkpoint input stream");
    return nullptr;
}

}  // namespace orvane::api
