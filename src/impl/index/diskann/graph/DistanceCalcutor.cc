#include "impl/index/diskann/graph/DistanceCalcutor.h"

#include <cmath>

#include "distance/MetricDispatchers.h"
#include "isa/CpuFeatures.h"
#include "isa/IsaE.h"

namespace orvane::index::diskann {

namespace {

using dist::MetricE;
using isa::IsaE;
using isa::IsaT;

// The kernels of one level, called directly: the level is chosen once when the
// metric is set, so a distance costs one indirect call and no dispatch.
template <IsaE I>
float L2(std::span<const float> a, std::span<const float> b) {
    return dist::L2Dispatcher::TagInvoke(IsaT<I>{}, a, b);
}
template <IsaE I>
float NegatedIp(std::span<const float> a, std::span<const float> b) {
    return -dist::IPDispatcher::TagInvoke(IsaT<I>{}, a, b);
}
template <IsaE I>
float Cosine(std::span<const float> a, std::span<const float> b) {
    return dist::CosineDispatcher::TagInvoke(IsaT<I>{}, a, b);
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
    const bool avx2 = isa::SelectKernelIsa(isa::DetectCpu()) == IsaE::avx2;
    switch (metric) {
        case MetricE::l2:
            _node2NodeDistanceImpl = avx2 ? &L2<IsaE::avx2> : &L2<IsaE::scalar>;
            _isMinDistImpl = &NearZero;
            return true;
        case MetricE::ip:
            _node2NodeDistanceImpl = avx2 ? &NegatedIp<IsaE::avx2> : &NegatedIp<IsaE::scalar>;
            _isMinDistImpl = &UnitInnerProduct;
            return true;
        case MetricE::cosine:
            _node2NodeDistanceImpl = avx2 ? &Cosine<IsaE::avx2> : &Cosine<IsaE::scalar>;
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
