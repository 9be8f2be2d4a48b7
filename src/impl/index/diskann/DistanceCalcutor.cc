#include "impl/index/diskann/DistanceCalcutor.h"

#include <cmath>

#include "distance/Metric.h"

namespace orvane::index::diskann {

namespace {

using dist::MetricE;
using dist::MetricT;

float L2(std::span<const float> a, std::span<const float> b) {
    return TagInvoke(dist::EvalTag{}, MetricT<MetricE::l2>{}, a, b);
}
float NegatedIp(std::span<const float> a, std::span<const float> b) {
    return -TagInvoke(dist::EvalTag{}, MetricT<MetricE::ip>{}, a, b);
}
float Cosine(std::span<const float> a, std::span<const float> b) {
    return TagInvoke(dist::EvalTag{}, MetricT<MetricE::cosine>{}, a, b);
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
            _node2NodeDistanceImpl = &L2;
            _isMinDistImpl = &NearZero;
            return true;
        case MetricE::ip:
            _node2NodeDistanceImpl = &NegatedIp;
            _isMinDistImpl = &UnitInnerProduct;
            return true;
        case MetricE::cosine:
            _node2NodeDistanceImpl = &Cosine;
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
