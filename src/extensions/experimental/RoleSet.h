// BuildExtension and RoleSet: the roles a combined build extension can play and
// the compile-time set of them that names one extension type. Roles are bits
// so a set is also a mask (RoleSet::Value); a set's Name() is what back ends
// compare against when an extension is attached.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orvane::extensions::experimental {

enum class BuildExtension : uint32_t {
    checkpoint = 1,
    label = 2,
    sparse = 4,
};

using RoleMask = uint32_t;

constexpr std::string_view RoleName(BuildExtension role) {
    switch (role) {
        case BuildExtension::checkpoint:
            return "checkpoint";
        case BuildExtension::label:
            return "label";
        case BuildExtension::sparse:
            return "sparse";
    }
    return "unknown";
}

template <BuildExtension... Roles>
struct RoleSet {
    static_assert(sizeof...(Roles) > 0, "a role set holds at least one role");

    static constexpr RoleMask Value = (RoleMask{0} | ... | static_cast<RoleMask>(Roles));

    static constexpr bool Has(BuildExtension role) {
        return (Value & static_cast<RoleMask>(role)) != 0;
    }

    // The role names joined by '+' in declaration order; a single role's set is
    // named after that role ("checkpoint").
    static std::string_view Name() {
        static const std::string name = [] {
            std::string joined;
            ((joined += (joined.empty() ? "" : "+"), joined += RoleName(Roles)), ...);
            return joined;
        }();
        return name;
    }
};

}  // namespace orvane::extensions::experimental
