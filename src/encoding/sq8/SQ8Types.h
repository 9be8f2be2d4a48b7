// Data of the sq8 encode space: the model (a centroid), the 24-byte per-vector
// header stored beside each row's d code bytes, the global header, and the
// prepared form of a query.
//
// A row stores, per component, one byte `code` such that the residual x - c is
// approximated by a * code + b with a per-vector scale a and offset b.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <vector>

#include "distance/MetricE.h"

namespace orvane::dist::encode_space {

struct SQ8Model {
    std::vector<float> centroid;  // mean of the training vectors, one float per component
};

// Stored little-endian in this exact layout as a row's auxiliary bytes.
struct SQ8VectorHeader {
    float a = 0.0f;             // scale: residual component ~ a * code + b
    float b = 0.0f;             // offset
    float sum = 0.0f;           // sum of the raw vector's components
    float centeredNorm = 0.0f;  // squared norm of the residual x - c
    float dotXC = 0.0f;         // raw vector dot centroid
    float norm = 0.0f;          // norm of the raw vector (square root taken)
};
static_assert(sizeof(SQ8VectorHeader) == 24, "the stored SQ8 vector header is 24 bytes");

struct SQ8GlobalHeader {
    float centroidNormSq = 0.0f;  // sum of c[i]^2
};
static_assert(sizeof(SQ8GlobalHeader) == 4, "the stored SQ8 global header is 4 bytes");

// Plain view of a prepared query as the kernels read it.
struct SQ8QueryView {
    const float* qCentered = nullptr;
    dimension_t dim = 0;
    float qNorm = 0.0f;
    float qDotCentroid = 0.0f;
    float centroidNormSq = 0.0f;
};

// A query ready to be scored against sq8 rows. Empty (no components, scalars 0)
// when the centroid was empty or of another length than the query.
struct PreparedSQ8 {
    explicit PreparedSQ8(std::pmr::memory_resource* resource = std::pmr::get_default_resource())
        : _qCentered(resource) {}

    SQ8QueryView View() const {
        return SQ8QueryView{_qCentered.data(), static_cast<dimension_t>(_qCentered.size()), _qNorm,
                            _qDotCentroid, _centroidNormSq};
    }

    std::pmr::vector<float> _qCentered;  // q[i] - c[i]
    float _qNorm = 0.0f;                 // |q|, for cosine
    float _qDotCentroid = 0.0f;          // q . c, for ip and cosine
    float _centroidNormSq = 0.0f;
};

}  // namespace orvane::dist::encode_space
