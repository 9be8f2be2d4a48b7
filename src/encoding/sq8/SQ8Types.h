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

// The centred query as three planes of signed bytes, for the integer dot
// product of the AVX-512 VNNI kernel: r[i] ~ (d0[i] + 256 d1[i] + 65536 d2[i])
// * unit, each plane `stride` bytes (the dimension rounded up to 64, zero
// past it). The components are rounded to multiples of `unit`, which is
// max |r| / 8355711 (127 * 65793, the largest three balanced digits hold):
// as fine as float rounding of the largest component, while the code sums
// themselves are exact integers.
struct SQ8QueryDigits {
    const int8_t* planes = nullptr;  // null: no digit form (not split, or not finite)
    uint64_t stride = 0;
    double unit = 0.0;
};

// Plain view of a prepared query as the kernels read it.
struct SQ8QueryView {
    const float* qCentered = nullptr;
    dimension_t dim = 0;
    float qNorm = 0.0f;
    float qDotCentroid = 0.0f;
    float centroidNormSq = 0.0f;
    SQ8QueryDigits digits;
};

// Owner of a query's digit planes (empty: no digit form).
struct SQ8DigitPlanes {
    explicit SQ8DigitPlanes(std::pmr::memory_resource* resource = std::pmr::get_default_resource())
        : bytes(resource) {}

    SQ8QueryDigits View() const {
        return SQ8QueryDigits{bytes.empty() ? nullptr : bytes.data(), stride, unit};
    }

    std::pmr::vector<int8_t> bytes;  // plane p at bytes[p * stride]
    uint64_t stride = 0;
    double unit = 0.0;
};

// A query ready to be scored against sq8 rows. Empty (no components, scalars 0)
// when the centroid was empty or of another length than the query.
struct PreparedSQ8 {
    explicit PreparedSQ8(std::pmr::memory_resource* resource = std::pmr::get_default_resource())
        : _qCentered(resource), _qDigits(resource) {}

    SQ8QueryView View() const {
        return SQ8QueryView{_qCentered.data(),
                            static_cast<dimension_t>(_qCentered.size()),
                            _qNorm,
                            _qDotCentroid,
                            _centroidNormSq,
                            _qDigits.View()};
    }

    std::pmr::vector<float> _qCentered;  // q[i] - c[i]
    SQ8DigitPlanes _qDigits;             // digit planes of _qCentered, where they pay
    float _qNorm = 0.0f;                 // |q|, for cosine
    float _qDotCentroid = 0.0f;          // q . c, for ip and cosine
    float _centroidNormSq = 0.0f;
};

}  // namespace orvane::dist::encode_space
