// MemoryResourceConfig: where an index draws memory from. `storage` holds
// long-lived index data, `instant` per-call scratch.
#pragma once

#include <memory>
#include <memory_resource>

namespace orvane::core {

struct MemoryResourceConfig {
    MemoryResourceConfig() = default;
    explicit MemoryResourceConfig(std::pmr::memory_resource* resource);

    std::shared_ptr<std::pmr::memory_resource> storage;
    std::shared_ptr<std::pmr::memory_resource> instant;
};

// Shares a caller-owned resource without ever freeing it.
std::shared_ptr<std::pmr::memory_resource> RefMemoryResource(std::pmr::memory_resource* resource);

// Fills unset handles: storage defaults to the process default resource,
// instant to the (normalized) storage.
MemoryResourceConfig Normalize(const MemoryResourceConfig& config);

}  // namespace orvane::core
