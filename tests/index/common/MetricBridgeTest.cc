#include "index/common/MetricBridge.h"

#include <gtest/gtest.h>

#include <cmath>
#include <span>
#include <vector>

#include "orvane/core/Result.h"
#include "distance/Metric.h"

namespace orvane::index {
namespace {

using dist::MetricE;

// Runs the tagged kernel picked by the run-time metric.
core::Result<float> Distance(MetricE metric, std::span<const float> a, std::span<const float> b) {
    return WithMetric(metric, [&](auto tag) -> core::Result<float> {
        return dist::TagInvoke(dist::EvalTag{}, tag, a, b);
    });
}

TEST(MetricBridgeTest, CallsTheTaggedKernelOfTheRunTimeMetric) {
    const std::vector<float> a = {1.f, 2.f, 0.f, 0.f};
    const std::vector<float> b = {3.f, 0.f, 0.f, 0.f};
    struct Case {
        MetricE metric;
        float expected;
    };
    // Squared L2 8, inner product 3, cosine distance 1 - 3 / (sqrt(5) * 3).
    for (Case c : {Case{MetricE::l2, 8.f}, Case{MetricE::ip, 3.f},
                   Case{MetricE::cosine, 1.f - 1.f / std::sqrt(5.f)}}) {
        auto d = Distance(c.metric, a, b);
        ASSERT_TRUE(d.IsOk()) << dist::MetricName(c.metric);
        EXPECT_NEAR(d.Value(), c.expected, 1e-5f) << dist::MetricName(c.metric);
    }
}

TEST(MetricBridgeTest, AMetricWithoutKernelsIsRefused) {
    for (MetricE metric : {MetricE::dummy, static_cast<MetricE>(42)}) {
        core::Status st = WithMetric(metric, [](auto) { return core::Status::Ok(); });
        EXPECT_EQ(st.Code(), core::ErrorCode::InvalidArgument);
    }
    EXPECT_EQ(WithMetric(MetricE::dummy, [](auto) { return core::Status::Ok(); }).Message(),
              "Unsupported metric [dummy]");
}

}  // namespace
}  // namespace orvane::index
