// WriteDiskANNIndex: the index file of a finished DiskANN build. The builder
// hands in what the file is made of; the writer lays out the meta, encoder and
// node-record sections (reordering rows into sector order when asked and the
// records leave room for it) and closes the stream.
#pragma once

#include <cstdint>

#include "distance/MetricE.h"
#include "encoding/QuantizerTrainer.h"
#include "index/diskann/build/BuildMemoryStorage.h"
#include "orvane/core/Status.h"

namespace orvane::io {
class OutputStream;
}

namespace orvane::index::diskann {

// What one DiskANN index file is written from; references stay the builder's.
struct DiskANNIndexParts {
    const BuildMemoryStorage& storage;
    // The in-memory encoder (its codes steer the search) and, when the disk
    // records hold encoded vectors instead of floats, the disk encoder.
    quantizer::QuantizerTrainer& trainer;
    quantizer::QuantizerTrainer* diskTrainer = nullptr;
    uint32_t reservedCount = 0;  // 0 when the caller reserved nothing
    uint32_t appendedCount = 0;
    uint64_t dimension = 0;
    dist::MetricE metric = dist::MetricE::dummy;
    uint32_t efConstruction = 0;
    float slackPruningFactor = 1.0f;
    uint64_t neighborCount = 0;
    bool saveOriginalEmbedding = false;
    bool reorderLayout = false;
};

// Internal when fewer vectors were appended than reserved; InvalidArgument
// when a node record's size overflows; the stream's and encoders' errors.
core::Status WriteDiskANNIndex(const DiskANNIndexParts& parts, io::OutputStream& stream);

}  // namespace orvane::index::diskann
