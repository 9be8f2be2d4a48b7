// MetricE: the distance metrics over float vectors, and MetricT<M>, the empty
// tag type per metric carrying its display name and whether a smaller value is
// the better match. All L2 values are squared; the inner product is not negated.
#pragma once

#include <cstdint>
#include <string_view>

namespace orvane::dist {

// Number of components of a vector.
using dimension_t = uint32_t;

enum class MetricE : uint32_t {
    l2 = 0,
    ip = 1,
    cosine = 2,
    dummy = 3,  // no kernel: the value of a metric name that is not recognised
};

template <MetricE M>
struct MetricT {
    static constexpr MetricE Value = M;
    static constexpr const char* Name = M == MetricE::l2   ? "l2"
                                        : M == MetricE::ip ? "inner_product"
                                                           : "cosine";
    static constexpr bool LowerIsBetter = M != MetricE::ip;
};

// The placeholder metric has a name but no ordering and no kernels.
template <>
struct MetricT<MetricE::dummy> {
    static constexpr MetricE Value = MetricE::dummy;
    static constexpr const char* Name = "dummy";
};

// Display name of a metric ("l2", "inner_product", "cosine", "dummy").
const char* MetricName(MetricE metric);

// The metric with that display name (exact, case-sensitive), dummy otherwise.
MetricE ParseMetric(std::string_view name);

// Whether a smaller value is the better match; false for dummy.
bool LowerIsBetter(MetricE metric);

}  // namespace orvane::dist
