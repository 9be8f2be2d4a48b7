// IndexKindRegistry: the table of index kinds, one descriptor per kind, each
// defined in its kind's folder. It is the only list of kinds: the option
// catalogue reads each kind's schemas from it and the `index.type` validator its
// names, the facades pick back-end factories here, and the C interface and the
// tool read names, meta layouts and demo options from it.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "index/IndexKindDescriptor.h"

namespace orvane::index {

// Every registered kind, in table order.
std::span<const IndexKindDescriptor* const> AllIndexKinds();
// The kind of an exact, case-sensitive `index.type` string; null when this build
// has no back end for it.
const IndexKindDescriptor* FindIndexKind(std::string_view type);
// The kind of an enumerator; null for a value outside them.
const IndexKindDescriptor* FindIndexKind(core::IndexE kind);
// The first kind whose meta section is among the given section names.
const IndexKindDescriptor* KindFromSections(std::span<const std::string> sectionNames);
// "demo, ..." in table order, for messages.
std::string KindNames();

}  // namespace orvane::index
