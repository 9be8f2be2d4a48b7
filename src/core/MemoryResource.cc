#include "orvane/core/MemoryResource.h"

namespace orvane::core {

MemoryResourceConfig::MemoryResourceConfig(std::pmr::memory_resource* resource)
    : storage(RefMemoryResource(resource)), instant(storage) {}

std::shared_ptr<std::pmr::memory_resource> RefMemoryResource(std::pmr::memory_resource* resource) {
    return std::shared_ptr<std::pmr::memory_resource>(resource, [](std::pmr::memory_resource*) {});
}

MemoryResourceConfig Normalize(const MemoryResourceConfig& config) {
    MemoryResourceConfig out;
    out.storage =
        config.storage ? config.storage : RefMemoryResource(std::pmr::get_default_resource());
    out.instant = config.instant ? config.instant : out.storage;
    return out;
}

}  // namespace orvane::core
