// BuildCombinedExtensionV0: build extensions named by a RoleSet. The
// checkpoint extension (RoleSet<checkpoint>, alias CkptExtension) lets a
// builder write its intermediate state through a caller's CkptManager and a
// new builder resume from it.
//
// Use: attach the extension to a builder (OrvaneBuilder::Attach); a back end
// that supports checkpoints installs its resume function with SetFunc. Then
// hand over the manager with LoadCkptManager, which wraps it in an
// InnerCkptManager and passes it to that function; the back end restores from
// the latest checkpoint and writes new ones while vectors are appended. The
// installed function refers to the builder's back end: do not call
// LoadCkptManager after that builder is destroyed. The caller owns the
// extension; it is driven from one thread.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "orvane/api/IBuildExtension.h"
#include "orvane/core/Status.h"
#include "api/builder/checkpoint/CkptManager.h"
#include "api/builder/checkpoint/InnerCkptManager.h"
#include "extensions/experimental/RoleSet.h"

namespace orvane::extensions::experimental {

template <typename Roles>
class BuildCombinedExtensionV0;

template <>
class BuildCombinedExtensionV0<RoleSet<BuildExtension::checkpoint>> : public api::IBuildExtension {
  public:
    using Roles = RoleSet<BuildExtension::checkpoint>;
    using FuncType = std::function<core::Status(std::unique_ptr<api::InnerCkptManager>)>;

    BuildCombinedExtensionV0() = default;
    ~BuildCombinedExtensionV0() override;

    static std::string_view ExtensionName() { return Roles::Name(); }
    std::string_view Name() const override { return ExtensionName(); }

    // Replaces the installed function (a back end calls this from Attach).
    void SetFunc(FuncType func) { _func = std::move(func); }
    // Whether a back end has installed its function.
    bool IsAttached() const { return static_cast<bool>(_func); }

    // Hands the manager to the back end that accepted the extension and
    // returns its status. InvalidArgument for a null manager;
    // FailedPrecondition when no back end accepted the extension.
    core::Status LoadCkptManager(std::unique_ptr<api::CkptManager> ckptManager);

  private:
    FuncType _func;
};

using CkptExtension = BuildCombinedExtensionV0<RoleSet<BuildExtension::checkpoint>>;

// For back ends that support checkpoints, from their Attach: when `extension`
// is the checkpoint extension, installs `load` (which hands the manager to the
// back end's LoadFromCkptManager) and returns true. Returns false, leaving the
// extension untouched, for any other extension, including a foreign type that
// merely calls itself "checkpoint"; the back end then refuses it.
bool InstallCkptFunc(api::IBuildExtension& extension, CkptExtension::FuncType load);

}  // namespace orvane::extensions::experimental
