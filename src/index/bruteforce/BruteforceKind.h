// The bruteforce kind's registration: its back-end factories and its
// descriptor for the kind table.
#pragma once

#include "index/IndexKindDescriptor.h"

namespace orvane::index {

// Creates and Inits the builder back end; Init's failure is returned.
core::Result<BuilderBackendPtr> CreateBruteforceBuilderBackend(
    const api::BuilderOptions& options, const core::MemoryResourceConfig& resources);
// Creates the searcher back end on the process's Search executor.
core::Result<SearcherBackendPtr> CreateBruteforceSearcherBackend(
    api::dimension_t dimension, const api::SearcherOptions& options,
    const core::MemoryResourceConfig& resources);

namespace bruteforce {
extern const IndexKindDescriptor kBruteforceKind;
}  // namespace bruteforce

}  // namespace orvane::index
