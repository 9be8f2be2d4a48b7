// The encoding table: every row is found by its name and by its stored value,
// names are exact, and each row's factories make exactly the trainers and
// evaluators the encoding supports, of that encoding.
#include <gtest/gtest.h>

#include <memory_resource>
#include <string>
#include <vector>

#include "orvane/api/Options.h"
#include "encoding/EncodingRegistry.h"
#include "encoding/QuantizerTrainerFactory.h"

namespace orvane::quantizer {
namespace {

using dist::MetricE;
using dist::encode_space::EncodingE;

struct EncodingCase {
    const char* name;
    EncodingE encoding;
    bool hasOptions;
    std::vector<MetricE> scored;  // metrics with an evaluator (and a trainer)
};

const std::vector<EncodingCase>& Cases() {
    static const std::vector<EncodingCase> cases = {
        {"rawf32", EncodingE::rawf32, false, {MetricE::l2, MetricE::ip, MetricE::cosine}},
        {"sq8", EncodingE::sq8, false, {MetricE::l2, MetricE::ip, MetricE::cosine}},
        {"pq", EncodingE::pq, true, {MetricE::l2, MetricE::ip}},
    };
    return cases;
}

bool Scores(const EncodingCase& c, MetricE metric) {
    for (MetricE m : c.scored) {
        if (m == metric) return true;
    }
    return false;
}

TEST(EncodingRegistryTest, TableListsEachEncodingOnceInOptionOrder) {
    const auto rows = AllEncodings();
    ASSERT_EQ(rows.size(), Cases().size());
    for (size_t i = 0; i < rows.size(); ++i) {
        const EncodingCase& c = Cases()[i];
        SCOPED_TRACE(c.name);
        EXPECT_EQ(rows[i]->name, c.name);
        EXPECT_EQ(rows[i]->encoding, c.encoding);
        EXPECT_EQ(FindEncoding(std::string_view(c.name)), rows[i]);
        EXPECT_EQ(FindEncoding(c.encoding), rows[i]);
        EXPECT_STREQ(dist::encode_space::EncodingName(c.encoding), c.name);
        EXPECT_EQ(!rows[i]->quantizerOptions.Empty(), c.hasOptions);
    }
}

TEST(EncodingRegistryTest, UnknownNamesAndValuesAreNotFound) {
    for (const char* name : {"PQ", "SQ8", "raw", "dummy", "", "pq "}) {
        EXPECT_EQ(FindEncoding(std::string_view(name)), nullptr) << "'" << name << "'";
    }
    EXPECT_EQ(FindEncoding(EncodingE::dummy), nullptr);
    EXPECT_EQ(FindEncoding(static_cast<EncodingE>(7)), nullptr);
    EXPECT_STREQ(dist::encode_space::EncodingName(EncodingE::dummy), "dummy");
    EXPECT_STREQ(dist::encode_space::EncodingName(static_cast<EncodingE>(7)), "dummy");
}

// Each row's evaluator factory makes an instance of its own encoding and the
// meta's metric for the metrics it scores, and nothing for the others.
TEST(EncodingRegistryTest, EvaluatorFactoriesFollowTheScoredMetrics) {
    for (const EncodingCase& c : Cases()) {
        const EncodingDescriptor* row = FindEncoding(c.encoding);
        ASSERT_NE(row, nullptr);
        for (MetricE metric : {MetricE::l2, MetricE::ip, MetricE::cosine, MetricE::dummy}) {
            SCOPED_TRACE(std::string(c.name) + "/" + dist::MetricName(metric));
            QuantizerMeta meta;
            meta.count = 3;
            meta.dimension = 8;
            meta.encodingType = c.encoding;
            meta.metricType = metric;
            auto evaluator = row->createEvaluator(*std::pmr::new_delete_resource(), meta);
            ASSERT_EQ(evaluator != nullptr, Scores(c, metric));
            if (evaluator == nullptr) continue;
            EXPECT_EQ(evaluator->EncodingType(), c.encoding);
            EXPECT_EQ(evaluator->Metric(), metric);
            EXPECT_EQ(evaluator->LowerIsBetter(), metric != MetricE::ip);
        }
    }
}

// The trainer factory goes through the table: a trainer of the named encoding
// for every metric the encoding scores, none (with the reason) otherwise.
TEST(EncodingRegistryTest, TrainerFactoryUsesTheTableRow) {
    for (const EncodingCase& c : Cases()) {
        for (const char* metric : {"l2", "inner_product", "cosine"}) {
            SCOPED_TRACE(std::string(c.name) + "/" + metric);
            const api::QuantizerOptions options{{"index.dimension", int64_t{16}},
                                                {"distance.metric", std::string(metric)},
                                                {"encoding.type", std::string(c.name)},
                                                {"encoding.pq.m", int64_t{4}}};
            auto trainer = CreateQuantizerTrainer(options, *std::pmr::new_delete_resource());
            const bool expected = Scores(c, dist::ParseMetric(metric));
            ASSERT_EQ(trainer != nullptr, expected);
            EXPECT_EQ(WhyNoQuantizerTrainer(options).empty(), expected);
            if (trainer == nullptr) continue;
            EXPECT_EQ(trainer->EncodingType(), c.encoding);
            EXPECT_EQ(trainer->Metric(), dist::ParseMetric(metric));
            EXPECT_EQ(trainer->IsTrainable(), c.encoding != EncodingE::rawf32);
        }
    }
    const api::QuantizerOptions unknown{{"index.dimension", int64_t{16}},
                                        {"encoding.type", std::string("sq4")}};
    EXPECT_EQ(CreateQuantizerTrainer(unknown, *std::pmr::new_delete_resource()), nullptr);
    EXPECT_EQ(WhyNoQuantizerTrainer(unknown),
              "No quantizer trainer implementation for encoding [sq4].");
}

}  // namespace
}  // namespace orvane::quantizer
