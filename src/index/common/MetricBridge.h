// WithMetric: the bridge from a run-time MetricE to the tagged distance operations.
// The metric is switched on once and `f` is called with the tag MetricT<M> of a
// metric that has kernels, so everything inside `f` (a whole scan loop) is
// compiled per metric without a per-row branch or indirect call:
//
//   Status st = WithMetric(metric, [&](auto tag) -> Status {
//       BestK<decltype(tag)::Value> best(k);
//       ...
//   });
//
// `f` must return the same type for every tag, and that type must be constructible
// from a Status: a metric without kernels (dummy, or a value outside the
// enumerators) yields InvalidArgument "Unsupported metric [<name>]".
#pragma once

#include <string>
#include <type_traits>
#include <utility>

#include "orvane/core/Status.h"
#include "distance/MetricE.h"

namespace orvane::index {

template <typename F>
auto WithMetric(dist::MetricE metric, F&& f) {
    using R = std::invoke_result_t<F, dist::MetricT<dist::MetricE::l2>>;
    static_assert(
        std::is_same_v<R, std::invoke_result_t<F, dist::MetricT<dist::MetricE::ip>>> &&
            std::is_same_v<R, std::invoke_result_t<F, dist::MetricT<dist::MetricE::cosine>>>,
        "f must return one type for every metric");
    static_assert(std::is_constructible_v<R, core::Status>,
                  "f's result must be able to carry a failing Status");
    switch (metric) {
        case dist::MetricE::l2:
            return std::forward<F>(f)(dist::MetricT<dist::MetricE::l2>{});
        case dist::MetricE::ip:
            return std::forward<F>(f)(dist::MetricT<dist::MetricE::ip>{});
        case dist::MetricE::cosine:
            return std::forward<F>(f)(dist::MetricT<dist::MetricE::cosine>{});
        case dist::MetricE::dummy:
            break;
    }
    return R(core::Status(core::ErrorCode::InvalidArgument,
                          "Unsupported metric [" + std::string(dist::MetricName(metric)) + "]"));
}

}  // namespace orvane::index
