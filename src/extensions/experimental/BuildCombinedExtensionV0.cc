#include "extensions/experimental/BuildCombinedExtensionV0.h"

#include <exception>
#include <string>
#include <utility>

namespace orvane::extensions::experimental {

using core::ErrorCode;
using core::Status;

Status CkptExtension::LoadCkptManager(std::unique_ptr<CkptManager> ckptManager) {
    if (!ckptManager) return Status(ErrorCode::InvalidArgument, "Checkpoint manager is null");
    if (!_func) {
        return Status(ErrorCode::FailedPrecondition,
                      "checkpoint extension is not attached to a builder that supports it");
    }
    // The back end's function is the library's own code, but no exception may
    // leave through this public call whatever it does.
    try {
        return _func(std::make_unique<InnerCkptManager>(std::move(ckptManager)));
    } catch (const std::exception& e) {
        return Status(ErrorCode::Internal,
                      std::string("Failed to load checkpoint manager: ") + e.what());
    } catch (...) {
        return Status(ErrorCode::Internal, "Failed to load checkpoint manager");
    }
}

}  // namespace orvane::extensions::experimental
