// Readers of the sq8 parts of a quantizer stream (model and codes), shared by
// the sq8 trainer (checkpoint resume) and evaluator (search) so that both
// apply the same size checks and report the same Corruption messages. Each
// reader fills its outputs only when everything it reads is complete.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <vector>

#include "orvane/core/Status.h"
#include "distance/MetricE.h"
#include "encoding/SectionPayloadReader.h"
#include "encoding/sq8/SQ8Types.h"

namespace orvane::quantizer::detail {

// The sq8 model part: the global header ("SQ8 header truncated"), dim floats
// of centroid ("SQ8 centroid truncated") and count per-vector headers ("SQ8
// headers truncated"), all Corruption. Outputs change only on success.
template <typename CentroidVector>
core::Status ReadSQ8Model(SectionPayloadReader& in, dist::dimension_t dim, uint64_t count,
                          dist::encode_space::SQ8GlobalHeader& global, CentroidVector& centroid,
                          std::pmr::vector<dist::encode_space::SQ8VectorHeader>& headers) {
    dist::encode_space::SQ8GlobalHeader newGlobal;
    ORVANE_RETURN_IF_ERROR(in.ReadObject(newGlobal, "SQ8 header truncated"));
    CentroidVector newCentroid(centroid.get_allocator());
    ORVANE_RETURN_IF_ERROR(in.ReadArray(dim, newCentroid, "Quantizer centroid size too large",
                                        "SQ8 centroid truncated"));
    std::pmr::vector<dist::encode_space::SQ8VectorHeader> newHeaders(headers.get_allocator());
    ORVANE_RETURN_IF_ERROR(in.ReadArray(count, newHeaders, "Quantizer headers size too large",
                                        "SQ8 headers truncated"));
    global = newGlobal;
    centroid.swap(newCentroid);
    headers.swap(newHeaders);
    return core::Status::Ok();
}

// The sq8 code bytes: count rows of dim bytes ("SQ8 codes truncated"), the
// last part of the stream ("Quantizer stream has trailing bytes").
core::Status ReadSQ8Codes(SectionPayloadReader& in, uint64_t count, dist::dimension_t dim,
                          std::pmr::vector<uint8_t>& codes);

}  // namespace orvane::quantizer::detail
