// Attaching the filter extension to real searchers: kinds without filter
// support refuse it and leave it empty.
#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdio>
#include <string>
#include <vector>

#include "orvane/api/OrvaneBuilder.h"
#include "orvane/api/OrvaneSearcher.h"
#include "orvane/extensions/SearchWithFilterExtension.h"

namespace orvane::extensions {
namespace {

using api::BuilderOptions;
using api::IOOptions;
using api::OrvaneBuilder;
using api::OrvaneSearcher;
using api::SearcherOptions;
using core::ErrorCode;

constexpr int64_t kDim = 4;

std::string BuildDemoFile() {
    const std::string path =
        ::testing::TempDir() + "orvane_ext_attach_" + std::to_string(::getpid()) + ".idx";
    auto builder = OrvaneBuilder::Create(
        BuilderOptions{{"index.type", std::string("demo")}, {"index.dimension", kDim}});
    EXPECT_TRUE(builder.IsOk());
    std::vector<float> data(3 * kDim, 1.0f);
    EXPECT_TRUE(builder.Value().Pretrain(data.data(), 3).IsOk());
    std::vector<uint64_t> ids{0, 1, 2};
    EXPECT_TRUE(builder.Value().InsertBatch(data.data(), ids.data(), 3).IsOk());
    EXPECT_TRUE(builder.Value().Dump(IOOptions{{"index.path", path}}).IsOk());
    return path;
}

TEST(SearchWithFilterAttachTest, DemoSearcherRefusesAndLeavesTheExtensionEmpty) {
    const std::string path = BuildDemoFile();
    auto searcher = OrvaneSearcher::Create(
        SearcherOptions{{"index.type", std::string("demo")}, {"index.dimension", kDim}});
    ASSERT_TRUE(searcher.IsOk());
    SearchWithFilterExtension extension;

    core::Status early = searcher.Value().Attach(extension);
    EXPECT_EQ(early.Code(), ErrorCode::FailedPrecondition);
    EXPECT_FALSE(extension.IsAttached());

    ASSERT_TRUE(searcher.Value().Open(IOOptions{{"index.path", path}}).IsOk());
    core::Status refused = searcher.Value().Attach(extension);
    EXPECT_EQ(refused.Code(), ErrorCode::NotSupported);
    EXPECT_EQ(refused.Message(),
              "extension extension.search_with_filter not supported by demo searcher");
    EXPECT_FALSE(extension.IsAttached());

    const float q[kDim] = {1.0f, 1.0f, 1.0f, 1.0f};
    auto result = extension.Call(
        api::Query(q, kDim), [](uint64_t) { return true; },
        api::SearchOptions{{"search.topk", int64_t{2}}}, *std::pmr::get_default_resource());
    ASSERT_FALSE(result.IsOk());
    EXPECT_EQ(result.GetStatus().Message(), "extension not attached");
    EXPECT_TRUE(searcher.Value().Close().IsOk());
    std::remove(path.c_str());
}

}  // namespace
}  // namespace orvane::extensions
