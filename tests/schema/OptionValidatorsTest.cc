#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "schema/OptionSchema.h"
#include "schema/OptionValidators.h"

namespace orvane::schema {
namespace {

using api::OptionValue;
using core::ErrorCode;

// Expects `st` to be an InvalidArgument carrying exactly `msg`.
void ExpectInvalid(const core::Status& st, const std::string& msg) {
    EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(st.Message(), msg);
}

TEST(OptionValidatorsTest, IntegerBounds) {
    EXPECT_TRUE(ValidatePositiveInt("k", OptionValue(int64_t{1})).IsOk());
    EXPECT_TRUE(ValidatePositiveInt("k", OptionValue(std::numeric_limits<int64_t>::max())).IsOk());
    ExpectInvalid(ValidatePositiveInt("index.dimension", OptionValue(int64_t{0})),
                  "Option index.dimension must be > 0");
    ExpectInvalid(ValidatePositiveInt("k", OptionValue(std::numeric_limits<int64_t>::min())),
                  "Option k must be > 0");

    EXPECT_TRUE(ValidateNonNegativeInt("k", OptionValue(int64_t{0})).IsOk());
    EXPECT_TRUE(ValidateNonNegativeInt("k", OptionValue(int64_t{7})).IsOk());
    ExpectInvalid(
        ValidateNonNegativeInt("diskann.search.num_nodes_to_cache", OptionValue(int64_t{-1})),
        "Option diskann.search.num_nodes_to_cache must be >= 0");
}

TEST(OptionValidatorsTest, IntegerValidatorsRefuseOtherAlternatives) {
    ExpectInvalid(ValidatePositiveInt("k", OptionValue(5.0)), "Option k must be > 0");
    ExpectInvalid(ValidatePositiveInt("k", OptionValue(true)), "Option k must be > 0");
    ExpectInvalid(ValidatePositiveInt("k", OptionValue(std::string("5"))), "Option k must be > 0");
    ExpectInvalid(ValidateNonNegativeInt("k", OptionValue(0.0)), "Option k must be >= 0");
}

TEST(OptionValidatorsTest, DoubleBounds) {
    EXPECT_TRUE(ValidatePositiveDouble("k", OptionValue(1e-300)).IsOk());
    EXPECT_TRUE(ValidatePositiveDouble("k", OptionValue(1.2)).IsOk());
    ExpectInvalid(ValidatePositiveDouble("diskann.build.slack_pruning_factor", OptionValue(0.0)),
                  "Option diskann.build.slack_pruning_factor must be > 0");
    ExpectInvalid(ValidatePositiveDouble("k", OptionValue(-0.5)), "Option k must be > 0");
    ExpectInvalid(ValidatePositiveDouble("k", OptionValue(std::nan(""))), "Option k must be > 0");
    ExpectInvalid(ValidatePositiveDouble("k", OptionValue(int64_t{3})), "Option k must be > 0");

    EXPECT_TRUE(ValidateRatio01("r", OptionValue(1.0)).IsOk());
    EXPECT_TRUE(ValidateRatio01("r", OptionValue(0.001)).IsOk());
    ExpectInvalid(ValidateRatio01("pretrain.sample_ratio", OptionValue(0.0)),
                  "Option pretrain.sample_ratio must be in (0,1]");
    ExpectInvalid(ValidateRatio01("r", OptionValue(std::nextafter(1.0, 2.0))),
                  "Option r must be in (0,1]");
    ExpectInvalid(ValidateRatio01("r", OptionValue(std::nan(""))), "Option r must be in (0,1]");
    // An integer ratio is the wrong alternative, even when its value would fit.
    ExpectInvalid(ValidateRatio01("pretrain.sample_ratio", OptionValue(int64_t{1})),
                  "Option pretrain.sample_ratio must be in (0,1]");
}

TEST(OptionValidatorsTest, EnumeratedStringsAreExactAndCaseSensitive) {
    for (const char* v : {"rawf32", "sq8", "pq"}) {
        EXPECT_TRUE(ValidateEncodingType("encoding.type", OptionValue(std::string(v))).IsOk());
    }
    for (const char* v : {"l2", "cosine", "inner_product"}) {
        EXPECT_TRUE(ValidateMetric("distance.metric", OptionValue(std::string(v))).IsOk());
    }
    for (const char* v : {"bruteforce", "demo", "ivf", "diskann"}) {
        EXPECT_TRUE(ValidateIndexType("index.type", OptionValue(std::string(v))).IsOk());
    }
    for (const char* v : {"local", "mmap"}) {
        EXPECT_TRUE(ValidateReaderType("io.reader.type", OptionValue(std::string(v))).IsOk());
    }
    for (const char* v : {"none", "mlock", "populate"}) {
        EXPECT_TRUE(
            ValidateMmapLockMode("io.reader.mmap.lock_mode", OptionValue(std::string(v))).IsOk());
    }

    // A refusal keeps the fixed text and names the value given and the choices.
    struct Case {
        ValidatorFn validator;
        const char* key;
        OptionValue value;
        const char* message;
    };
    const Case cases[] = {
        {ValidateEncodingType, "encoding.type", std::string("PQ"),
         "Option encoding.type has unsupported encoding type: PQ (one of rawf32, sq8, pq)"},
        {ValidateEncodingType, "e", std::string("pq "),
         "Option e has unsupported encoding type: pq  (one of rawf32, sq8, pq)"},
        {ValidateEncodingType, "e", int64_t{2},
         "Option e has unsupported encoding type: (one of rawf32, sq8, pq)"},
        {ValidateMetric, "distance.metric", std::string("ip"),
         "Option distance.metric has unsupported metric: ip (one of l2, cosine, inner_product)"},
        {ValidateMetric, "m", std::string("L2"),
         "Option m has unsupported metric: L2 (one of l2, cosine, inner_product)"},
        {ValidateIndexType, "index.type", std::string("hnsw"),
         "Option index.type has unsupported value: hnsw (one of demo, bruteforce, ivf, diskann)"},
        {ValidateIndexType, "index.type", std::string("diskANN"),
         "Option index.type has unsupported value: diskANN (one of demo, bruteforce, ivf, "
         "diskann)"},
        {ValidateIndexType, "index.type", std::string(),
         "Option index.type has unsupported value:  (one of demo, bruteforce, ivf, diskann)"},
        {ValidateReaderType, "io.reader.type", std::string("MMAP"),
         "Unsupported reader type for io.reader.type: MMAP (one of local, mmap)"},
        {ValidateReaderType, "io.reader.type", false,
         "Unsupported reader type for io.reader.type: (one of local, mmap)"},
        {ValidateMmapLockMode, "io.reader.mmap.lock_mode", std::string("lock"),
         "Unsupported lock mode for io.reader.mmap.lock_mode: lock (one of none, mlock, "
         "populate)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        ExpectInvalid(c.validator(c.key, c.value), c.message);
    }
}

TEST(OptionValidatorsTest, ThirtyTwoBitFieldsRefuseValuesTheyCannotHold) {
    struct Case {
        int64_t value;
        const char* message;  // empty: accepted
    };
    const Case cases[] = {
        {1, ""},
        {int64_t{UINT32_MAX}, ""},
        {int64_t{UINT32_MAX} + 1, "Option search.nprobe must be in [1, 4294967295]"},
        {int64_t{UINT32_MAX} + 2, "Option search.nprobe must be in [1, 4294967295]"},
        {std::numeric_limits<int64_t>::max(), "Option search.nprobe must be in [1, 4294967295]"},
        {0, "Option search.nprobe must be > 0"},
        {-1, "Option search.nprobe must be > 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        const core::Status st = ValidatePositiveU32("search.nprobe", OptionValue(c.value));
        if (*c.message == '\0') {
            EXPECT_TRUE(st.IsOk()) << st.Message();
        } else {
            ExpectInvalid(st, c.message);
        }
    }
    ExpectInvalid(ValidatePositiveU32("k", OptionValue(5.0)), "Option k must be > 0");
}

TEST(OptionValidatorsTest, InfinityIsNotAPositiveDouble) {
    const double inf = std::numeric_limits<double>::infinity();
    ExpectInvalid(ValidatePositiveDouble("diskann.build.slack_pruning_factor", OptionValue(inf)),
                  "Option diskann.build.slack_pruning_factor must be > 0: infinity is not a "
                  "usable value");
    ExpectInvalid(ValidatePositiveDouble("k", OptionValue(-inf)), "Option k must be > 0");
    EXPECT_TRUE(
        ValidatePositiveDouble("k", OptionValue(std::numeric_limits<double>::max())).IsOk());
}

}  // namespace
}  // namespace orvane::schema
