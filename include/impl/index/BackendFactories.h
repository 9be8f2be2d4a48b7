// Factories of the index kinds' builder and searcher back ends, and the tables
// the facades use to pick one by the exact `index.type` string.
#pragma once

#include <memory>
#include <string_view>

#include "api/MemoryResource.h"
#include "api/Options.h"
#include "api/Result.h"
#include "impl/builder/OrvaneBuilderImpl.h"
#include "impl/searcher/OrvaneSearcherImpl.h"

namespace orvane::index {

using BuilderBackendPtr = std::unique_ptr<api::OrvaneBuilder::Impl::Backend>;
using SearcherBackendPtr = std::unique_ptr<api::OrvaneSearcher::Impl::Backend>;

using BuilderFactory = core::Result<BuilderBackendPtr> (*)(const api::BuilderOptions&,
                                                           const core::MemoryResourceConfig&);
using SearcherFactory = core::Result<SearcherBackendPtr> (*)(api::dimension_t,
                                                             const api::SearcherOptions&,
                                                             const core::MemoryResourceConfig&);

core::Result<BuilderBackendPtr> CreateDemoBuilderBackend(const api::BuilderOptions& options,
                                                         const core::MemoryResourceConfig& memory);
core::Result<SearcherBackendPtr> CreateDemoSearcherBackend(
    api::dimension_t dimension, const api::SearcherOptions& options,
    const core::MemoryResourceConfig& memory);

// The factory for an exact, case-sensitive kind string; null for a kind that
// has no back end.
BuilderFactory FindBuilderFactory(std::string_view type);
SearcherFactory FindSearcherFactory(std::string_view type);

}  // namespace orvane::index
