// The kinds' parsed parameters: what each parse refuses, with which status and
// message, and that the defaults the option reference shows are the ones the
// parses apply.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "index/IndexKindRegistry.h"
#include "index/bruteforce/BruteforceOptions.h"
#include "index/diskann/DiskANNOptions.h"
#include "index/ivf/IvfOptions.h"

namespace orvane::index {
namespace {

using api::SearchOptions;
using core::ErrorCode;

struct Refusal {
    const char* name;
    std::function<core::Status()> parse;
    ErrorCode code;
    const char* message;  // "" for success
};

// The status of a parse, Ok when it produced parameters.
template <typename T>
core::Status StatusOf(core::Result<T> result) {
    return result.IsOk() ? core::Status::Ok() : result.TakeStatus();
}

core::Status Ivf(SearchOptions options) {
    return StatusOf(ivf::IvfSearchParams::Parse(options));
}
core::Status Disk(SearchOptions options, bool filtered = false) {
    options.Values().emplace("diskann.search.list_size", int64_t{10});
    return StatusOf(diskann::DiskANNSearchParams::Parse(options, filtered));
}
core::Status Brute(SearchOptions options, bool filtered = false) {
    return StatusOf(bruteforce::BruteforceSearchParams::Parse(options, filtered));
}

TEST(KindOptionsTest, SearchParsesRefuseWhatTheSearchesRefused) {
    const int64_t wide = int64_t{1} << 32;
    const Refusal cases[] = {
        {"ivf defaults", [] { return Ivf({}); }, ErrorCode::Ok, ""},
        {"ivf nprobe 0",
         [] {
             return Ivf({{"search.nprobe", int64_t{0}}});
         },
         ErrorCode::InvalidArgument, "Option nprobe must be > 0"},
        {"ivf nprobe 2^32",
         [=] {
             return Ivf({{"search.nprobe", wide}});
         },
         ErrorCode::InvalidArgument, "Option search.nprobe must be in [1, 4294967295]"},
        // A negative count used to wrap to 2^32-1 and scan every list.
        {"ivf nprobe -1",
         [] {
             return Ivf({{"search.nprobe", int64_t{-1}}});
         },
         ErrorCode::InvalidArgument, "Option search.nprobe must be > 0"},
        {"diskann defaults", [] { return Disk({}); }, ErrorCode::Ok, ""},
        {"diskann list size missing",
         [] { return StatusOf(diskann::DiskANNSearchParams::Parse({}, false)); },
         ErrorCode::InvalidArgument, "List size is required"},
        {"diskann list size 0",
         [] {
             return StatusOf(diskann::DiskANNSearchParams::Parse(
                 {{"diskann.search.list_size", int64_t{0}}}, false));
         },
         ErrorCode::InvalidArgument, "List size must be > 0"},
        {"diskann io limit 0",
         [] {
             return Disk({{"diskann.search.io_limit", int64_t{0}}});
         },
         ErrorCode::InvalidArgument, "IO limit must be > 0"},
        {"diskann beam width -1",
         [] {
             return Disk({{"diskann.search.beam_width", int64_t{-1}}});
         },
         ErrorCode::InvalidArgument, "BeamSearch Width must be > 0"},
        {"diskann beam width 2^32",
         [=] {
             return Disk({{"diskann.search.beam_width", wide}});
         },
         ErrorCode::InvalidArgument, "Option diskann.search.beam_width must be in [1, 4294967295]"},
        {"diskann reorder data",
         [] {
             return Disk({{"diskann.search.use_reorder_data", true}});
         },
         ErrorCode::NotSupported, "Do not support search use reorder data yet"},
        {"diskann parallel 1001",
         [] {
             return Disk({{"search.parallel_number", int64_t{1001}}});
         },
         ErrorCode::InvalidArgument, "ParallelNumber is out of range"},
        {"diskann filtered parallel 2",
         [] {
             return Disk({{"search.parallel_number", int64_t{2}}}, true);
         },
         ErrorCode::InvalidArgument, "Multi threaded search when filter is not thread safe"},
        {"diskann filtered parallel 2 thread safe",
         [] {
             return Disk(
                 {{"search.parallel_number", int64_t{2}}, {"search.thread_safe_filter", true}},
                 true);
         },
         ErrorCode::Ok, ""},
        {"diskann unfiltered parallel 2",
         [] {
             return Disk({{"search.parallel_number", int64_t{2}}});
         },
         ErrorCode::Ok, ""},
        {"bruteforce parallel 1001",
         [] {
             return Brute({{"search.parallel_number", int64_t{1001}}});
         },
         ErrorCode::InvalidArgument, "ParallelNumber is out of range[1001 vs 1000]"},
        {"bruteforce filtered parallel 2",
         [] {
             return Brute({{"search.parallel_number", int64_t{2}}}, true);
         },
         ErrorCode::InvalidArgument, "Multi threaded search when filter is not thread safe"},
        {"bruteforce unfiltered parallel 2",
         [] {
             return Brute({{"search.parallel_number", int64_t{2}}});
         },
         ErrorCode::Ok, ""},
    };
    for (const Refusal& c : cases) {
        const core::Status st = c.parse();
        EXPECT_EQ(st.Code(), c.code) << c.name;
        EXPECT_EQ(st.Message(), c.message) << c.name;
    }
}

TEST(KindOptionsTest, BuildAndSearcherParsesRefuseOutOfRangeValues) {
    const Refusal cases[] = {
        {"diskann threads 4097",
         [] {
             return StatusOf(diskann::DiskANNBuildParams::Parse(
                 {{"diskann.build.thread_count", int64_t{4097}}}));
         },
         ErrorCode::InvalidArgument, "diskann.build.thread_count out of range [4097]"},
        {"diskann neighbours 0",
         [] {
             return StatusOf(diskann::DiskANNBuildParams::Parse(
                 {{"diskann.build.neighbor_count", int64_t{0}}}));
         },
         ErrorCode::InvalidArgument, "diskann.build.neighbor_count out of range [0]"},
        {"diskann slack -1",
         [] {
             return StatusOf(diskann::DiskANNBuildParams::Parse(
                 {{"diskann.build.slack_pruning_factor", -1.0}}));
         },
         ErrorCode::InvalidArgument, "diskann.build.slack_pruning_factor must be positive"},
        {"diskann cache -1",
         [] {
             return StatusOf(diskann::DiskANNSearcherParams::Parse(
                 {{"diskann.search.num_nodes_to_cache", int64_t{-1}}}));
         },
         ErrorCode::InvalidArgument, "num_nodes_to_cache out of range"},
    };
    for (const Refusal& c : cases) {
        const core::Status st = c.parse();
        EXPECT_EQ(st.Code(), c.code) << c.name;
        EXPECT_EQ(st.Message(), c.message) << c.name;
    }
}

// The reference's default column and the parses' defaults are spelled apart;
// this keeps them equal for every default that is a plain number.
TEST(KindOptionsTest, ReferenceDefaultsAreTheParsedDefaults) {
    const auto ivfBuild = ivf::IvfBuildParams::Parse({});
    const auto diskBuild = diskann::DiskANNBuildParams::Parse({});
    ASSERT_TRUE(diskBuild.IsOk());
    const auto diskSearch =
        diskann::DiskANNSearchParams::Parse({{"diskann.search.list_size", int64_t{1}}}, false);
    ASSERT_TRUE(diskSearch.IsOk());
    const auto cache = diskann::DiskANNSearcherParams::Parse({});
    ASSERT_TRUE(cache.IsOk());
    const auto brute = bruteforce::BruteforceSearchParams::Parse({}, false);
    ASSERT_TRUE(brute.IsOk());
    struct Case {
        const char* kind;
        const char* key;
        std::string parsed;
        int schema;  // 0 builder, 1 searcher, 2 search
    };
    const Case cases[] = {
        {"ivf", "ivf.build.thread_count", std::to_string(ivfBuild.threadCount), 0},
        {"ivf", "ivf.build.max_epoch", std::to_string(ivfBuild.maxEpoch), 0},
        {"diskann", "diskann.build.thread_count", std::to_string(diskBuild.Value().threadCount), 0},
        {"diskann", "diskann.build.ef_construction",
         std::to_string(diskBuild.Value().efConstruction), 0},
        {"diskann", "diskann.build.neighbor_count", std::to_string(diskBuild.Value().neighborCount),
         0},
        {"diskann", "diskann.build.reorder_layout",
         diskBuild.Value().reorderLayout ? "true" : "false", 0},
        {"diskann", "extension.build.ckpt.threshold",
         std::to_string(diskBuild.Value().thresholdOfCkpt), 0},
        {"diskann", "build.log_threshold", std::to_string(diskBuild.Value().thresholdOfLog), 0},
        {"diskann", "extension.build.ckpt.count", std::to_string(diskBuild.Value().numberOfCkpt),
         0},
        {"diskann", "diskann.search.num_nodes_to_cache",
         std::to_string(cache.Value().cacheNodeCount), 1},
        {"diskann", "diskann.search.beam_width", std::to_string(diskSearch.Value().beamWidth), 2},
        {"diskann", "search.parallel_number", std::to_string(diskSearch.Value().parallel), 2},
        {"bruteforce", "search.parallel_number", std::to_string(brute.Value().parallel), 2},
    };
    for (const Case& c : cases) {
        const IndexKindDescriptor* kind = FindIndexKind(c.kind);
        ASSERT_NE(kind, nullptr) << c.kind;
        const schema::OptionSchemaView views[] = {kind->schemas->builder, kind->schemas->searcher,
                                                  kind->schemas->search};
        const schema::OptionField* field = views[c.schema].Find(c.key);
        ASSERT_NE(field, nullptr) << c.kind << " " << c.key;
        EXPECT_EQ(field->byDefault, c.parsed) << c.kind << " " << c.key;
    }
}

// Every optional key of every kind says what applies when it is left out.
TEST(KindOptionsTest, EveryOptionalKeyHasADefaultText) {
    for (const IndexKindDescriptor* kind : AllIndexKinds()) {
        for (schema::OptionSchemaView view :
             {kind->schemas->builder, kind->schemas->searcher, kind->schemas->search}) {
            for (const schema::OptionField& field : view.fields) {
                EXPECT_EQ(field.required, field.byDefault.empty())
                    << kind->Name() << " " << field.key;
            }
        }
    }
}

}  // namespace
}  // namespace orvane::index
