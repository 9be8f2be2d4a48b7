// IndexDescription: what an index file holds, read from the file itself so that a
// caller can open it without restating its kind or dimension. DescribeIndex first
// opens the index exactly as OrvaneSearcher::Open would (same reader, same checks,
// same statuses on a damaged, truncated or foreign file), then reads the kind's
// meta records for the metric, the encoding and the kind's own parameters.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "orvane/api/Options.h"
#include "orvane/core/Result.h"
#include "orvane/io/FileReader.h"

namespace orvane::api {

struct IndexDescription {
    std::string kind;       // the index.type that opens it
    uint64_t rows = 0;      // vectors in the index
    uint32_t dim = 0;       // components per vector
    std::string metric;     // "l2", "ip", "cosine"; empty when the kind records none
    std::string encoding;   // "rawf32", "sq8", "pq"; empty when the kind records none
    uint32_t pqChunks = 0;  // pq only
    bool opq = false;       // pq only: the rotation is stored and applied
    // The kind's own parameters as key and text value, in a fixed order.
    std::vector<std::pair<std::string, std::string>> params;
    uint32_t formatVersion = 0;  // of the container
    uint64_t fileSize = 0;
    bool idsStored = false;             // hits carry caller ids rather than row positions
    std::vector<std::string> sections;  // section names, sorted
};

// Makes a fresh reader over the same bytes each time it is called.
using ReaderFactory = std::function<core::Result<std::unique_ptr<io::FileReader>>()>;

// Describes the index the factory's readers read; `ioOptions` are those Open uses
// (io.verify_crc ...). Fails with Open's status when Open would fail, and with
// Corruption when no known kind's meta section is present.
core::Result<IndexDescription> DescribeIndex(const ReaderFactory& readers,
                                             const IOOptions& ioOptions);
// The file named by ioOptions' index.path, read as io.reader.type says.
core::Result<IndexDescription> DescribeIndexFile(const IOOptions& ioOptions);
// An index file image held in memory (copied).
core::Result<IndexDescription> DescribeIndexBuffer(std::string_view bytes,
                                                   const IOOptions& ioOptions);

// One flat JSON object: kind, rows, dim, metric, encoding, pq_chunks, opq,
// params (an object of text values), format_version, file_size, ids_stored,
// sections (an array of names). Absent metric or encoding are null.
std::string DescriptionToJson(const IndexDescription& description);

}  // namespace orvane::api
