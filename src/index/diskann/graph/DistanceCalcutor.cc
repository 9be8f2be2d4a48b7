#include "index/diskann/graph/DistanceCalcutor.h"

#include <cmath>

#include "distance/MetricDispatchers.h"
#include "isa/DynamicIsa.h"

namespace orvane::index::diskann {

namespace {

using dist::MetricE;
using isa::IsaE;
using isa::IsaT;

using Span = std::span<const float>;

// The inner product negated, so that lower is better as for the other metrics.
struct NegatedIPDispatcher {
    template <IsaE I>
    static float TagInvoke(IsaT<I> level, Span a, Span b) {
        return -dist::IPDispatcher::TagInvoke(level, a, b);
    }
};

// The kernel of the level chosen for this process, called directly: a
// distance costs one indirect call and no dispatch.
template <typename Dispatcher>
DistanceCalcutor::DistanceFn Kernel() {
    return isa::ResolveKernel<Dispatcher, Span, Span>();
}

// A distance of (nearly) zero: the two vectors coincide.
bool NearZero(float d) {
    return -1e-9f < d && d < 1e-9f;
}
// A negated inner product of (nearly) -1: unit vectors that coincide.
bool UnitInnerProduct(float d) {
    return std::fabs(static_cast<double>(-d) - 1.0) < 1e-9;
}

}  // namespace

bool DistanceCalcutor::Set(dist::MetricE metric) {
    switch (metric) {
        case MetricE::l2:
            _node2NodeDistanceImpl = Kernel<dist::L2Dispatcher>();
            _isMinDistImpl = &NearZero;
            return true;
        case MetricE::ip:
            _node2NodeDistanceImpl = Kernel<NegatedIPDispatcher>();
            _isMinDistImpl = &UnitInnerProduct;
            return true;
        case MetricE::cosine:
            _node2NodeDistanceImpl = Kernel<dist::CosineDispatcher>();
            _isMinDistImpl = &NearZero;
            return true;
        case MetricE::dummy:
            break;
    }
    _node2NodeDistanceImpl = nullptr;
    _isMinDistImpl = nullptr;
    return false;
}

}  // namespace orvane::index::diskann
