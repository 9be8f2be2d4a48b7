// Fuzz target for the index kinds' Open and Search: small valid index files of
// every registered kind (and every encoding of the kinds that have them) are
// built once; each input picks one, overwrites bytes of it, re-signs the file
// header and footer so that the damage reaches the kind's own parsing, and
// opens the result with the kind's searcher, and describes and opens it from
// bytes as a caller of the buffer functions would. An input of the `raw` form is
// opened as a whole file instead. Open must refuse what it cannot search;
// whatever it accepts must then search without crashing (sanitizers watch).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FuzzLogs.h"
#include "orvane/api/IndexDescription.h"
#include "orvane/api/OptionNormalize.h"
#include "orvane/api/Options.h"
#include "orvane/api/OrvaneSearcher.h"
#include "index/IndexKindRegistry.h"
#include "io/FileFormat.h"
#include "orvane/io/FileWriter.h"
#include "io/InputStream.h"
#include "io/MemoryFileReader.h"
#include "io/MemoryFileWriter.h"
#include "io/OutputStream.h"

namespace {

using orvane::index::IndexKindDescriptor;

constexpr uint32_t kDim = 8;
constexpr uint64_t kRows = 40;

struct Seed {
    const IndexKindDescriptor* kind;
    std::string image;
};

// One index per kind and encoding over kRows deterministic rows.
std::vector<Seed> BuildSeeds() {
    std::vector<float> rows(kRows * kDim);
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<float>((i * 37) % 23) - 11.0f;
    std::vector<uint64_t> ids(kRows);
    for (uint64_t i = 0; i < kRows; ++i) ids[i] = 500 + i;
    std::vector<Seed> seeds;
    for (const IndexKindDescriptor* kind : orvane::index::AllIndexKinds()) {
        for (const char* encoding : {"rawf32", "sq8", "pq"}) {
            orvane::api::BuilderOptions options{{"index.dimension", int64_t{kDim}},
                                                {"index.type", std::string(kind->Name())},
                                                {"encoding.type", std::string(encoding)},
                                                {"encoding.pq.m", int64_t{4}}};
            for (const auto& [key, value] : kind->demoBuildOptions) {
                if (key == "ivf.build.num_lists") {
                    options.Values()[std::string(key)] = int64_t{5};
                } else if (key != "ivf.build.thread_count") {
                    options.Values()[std::string(key)] = std::string(value);
                }
            }
            auto builder = kind->createBuilder(options, {});
            if (!builder.IsOk()) continue;
            auto& b = *builder.Value();
            if (b.IsTrainable() && !b.Pretrain(rows.data(), kRows).IsOk()) continue;
            if (!b.Reserve(kRows).IsOk() || !b.AppendBatch(rows, ids).IsOk()) continue;
            std::string image;
            orvane::io::OutputStream stream(std::make_unique<orvane::io::MemoryFileWriter>(image));
            if (!stream.Init({}).IsOk() || !b.Dump(stream).IsOk()) continue;
            // Kinds without encodings write the same file three times; keep one.
            if (!seeds.empty() && seeds.back().image == image) continue;
            seeds.push_back({kind, std::move(image)});
        }
    }
    return seeds;
}

void Resign(std::string& image) {
    if (image.size() < 128) return;
    orvane::io::FileHeader header;
    std::memcpy(&header, image.data(), sizeof(header));
    header.headerCrc = orvane::io::ComputeHeaderCrc(header);
    std::memcpy(image.data(), &header, sizeof(header));
    orvane::io::FileFooter footer;
    std::memcpy(&footer, image.data() + image.size() - 64, sizeof(footer));
    footer.footerCrc = orvane::io::ComputeFooterCrc(footer);
    std::memcpy(image.data() + image.size() - 64, &footer, sizeof(footer));
}

void OpenAndSearch(const IndexKindDescriptor* kind, const std::string& image, int64_t probe) {
    orvane::io::InputStream stream(std::make_unique<orvane::io::MemoryFileReader>(image));
    if (!stream.Open({}).IsOk()) return;
    auto searcher = kind->createSearcher(kDim, {}, {});
    if (!searcher.IsOk() || !searcher.Value()->Open(stream).IsOk()) return;
    const float query[kDim] = {1, -2, 3, -4, 5, -6, 7, -8};
    const orvane::api::SearchOptions options{{"search.topk", int64_t{5}},
                                             {"search.nprobe", probe},
                                             {"diskann.search.list_size", int64_t{10}}};
    (void)searcher.Value()->Search(orvane::api::Query(query, kDim), options,
                                   *std::pmr::get_default_resource());
}

// The buffer path callers use: describe the image, and when that accepts it,
// opening it from bytes as the described kind must succeed and search.
void DescribeAndOpenBuffer(const std::string& image) {
    auto described = orvane::api::DescribeIndexBuffer(image, {});
    if (!described.IsOk()) return;
    const auto& d = described.Value();
    auto options = orvane::api::NormalizeSearcherOptions(
        {{"index.type", d.kind}, {"index.dimension", std::to_string(d.dim)}});
    auto searcher = options.IsOk()
                        ? orvane::api::OrvaneSearcher::Create(options.Value())
                        : orvane::core::Result<orvane::api::OrvaneSearcher>(options.GetStatus());
    if (!searcher.IsOk() ||
        !searcher.Value().Open(std::make_unique<orvane::io::MemoryFileReader>(image), {}).IsOk()) {
        std::fprintf(stderr, "described as %s but refused by Open\n", d.kind.c_str());
        std::abort();
    }
    std::vector<float> query(d.dim, 0.5f);
    const orvane::api::SearchOptions search{{"search.topk", int64_t{3}},
                                            {"diskann.search.list_size", int64_t{10}}};
    (void)searcher.Value().Search(orvane::api::Query(query.data(), d.dim), search);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<Seed> seeds = [] {
        orvane::fuzz::SilenceLogs();
        return BuildSeeds();
    }();
    if (size < 2 || seeds.empty()) return 0;
    const Seed& seed = seeds[data[0] % seeds.size()];
    const int64_t probe = 1 + data[1] % 8;
    if (data[0] >= 0xF0) {  // raw: the rest of the input is the whole file
        std::string image(reinterpret_cast<const char*>(data + 2), size - 2);
        Resign(image);
        OpenAndSearch(seed.kind, image, probe);
        DescribeAndOpenBuffer(image);
        return 0;
    }
    // Patches of (offset: 2 bytes, value: 1 byte), the offset wrapped into the file.
    std::string image = seed.image;
    for (size_t i = 2; i + 3 <= size; i += 3) {
        const size_t at = (data[i] | (size_t{data[i + 1]} << 8)) % image.size();
        image[at] = static_cast<char>(data[i + 2]);
    }
    Resign(image);
    OpenAndSearch(seed.kind, image, probe);
    DescribeAndOpenBuffer(image);
    return 0;
}
