// PruneNode: one candidate of a neighbour list being pruned, with its distance
// to the list's base node.
#pragma once

#include <cstdint>

#include "index/diskann/format/DiskANNRecords.h"

namespace orvane::index::diskann {

struct PruneNode {
    node_id_t nodeId = 0;
    int32_t order = -1;  // slot at the last pruning, -1 for a newcomer since then
    float distance = 0;  // to the base node
};

}  // namespace orvane::index::diskann
