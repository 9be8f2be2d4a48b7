// Readers of the pq part of a quantizer stream, shared by the pq trainer
// (checkpoint resume) and the pq evaluators so that both apply the same size
// and consistency checks. Each reader fills its outputs only on success.
//
// Order in the stream: PQGlobalHeader, chunk offsets (numChunks + 1 uint32),
// codebooks (256 * dim floats), rotation (dim * dim floats, OPQ only), then
// count rows of PQRowSize(numChunks, metric) bytes.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <span>
#include <vector>

#include "orvane/core/Status.h"
#include "encoding/SectionPayloadReader.h"
#include "encoding/pq/PQGlobalHeader.h"
#include "encoding/pq/PQTypes.h"

namespace orvane::quantizer::detail {

// The 16-byte header; Corruption "PQ header truncated" when it is cut short.
inline core::Status ReadPQHeader(SectionPayloadReader& in,
                                 dist::encode_space::PQGlobalHeader& header) {
    return in.ReadObject(header, "PQ header truncated");
}

// The model after the header. NotSupported "PQ ks not supported" for ks other
// than 256; Corruption for numChunks 0 ("PQ numChunks is zero"), short parts
// ("PQ chunk offsets truncated", "PQ codebook truncated", "PQ rotation matrix
// truncated") and offsets that are not boundaries of dim components ("PQ
// chunk offsets invalid").
template <typename OffsetVector, typename FloatVector>
core::Status ReadPQModel(SectionPayloadReader& in, dist::dimension_t dim,
                         const dist::encode_space::PQGlobalHeader& header, OffsetVector& offsets,
                         FloatVector& codebooks, FloatVector& rotation) {
    using core::ErrorCode;
    using core::Status;
    if (header.ks != dist::encode_space::kPQCentroidCount) {
        return Status(ErrorCode::NotSupported, "PQ ks not supported");
    }
    if (header.numChunks == 0) return Status(ErrorCode::Corruption, "PQ numChunks is zero");
    OffsetVector newOffsets(offsets.get_allocator());
    ORVANE_RETURN_IF_ERROR(in.ReadArray(uint64_t{header.numChunks} + 1, newOffsets,
                                        "Quantizer chunk offsets size too large",
                                        "PQ chunk offsets truncated"));
    if (!dist::encode_space::ValidChunkOffsets(newOffsets, dim)) {
        return Status(ErrorCode::Corruption, "PQ chunk offsets invalid");
    }
    FloatVector newCodebooks(codebooks.get_allocator());
    ORVANE_RETURN_IF_ERROR(in.ReadArray(uint64_t{header.ks} * dim, newCodebooks,
                                        "Quantizer codebook size too large",
                                        "PQ codebook truncated"));
    FloatVector newRotation(rotation.get_allocator());
    if (header.UsesOpq()) {
        ORVANE_RETURN_IF_ERROR(in.ReadArray(uint64_t{dim} * dim, newRotation,
                                            "Quantizer rotation size too large",
                                            "PQ rotation matrix truncated"));
    }
    offsets.swap(newOffsets);
    codebooks.swap(newCodebooks);
    rotation.swap(newRotation);
    return Status::Ok();
}

// count stored rows of rowSize bytes, back to back, ending the stream
// ("Quantizer size overflow", "Quantizer codes size too large", "PQ codes
// truncated", "Quantizer stream has trailing bytes"; all Corruption).
template <typename ByteVector>
core::Status ReadPQRows(SectionPayloadReader& in, uint64_t count, uint64_t rowSize,
                        ByteVector& rows) {
    if (rowSize != 0 && count > UINT64_MAX / rowSize) {
        return core::Status(core::ErrorCode::Corruption, "Quantizer size overflow");
    }
    ORVANE_RETURN_IF_ERROR(in.ReadArray(count * rowSize, rows, "Quantizer codes size too large",
                                        "PQ codes truncated"));
    return in.ExpectEnd();
}

}  // namespace orvane::quantizer::detail
