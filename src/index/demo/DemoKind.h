// The demo kind's registration: its back-end factories and its descriptor.
#pragma once

#include "index/IndexKindDescriptor.h"

namespace orvane::index {

core::Result<BuilderBackendPtr> CreateDemoBuilderBackend(const api::BuilderOptions& options,
                                                         const core::MemoryResourceConfig& memory);
core::Result<SearcherBackendPtr> CreateDemoSearcherBackend(
    api::dimension_t dimension, const api::SearcherOptions& options,
    const core::MemoryResourceConfig& memory);

namespace demo {
extern const IndexKindDescriptor kDemoKind;
}  // namespace demo

}  // namespace orvane::index
