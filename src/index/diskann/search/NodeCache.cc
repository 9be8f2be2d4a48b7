#include "index/diskann/search/NodeCache.h"

#include <algorithm>
#include <unordered_set>
#include <vector>

#include "telemetry/Logger.h"

namespace orvane::index::diskann {

using core::Status;

namespace {

// Reads in flight while the cache is loaded.
constexpr uint32_t kCacheLoadParallel = 4;

}  // namespace

Status NodeCache::Load(const SearchDiskStorage& storage, uint32_t requested, uint32_t count) {
    const uint32_t cacheCount =
        std::min(requested, static_cast<uint32_t>(static_cast<double>(count) * 0.1));
    _size = cacheCount;
    _holder.Resize(cacheCount, storage.GraphNodeSize());
    if (cacheCount == 0) return Status::Ok();

    std::vector<io::InputStream::SectionReader::ReadRequest> requests(kCacheLoadParallel);
    std::vector<uint32_t> level;
    std::unordered_set<uint32_t> seen;
    for (uint32_t entry : storage.entryPoints) {
        if (seen.insert(entry).second) level.push_back(entry);
    }
    uint32_t levels = 1;
    uint32_t cached = 0;
    while (cached < cacheCount && !level.empty()) {
        if (level.size() > cacheCount - cached) level.resize(cacheCount - cached);
        const Status read = storage.ReadNodes(level, _holder, cached, kCacheLoadParallel, requests);
        if (!read.IsOk()) {
            ORVANE_LOG_ERROR("Cache load failed when read cached nodes from disk");
            return Status(read.Code(), "DiskANNSearcher load cache failed when read disk nodes");
        }
        std::vector<uint32_t> next;
        for (uint32_t id : level) {
            _slots.emplace(id, cached);
            ++cached;
        }
        for (uint32_t slot = cached - static_cast<uint32_t>(level.size()); slot < cached; ++slot) {
            for (uint32_t neighbor : _holder.nodes[slot].neighbors) {
                if (seen.insert(neighbor).second) next.push_back(neighbor);
            }
        }
        level.swap(next);
        ++levels;
    }
    ORVANE_LOG_INFO("DiskANNSearcher finish load cache, cache [%u] level nodes, [%lu] cached nodes",
                    levels, static_cast<unsigned long>(cached));
    return Status::Ok();
}

}  // namespace orvane::index::diskann
