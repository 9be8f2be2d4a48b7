// DiskANNSearchContext: the scratch one thread uses for its DiskANN searches,
// allocated on its first search and reset (keeping its memory) by each later
// one: the visit map over all nodes, the bounded result heap, the candidate
// heap, the beam's id lists, the read buffers of a round, the neighbour batch
// being scored and the counters of the search.
//
// SearchContextManager hands every thread its own context, created on first
// request and kept for the manager's lifetime.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "api/NoCopyable.h"
#include "impl/index/common/Heap.h"
#include "impl/index/common/SimpleBitMap.h"
#include "impl/index/diskann/search/SearchDiskStorage.h"
#include "impl/quantizer/QuantizerEvaluatorBase.h"
#include "io/InputStream.h"

namespace orvane::index::diskann {

// Counters of one search.
struct DiskANNStats {
    uint32_t compareCount = 0;               // encoded distances computed
    uint32_t filteredCount = 0;              // nodes the filter rejected
    uint32_t IOCount = 0;                    // node records read from the file
    uint32_t hopsCount = 0;                  // beam rounds
    int64_t searchBeamDuration = 0;          // nanoseconds selecting beams
    int64_t processBeamDuration = 0;         // nanoseconds expanding nodes
    int64_t readAndProcessBeamDuration = 0;  // nanoseconds reading and expanding
};

class DiskANNSearchContext : public core::NoCopyable {
  public:
    explicit DiskANNSearchContext(std::pmr::memory_resource* resource);

    // Prepares the context for a search keeping the ef nearest of `count`
    // nodes with beams of beamWidth nodes of nodeSize bytes each; empties
    // heaps, lists, visit map and counters.
    void UpdateContext(uint32_t topk, uint32_t ef, node_id_t count, uint32_t beamWidth,
                       uint64_t nodeSize, uint64_t neighborCount);

    uint32_t _parallelNum = 1;
    uint32_t _topk = 0;
    uint32_t _ef = 0;
    node_id_t _count = 0;
    SimpleBitMap _visitMap;
    TopkHeap _topkHeap;
    CandidateHeap _candidateHeap;
    uint32_t _IOLimit = 0;
    uint32_t _beamWidth = 0;
    std::pmr::vector<uint32_t> _diskReadNodeIds;
    GraphNodeHolder _diskReadNodes;
    std::pmr::vector<uint32_t> _cachedNodeIds;
    std::pmr::vector<io::InputStream::SectionReader::ReadRequest> _readRequests;
    std::pmr::vector<uint64_t> _evalIds;  // a node's unvisited neighbours
    std::pmr::vector<float> _evalOut;     // their encoded distances
    DiskANNStats _stats;
    // Filtered searches: the admitted nodes kept as results (the top-k heap
    // then steers the walk over all nodes), the admitted nodes expanded, the
    // nodes to score directly and the records re-ranked in a chunk.
    TopkHeap _admittedHeap;
    uint32_t _admittedCount = 0;
    std::pmr::vector<uint32_t> _directNodes;
    std::pmr::vector<uint32_t> _rerankIds;
    GraphNodeHolder _rerankNodes;
    std::unique_ptr<quantizer::PreparedBase> _preparedQuery;
    std::unique_ptr<quantizer::PreparedBase> _preparedQueryForDiskQuantizer;
};

// Per-thread contexts, keyed by the calling thread's POSIX thread id.
template <typename T>
class SearchContextManager : public core::NoCopyable {
  public:
    explicit SearchContextManager(std::pmr::memory_resource* resource) : _resource(resource) {}

    // The calling thread's context; the reference stays valid for the
    // manager's lifetime.
    T& GetContext() {
        const auto key = static_cast<uint64_t>(pthread_self());
        {
            std::shared_lock lock(_readWriteLock);
            auto it = _contexts.find(key);
            if (it != _contexts.end()) return *it->second;
        }
        auto created = std::make_unique<T>(_resource);
        std::unique_lock lock(_readWriteLock);
        auto [it, inserted] = _contexts.try_emplace(key, std::move(created));
        return *it->second;
    }

    size_t Size() const {
        std::shared_lock lock(_readWriteLock);
        return _contexts.size();
    }

  private:
    std::unordered_map<uint64_t, std::unique_ptr<T>> _contexts;
    mutable std::shared_mutex _readWriteLock;
    std::pmr::memory_resource* _resource;
};

}  // namespace orvane::index::diskann
