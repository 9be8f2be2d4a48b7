#include "orvane/extensions/SearchWithFilterExtension.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory_resource>
#include <string>
#include <thread>
#include <vector>

namespace orvane::extensions {
namespace {

using api::Query;
using api::SearchOptions;
using api::SearchResult;
using core::ErrorCode;
using core::Result;
using core::Status;

// A stand-in back end: returns the ids 0..9 that the filter admits, best first.
Result<SearchResult> FilteringSearch(const Query& query, SearchWithFilterExtension::Filter filter,
                                     const SearchOptions& options, std::pmr::memory_resource&) {
    if (query.data == nullptr) return Status(ErrorCode::InvalidArgument, "query data is null");
    SearchResult result;
    const int64_t topk = options.GetInt("search.topk", 0);
    for (uint64_t id = 0; id < 10 && static_cast<int64_t>(result.topk.size()) < topk; ++id) {
        if (filter(id)) result.topk.push_back({id, static_cast<float>(id) + query.data[0]});
    }
    return result;
}

TEST(SearchWithFilterExtensionTest, NameIdentifiesTheKind) {
    SearchWithFilterExtension extension;
    EXPECT_EQ(extension.Name(), "extension.search_with_filter");
    EXPECT_EQ(extension.Name().size(), 28u);
    const api::ISearchExtension& base = extension;
    EXPECT_EQ(base.Name(), SearchWithFilterExtension::kName);
}

TEST(SearchWithFilterExtensionTest, FreshExtensionIsNotAttached) {
    SearchWithFilterExtension extension;
    EXPECT_FALSE(extension.IsAttached());
    const float q[1] = {0.0f};
    auto result = extension.Call(
        Query(q, 1), [](uint64_t) { return true; }, SearchOptions{{"search.topk", int64_t{3}}},
        *std::pmr::get_default_resource());
    ASSERT_FALSE(result.IsOk());
    EXPECT_EQ(result.GetStatus().Code(), ErrorCode::FailedPrecondition);
    EXPECT_EQ(result.GetStatus().Message(), "extension not attached");
}

TEST(SearchWithFilterExtensionTest, CallForwardsEverythingToTheInstalledFunction) {
    SearchWithFilterExtension extension;
    const Query* seenQuery = nullptr;
    const SearchOptions* seenOptions = nullptr;
    std::pmr::memory_resource* seenResource = nullptr;
    extension.SetFunc([&](const Query& query, SearchWithFilterExtension::Filter filter,
                          const SearchOptions& options, std::pmr::memory_resource& resource) {
        seenQuery = &query;
        seenOptions = &options;
        seenResource = &resource;
        return FilteringSearch(query, std::move(filter), options, resource);
    });
    ASSERT_TRUE(extension.IsAttached());

    const float q[1] = {0.5f};
    const Query query(q, 1);
    const SearchOptions options{{"search.topk", int64_t{3}}};
    std::pmr::monotonic_buffer_resource scratch;
    auto result = extension.Call(
        query, [](uint64_t id) { return id % 2 == 1; }, options, scratch);
    ASSERT_TRUE(result.IsOk());
    EXPECT_EQ(seenQuery, &query);
    EXPECT_EQ(seenOptions, &options);
    EXPECT_EQ(seenResource, &scratch);
    ASSERT_EQ(result.Value().topk.size(), 3u);
    EXPECT_EQ(result.Value().topk[0].id, 1u);
    EXPECT_EQ(result.Value().topk[1].id, 3u);
    EXPECT_EQ(result.Value().topk[2].id, 5u);
    EXPECT_FLOAT_EQ(result.Value().topk[2].distance, 5.5f);
}

TEST(SearchWithFilterExtensionTest, FilterAdmittingNothingGivesEmptyResult) {
    SearchWithFilterExtension extension;
    extension.SetFunc(FilteringSearch);
    const float q[1] = {0.0f};
    auto result = extension.Call(
        Query(q, 1), [](uint64_t) { return false; }, SearchOptions{{"search.topk", int64_t{5}}},
        *std::pmr::get_default_resource());
    ASSERT_TRUE(result.IsOk());
    EXPECT_TRUE(result.Value().topk.empty());
}

TEST(SearchWithFilterExtensionTest, FailuresOfTheFunctionPassThroughUnchanged) {
    SearchWithFilterExtension extension;
    extension.SetFunc(FilteringSearch);
    auto result = extension.Call(
        Query(nullptr, 1), [](uint64_t) { return true; },
        SearchOptions{{"search.topk", int64_t{5}}}, *std::pmr::get_default_resource());
    ASSERT_FALSE(result.IsOk());
    EXPECT_EQ(result.GetStatus().Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(result.GetStatus().Message(), "query data is null");
}

TEST(SearchWithFilterExtensionTest, SetFuncReplacesThePreviousFunction) {
    SearchWithFilterExtension extension;
    int first = 0;
    int second = 0;
    auto make = [](int* counter) {
        return [counter](const Query&, SearchWithFilterExtension::Filter, const SearchOptions&,
                         std::pmr::memory_resource&) -> Result<SearchResult> {
            ++*counter;
            return SearchResult{};
        };
    };
    extension.SetFunc(make(&first));
    const float q[1] = {0.0f};
    const SearchOptions options{{"search.topk", int64_t{1}}};
    auto any = [](uint64_t) { return true; };
    ASSERT_TRUE(extension.Call(Query(q, 1), any, options, *std::pmr::get_default_resource()));
    extension.SetFunc(make(&second));
    ASSERT_TRUE(extension.Call(Query(q, 1), any, options, *std::pmr::get_default_resource()));
    ASSERT_TRUE(extension.Call(Query(q, 1), any, options, *std::pmr::get_default_resource()));
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 2);

    extension.SetFunc(nullptr);
    EXPECT_FALSE(extension.IsAttached());
    auto detached = extension.Call(Query(q, 1), any, options, *std::pmr::get_default_resource());
    EXPECT_EQ(detached.GetStatus().Message(), "extension not attached");
}

// Many threads calling one extension at once only read the stored function.
TEST(SearchWithFilterExtensionStressTest, ConcurrentCallsShareTheFunction) {
    SearchWithFilterExtension extension;
    std::atomic<uint64_t> calls{0};
    extension.SetFunc([&calls](const Query& query, SearchWithFilterExtension::Filter filter,
                               const SearchOptions& options, std::pmr::memory_resource& resource) {
        calls.fetch_add(1, std::memory_order_relaxed);
        return FilteringSearch(query, std::move(filter), options, resource);
    });
    constexpr int kThreads = 8;
    constexpr int kCallsPerThread = 500;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const float q[1] = {static_cast<float>(t)};
            const SearchOptions options{{"search.topk", int64_t{2}}};
            std::pmr::monotonic_buffer_resource scratch;
            for (int i = 0; i < kCallsPerThread; ++i) {
                const uint64_t wanted = static_cast<uint64_t>((t + i) % 10);
                auto result = extension.Call(
                    Query(q, 1), [wanted](uint64_t id) { return id == wanted; }, options, scratch);
                if (!result.IsOk() || result.Value().topk.size() != 1 ||
                    result.Value().topk[0].id != wanted) {
                    wrong.fetch_add(1);
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(calls.load(), static_cast<uint64_t>(kThreads) * kCallsPerThread);
}

}  // namespace
}  // namespace orvane::extensions
