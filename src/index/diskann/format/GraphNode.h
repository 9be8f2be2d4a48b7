// GraphNode and GraphNodeHolder: a node record parsed in place, and the
// buffers that several records are read into. A GraphNode's spans point into
// the holder's buffer and stay valid until the holder is resized or the slot
// is read again.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace orvane::index::diskann {

// One parsed node record: the vector part and the neighbour ids.
struct GraphNode {
    std::span<const uint8_t> embedding;
    std::span<const uint32_t> neighbors;
};

// Read buffers for several node records: slot k uses buffer bytes
// [k * nodeSize, (k + 1) * nodeSize).
struct GraphNodeHolder {
    std::vector<uint8_t> buffer;
    std::vector<GraphNode> nodes;

    // Sizes the holder for `slots` records of nodeSize bytes.
    void Resize(uint64_t slots, uint64_t nodeSize) {
        buffer.assign(slots * nodeSize, 0);
        nodes.assign(slots, GraphNode{});
    }
};

}  // namespace orvane::index::diskann
