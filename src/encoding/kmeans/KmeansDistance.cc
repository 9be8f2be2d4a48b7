#include "encoding/kmeans/KmeansDistance.h"

#include <cmath>
#include <limits>

namespace orvane::quantizer {

float ComputeDistanceSquared(const float* a, const float* b, dist::dimension_t dim) {
    float sum = 0.0f;
    for (dist::dimension_t i = 0; i < dim; ++i) {
        const float d = a[i] - b[i];
        sum = std::fma(d, d, sum);
    }
    return sum;
}

float FindMinDistanceToCentroids(std::span<const float> data, dist::dimension_t dim,
                                 const std::vector<float>& centroids, uint64_t index) {
    float best = std::numeric_limits<float>::max();
    if (dim == 0) return best;
    const float* row = data.data() + index * dim;
    const size_t count = centroids.size() / dim;
    for (size_t c = 0; c < count; ++c) {
        const float d = ComputeDistanceSquared(row, centroids.data() + c * dim, dim);
        if (d < best) best = d;
    }
    return best;
}

}  // namespace orvane::quantizer
