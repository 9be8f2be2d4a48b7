// DistanceCalcutor: the graph builder's node-to-node distance for one metric,
// oriented so that lower is always better (the inner product is negated), and
// the test that a distance means "the same point as the base node".
#pragma once

#include <span>

#include "orvane/core/NoCopyable.h"
#include "distance/MetricE.h"

namespace orvane::index::diskann {

class DistanceCalcutor : public core::NoCopyable {
  public:
    using DistanceFn = float (*)(std::span<const float> a, std::span<const float> b);
    using IsMinDistFn = bool (*)(float d);

    // Installs the functions of l2, ip or cosine; false (and empty) otherwise.
    bool Set(dist::MetricE metric);
    bool Empty() const { return _node2NodeDistanceImpl == nullptr; }

    float Distance(std::span<const float> a, std::span<const float> b) const {
        return _node2NodeDistanceImpl(a, b);
    }
    bool IsMinDist(float d) const { return _isMinDistImpl(d); }

  private:
    DistanceFn _node2NodeDistanceImpl = nullptr;
    IsMinDistFn _isMinDistImpl = nullptr;
};

}  // namespace orvane::index::diskann
