// The quantizer trainer options of a DiskANN build, derived from its builder
// options.
//
// TrainerOptions: the encoder the graph search scores with. It takes the
// builder's "encoding." and "distance." keys and the dimension; without an
// encoding it is pq, and pq gets (dimension + 1) / 2 chunks and the build's
// thread count unless the options give them.
//
// DiskTrainerOptions: the encoder of the vectors stored in the node records,
// when "diskann.disk_encoding.type" is given (else nullopt). Its keys come from
// "diskann.disk_encoding." and "distance."; for pq the chunk count, thread
// count and epochs come from "diskann.disk_encoding.encoding.pq.", with the
// same defaults, and OPQ and zero-mean are off.
#pragma once

#include <cstdint>
#include <optional>

#include "orvane/api/Options.h"

namespace orvane::index::diskann {

api::QuantizerOptions TrainerOptions(const api::BuilderOptions& options, uint64_t dimension,
                                     uint32_t threadCount);
std::optional<api::QuantizerOptions> DiskTrainerOptions(const api::BuilderOptions& options,
                                                        uint64_t dimension, uint32_t threadCount);

}  // namespace orvane::index::diskann
