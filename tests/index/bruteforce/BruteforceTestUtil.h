// Helpers of the bruteforce tests: random data, option maps, building an index
// file through the facade, opening it, and an in-memory checkpoint manager.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "orvane/api/OrvaneBuilder.h"
#include "orvane/api/OrvaneSearcher.h"
#include "api/builder/checkpoint/CkptManager.h"
#include "io/IoTestUtil.h"
#include "io/MemoryFileReader.h"

namespace orvane::index::testing {

inline std::vector<float> RandomRows(uint64_t n, uint32_t dim, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> dist(0.0f, 1.0f);
    std::vector<float> v(n * dim);
    for (auto& x : v) x = dist(rng);
    return v;
}

// Ids that differ from row positions, so a mix-up of the two shows.
inline std::vector<uint64_t> SpreadIds(uint64_t n) {
    std::vector<uint64_t> ids(n);
    for (uint64_t i = 0; i < n; ++i) ids[i] = 1000 + 7 * i;
    return ids;
}

inline api::BuilderOptions BruteforceOptions(uint32_t dim, const std::string& metric = "l2",
                                             const std::string& encoding = "rawf32") {
    return api::BuilderOptions{{"index.type", std::string("bruteforce")},
                               {"index.dimension", int64_t{dim}},
                               {"distance.metric", metric},
                               {"encoding.type", encoding}};
}

// Builds through the facade (Pretrain on every row, one InsertBatch) and dumps to `path`.
inline void BuildFile(const api::BuilderOptions& options, const std::vector<float>& rows,
                      const std::vector<uint64_t>& ids, const std::string& path) {
    auto builder = api::OrvaneBuilder::Create(options);
    ASSERT_TRUE(builder.IsOk()) << builder.GetStatus().Message();
    ASSERT_TRUE(builder.Value().Pretrain(rows.data(), ids.size()).IsOk());
    ASSERT_TRUE(builder.Value().InsertBatch(rows.data(), ids.data(), ids.size()).IsOk());
    core::Status dumped = builder.Value().Dump(api::IOOptions{{"index.path", path}});
    ASSERT_TRUE(dumped.IsOk()) << dumped.Message();
}

inline api::OrvaneSearcher OpenSearcher(const std::string& path, uint32_t dim) {
    auto searcher = api::OrvaneSearcher::Create(api::SearcherOptions{
        {"index.type", std::string("bruteforce")}, {"index.dimension", int64_t{dim}}});
    EXPECT_TRUE(searcher.IsOk());
    core::Status opened =
        searcher.Value().Open(api::IOOptions{{"index.path", path}, {"io.verify_crc", true}});
    EXPECT_TRUE(opened.IsOk()) << opened.Message();
    return searcher.TakeValue();
}

// Keeps every checkpoint in memory; resumes from the newest one when asked to.
class MemoryCkptManager : public api::CkptManager {
  public:
    explicit MemoryCkptManager(std::shared_ptr<std::vector<std::shared_ptr<std::string>>> files)
        : _files(std::move(files)) {}

    std::unique_ptr<io::FileWriter> CreateCkptFileWriter() override {
        _files->push_back(std::make_shared<std::string>());
        return std::make_unique<io::testutil::StringWriter>(_files->back());
    }
    core::Result<bool> HasCkptFile() override { return !_files->empty(); }
    std::unique_ptr<io::FileReader> GetCkptFileReader() override {
        if (_files->empty()) return nullptr;
        return std::make_unique<io::MemoryFileReader>(*_files->back());
    }

  private:
    std::shared_ptr<std::vector<std::shared_ptr<std::string>>> _files;
};

}  // namespace orvane::index::testing
