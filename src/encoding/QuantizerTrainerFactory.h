// CreateQuantizerTrainer: picks and creates the trainer that the quantizer
// options ask for. Keys read (an absent key or one of another type takes the
// default): "index.dimension" (integer, 0), "distance.metric" (string, "l2":
// "l2", "inner_product", "cosine", anything else the dummy metric),
// "encoding.type" (string, "rawf32": "rawf32", "sq8" or "pq") and, for pq,
// "encoding.pq.m" (integer, 8; 1 <= m <= dimension). Returns null, with an
// Error log line saying why, for an unknown encoding, a bad chunk count or the
// pq encoding with the cosine metric (which no evaluator can score).
#pragma once

#include <memory>
#include <memory_resource>
#include <string>

#include "orvane/api/Options.h"
#include "encoding/QuantizerTrainer.h"

namespace orvane::quantizer {

std::unique_ptr<QuantizerTrainer> CreateQuantizerTrainer(const api::QuantizerOptions& options,
                                                         std::pmr::memory_resource& resource);

// Why CreateQuantizerTrainer refuses these options (the text it logs); empty
// when it would create a trainer. Callers append it to their own message.
std::string WhyNoQuantizerTrainer(const api::QuantizerOptions& options);

}  // namespace orvane::quantizer
