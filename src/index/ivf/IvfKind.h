// The ivf kind's registration: its back-end factories and its descriptor.
#pragma once

#include "index/IndexKindDescriptor.h"

namespace orvane::index {

// Creates the builder back end and runs its Init; a failing Init is logged at
// Warn ("Failed to init IVF builder backend") and returned.
core::Result<BuilderBackendPtr> CreateIvfBuilderBackend(const api::BuilderOptions& options,
                                                        const core::MemoryResourceConfig& memory);
// Never fails; `dimension` is the configured dimension the file must match.
core::Result<SearcherBackendPtr> CreateIvfSearcherBackend(api::dimension_t dimension,
                                                          const api::SearcherOptions& options,
                                                          const core::MemoryResourceConfig& memory);

namespace ivf {
extern const IndexKindDescriptor kIvfKind;
}  // namespace ivf

}  // namespace orvane::index
