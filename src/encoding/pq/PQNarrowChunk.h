// Nearest-centroid search for narrow PQ chunks (at most 8 components), where a
// matrix product has too little depth to pay off. The chunk's (at most 256)
// centroids are transposed into 32 blocks of 8, component j of each centroid at
// [block][j][lane], so that one sub-vector is scored against 8 centroids per
// instruction. Scores are the matrix form (|x|^2 + |c|^2) - 2 x.c in float,
// and the scan keeps the lowest index among equal scores.
//
//   NarrowChunk chunk;
//   chunk.Load(centroids, count, width, norms);   // once per chunk
//   chunk.Nearest(x, rows, rowStride, out, outStride);
#pragma once

#include <cstdint>

namespace orvane::dist::encode_space {

class NarrowChunk {
  public:
    static constexpr uint32_t kMaxWidth = 8;
    static constexpr uint32_t kMaxCentroids = 256;

    // `centroids`: count (<= 256) rows of width (1..8) floats; `norms`: their
    // squared norms, count floats.
    void Load(const float* centroids, uint32_t count, uint32_t width, const float* norms);

    // out[r * outStride] = the nearest centroid of the sub-vector of `width`
    // floats at x + r * rowStride, for r < rows.
    void Nearest(const float* x, uint64_t rows, uint64_t rowStride, uint8_t* out,
                 uint64_t outStride) const;

  private:
    template <uint32_t W>
    void NearestFixed(const float* x, uint64_t rows, uint64_t rowStride, uint8_t* out,
                      uint64_t outStride) const;

    uint32_t _width = 0;
    alignas(32) float _transposed[kMaxCentroids * kMaxWidth];
    alignas(32) float _norms[kMaxCentroids];  // NaN beyond the centroid count
};

}  // namespace orvane::dist::encode_space
