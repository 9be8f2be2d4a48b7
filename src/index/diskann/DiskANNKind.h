// The diskann kind's registration: its descriptor for the kind table.
#pragma once

#include "index/IndexKindDescriptor.h"

namespace orvane::index::diskann {

extern const IndexKindDescriptor kDiskANNKind;

}  // namespace orvane::index::diskann
