// QuantizerMeta: the 20-byte head of every quantizer stream, five
// little-endian uint32 fields. The stream that follows is the encoding's
// header, its model and the per-vector data:
//
//   part             rawf32          sq8                         pq
//   meta             20 bytes        20 bytes                    20 bytes
//   header           none            SQ8GlobalHeader (4)         PQGlobalHeader (16)
//   model            none            centroid: d floats          chunk offsets: m+1 uint32,
//                                    (absent if never trained)   codebooks: 256*d floats,
//                                                                rotation: d*d floats (OPQ only)
//   per vector       count rows of   count SQ8VectorHeaders (24  count rows of PQRowSize bytes
//                    d floats        bytes), then count rows of
//                                    d code bytes
#pragma once

#include <cstdint>

#include "distance/MetricE.h"
#include "encoding/EncodingE.h"

namespace orvane::quantizer {

struct QuantizerMeta {
    uint32_t version = 0;    // kQuantizerStreamVersion when written
    uint32_t count = 0;      // encoded vectors (low 32 bits)
    uint32_t dimension = 0;  // components per vector
    dist::encode_space::EncodingE encodingType = dist::encode_space::EncodingE::dummy;
    dist::MetricE metricType = dist::MetricE::dummy;
};
static_assert(sizeof(QuantizerMeta) == 20, "the stored quantizer meta is 20 bytes");

// The only stream version written; a stream of any other version is refused.
inline constexpr uint32_t kQuantizerStreamVersion = 0;

// Size of the meta, which is where the encoding's own part of a stream starts.
inline constexpr uint64_t kQuantizerMetaSize = sizeof(QuantizerMeta);

}  // namespace orvane::quantizer
