// Distance helpers of the k-means clustering: plain squared L2 between two rows
// and the distance of a row to its nearest centroid. Not dispatched: the
// summation order is fixed (index order, one fused multiply-add per component).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "distance/MetricE.h"

namespace orvane::quantizer {

// sum (a[i] - b[i])^2 in float, index order; 0 for dim = 0.
float ComputeDistanceSquared(const float* a, const float* b, dist::dimension_t dim);

// Smallest ComputeDistanceSquared between row `index` of `data` and each whole
// centroid row (centroids.size() / dim rows); 3.4028235e38 when there is none.
float FindMinDistanceToCentroids(std::span<const float> data, dist::dimension_t dim,
                                 const std::vector<float>& centroids, uint64_t index);

}  // namespace orvane::quantizer
