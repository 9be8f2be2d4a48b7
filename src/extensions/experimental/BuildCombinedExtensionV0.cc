#include "extensions/experimental/BuildCombinedExtensionV0.h"

#include <exception>
#include <string>
#include <utility>

namespace orvane::extensions::experimental {

using core::ErrorCode;
using core::Status;

// Defined here so the class's type information has one home in the library,
// which the checked cast of InstallCkptFunc relies on across library borders.
CkptExtension::~BuildCombinedExtensionV0() = default;

bool InstallCkptFunc(api::IBuildExtension& extension, CkptExtension::FuncType load) {
    if (extension.Name() != CkptExtension::ExtensionName()) return false;
    auto* ckpt = dynamic_cast<CkptExtension*>(&extension);
    if (ckpt == nullptr) return false;
    ckpt->SetFunc(std::move(load));
    return true;
}

Status CkptExtension::LoadCkptManager(std::unique_ptr<api::CkptManager> ckptManager) {
    if (!ckptManager) return Status(ErrorCode::InvalidArgument, "Checkpoint manager is null");
    if (!_func) {
        return Status(ErrorCode::FailedPrecondition,
                      "checkpoint extension is not attached to a builder that supports it");
    }
    // The back end's function is the library's own code, but no exception may
    // leave through this public call whatever it does.
    try {
        return _func(std::make_unique<api::InnerCkptManager>(std::move(ckptManager)));
    } catch (const std::exception& e) {
        return Status(ErrorCode::Internal,
                      std::string("Failed to load checkpoint manager: ") + e.what());
    } catch (...) {
        return Status(ErrorCode::Internal, "Failed to load checkpoint manager");
    }
}

}  // namespace orvane::extensions::experimental
