// HitWriter: writes the hits of a search run to a file query by query, so a run of
// any length holds one query's hits in memory, not all of them. Formats, by the
// file name's extension:
//   .ivecs  per query an int32 width (topk) and topk int32 ids, -1 where a query has
//           fewer hits;
//   .ibin   a header of two uint32 (queries, topk), then the same ids without widths;
//   .json   {"topk": K, "results": [{"ids": [...], "distances": [...]}, ...]}, one
//           query per line, only the hits a query has (NaN/infinite distances: null).
// The file is written under a temporary name and moved into place by Commit.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "PartialFile.h"
#include "orvane/core/Result.h"
#include "orvane/api/SearchTypes.h"

namespace orvane::tools {

class HitWriter {
  public:
    // Checks the extension and the width before anything is written, then creates
    // the temporary file. `queries` is the number of Add calls that will follow.
    static core::Result<std::unique_ptr<HitWriter>> Create(const std::string& path, uint32_t topk,
                                                           uint64_t queries);
    HitWriter(const HitWriter&) = delete;
    HitWriter& operator=(const HitWriter&) = delete;
    ~HitWriter();

    // Appends one query's hits, best first.
    core::Status Add(std::span<const api::SearchHit> hits);
    // Finishes the file and moves it into place.
    core::Status Commit();

  private:
    enum class Format { kIvecs, kIbin, kJson };
    HitWriter(const std::string& path, Format format, uint32_t topk);
    core::Status Put(const void* data, size_t size);
    core::Status Failed(const char* what) const;

    PartialFile _partial;
    Format _format;
    uint32_t _topk;
    std::FILE* _file = nullptr;
    uint64_t _added = 0;
    std::vector<int32_t> _row;  // one .ivecs/.ibin row
    std::string _text;          // one .json line
};

}  // namespace orvane::tools
