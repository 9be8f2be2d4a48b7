// Helpers of the DiskANN searcher tests: built index images, searchers opened
// over them (in memory, or from a file through the local or mmap reader),
// exact top-k and rewritten images with one section changed.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "index/diskann/build/BuilderTestUtil.h"
#include "index/diskann/format/StorageTestUtil.h"
#include "index/diskann/search/DiskANNSearcherBackend.h"

namespace orvane::index::diskann::testutil {

// Builds an index over `data` (row ids 100 + i) and returns its file image.
inline std::string BuildImage(const api::BuilderOptions& options, const std::vector<float>& data,
                              uint32_t dim) {
    auto b = MakeBuilder(options);
    if (b == nullptr) return {};
    const core::Status built = BuildAll(*b, data, dim, 512);
    EXPECT_TRUE(built.IsOk()) << built.Message();
    return WriteImage([&](io::OutputStream& out) { return b->Dump(out); }, true);
}

struct OpenedSearcher {
    std::unique_ptr<io::InputStream> stream;
    std::unique_ptr<DiskANNSearcherBackend> searcher;
    core::Status status;
};

inline OpenedSearcher OpenStream(std::unique_ptr<io::InputStream> stream, uint32_t dim,
                                 int64_t cacheNodes) {
    OpenedSearcher out;
    out.stream = std::move(stream);
    api::SearcherOptions options{{"diskann.search.num_nodes_to_cache", cacheNodes}};
    auto created = CreateDiskANNSearcherBackend(dim, options, core::MemoryResourceConfig{});
    if (!created.IsOk()) {
        out.status = created.TakeStatus();
        return out;
    }
    out.searcher.reset(static_cast<DiskANNSearcherBackend*>(created.TakeValue().release()));
    out.status = out.searcher->Open(*out.stream);
    return out;
}

inline OpenedSearcher OpenInMemory(const std::string& image, uint32_t dim, int64_t cacheNodes = 0) {
    auto stream = std::make_unique<io::InputStream>(std::make_unique<io::MemoryFileReader>(image));
    const core::Status st = stream->Open({});
    if (!st.IsOk()) return OpenedSearcher{nullptr, nullptr, st};
    return OpenStream(std::move(stream), dim, cacheNodes);
}

// Writes the image to `path` and opens it with reader type "local" or "mmap".
inline OpenedSearcher OpenFile(const std::string& image, const std::string& path,
                               const std::string& readerType, uint32_t dim,
                               int64_t cacheNodes = 0) {
    std::ofstream(path, std::ios::binary).write(image.data(), static_cast<long>(image.size()));
    const api::IOOptions io{{"index.path", path}, {"io.reader.type", readerType}};
    auto reader = io::CreateFileReader(io);
    if (!reader.IsOk()) return OpenedSearcher{nullptr, nullptr, reader.TakeStatus()};
    auto stream = std::make_unique<io::InputStream>(reader.TakeValue());
    const core::Status st = stream->Open(io);
    if (!st.IsOk()) return OpenedSearcher{nullptr, nullptr, st};
    return OpenStream(std::move(stream), dim, cacheNodes);
}

inline api::SearchOptions SearchOpts(int64_t topk, int64_t listSize) {
    return api::SearchOptions{{"search.topk", topk}, {"diskann.search.list_size", listSize}};
}

// The row ids of a result's hits, best first.
inline std::vector<uint64_t> Ids(const api::SearchResult& result) {
    std::vector<uint64_t> ids;
    for (const auto& hit : result.topk) ids.push_back(hit.id);
    return ids;
}

// Row ids of the exact top-k of `query` under `metric` ("l2" or "ip"),
// among rows accepted by `keep`.
inline std::vector<uint64_t> ExactTopk(const std::vector<float>& data, uint32_t dim,
                                       const float* query, uint32_t k, bool innerProduct,
                                       const std::function<bool(uint64_t)>& keep = {}) {
    const auto n = static_cast<uint32_t>(data.size() / dim);
    std::vector<std::pair<float, uint64_t>> scored;
    for (uint32_t v = 0; v < n; ++v) {
        if (keep && !keep(100 + uint64_t{v})) continue;
        float d = 0;
        for (uint32_t j = 0; j < dim; ++j) {
            const float a = query[j], b = data[uint64_t{v} * dim + j];
            d += innerProduct ? -a * b : (a - b) * (a - b);
        }
        scored.emplace_back(d, 100 + uint64_t{v});
    }
    k = std::min<uint32_t>(k, static_cast<uint32_t>(scored.size()));
    std::partial_sort(scored.begin(), scored.begin() + k, scored.end());
    std::vector<uint64_t> out;
    for (uint32_t i = 0; i < k; ++i) out.push_back(scored[i].second);
    return out;
}

// The image with every section copied except as `change` alters its
// payload (return false to drop the section).
inline std::string RewriteImage(
    const std::string& image, const std::function<bool(const std::string&, std::string&)>& change) {
    auto in = OpenImage(image);
    std::vector<std::pair<uint64_t, std::string>> order;
    for (const auto& [name, meta] : in->SectionMetas())
        order.emplace_back(meta.sectionDataOffset, name);
    std::sort(order.begin(), order.end());
    return WriteImage([&](io::OutputStream& out) {
        for (const auto& [offset, name] : order) {
            std::string payload = SectionPayload(*in, name);
            if (!change(name, payload)) continue;
            ORVANE_RETURN_IF_ERROR(out.Write(payload.data(), payload.size()));
            ORVANE_RETURN_IF_ERROR(out.SealSection(name, 64));
        }
        return core::Status::Ok();
    });
}

}  // namespace orvane::index::diskann::testutil
