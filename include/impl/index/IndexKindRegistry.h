// IndexKindRegistry: the table of index kinds that have back ends in this build,
// one descriptor per kind. The facades pick back-end factories here, the C
// interface and the tool read names, meta layouts and demo options from it. A
// kind named by the options vocabulary but absent here is refused by the facades
// with NotFound.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "impl/index/IndexKindDescriptor.h"

namespace orvane::index {

// Every registered kind, in table order.
std::span<const IndexKindDescriptor* const> AllIndexKinds();
// The kind of an exact, case-sensitive `index.type` string; null when this build
// has no back end for it.
const IndexKindDescriptor* FindIndexKind(std::string_view type);
// The first kind whose meta section is among the given section names.
const IndexKindDescriptor* KindFromSections(std::span<const std::string> sectionNames);
// "demo, ..." in table order, for messages.
std::string KindNames();

}  // namespace orvane::index
