// IndexFile: a description of an index file for `orvane info` and for opening an
// index without being told its kind: the container's sections in file order (offset,
// size, padding, checksum state) and, for a kind the tool knows, the vector count and
// dimension from that kind's meta section. The container is opened and validated by
// the library's own reader, so a damaged file is reported with the library's message.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "orvane/core/Result.h"
#include "orvane/api/SearchTypes.h"
#include "index/IndexKindDescriptor.h"

namespace orvane::tools {

enum class CrcState : uint8_t { kNotChecked, kOk, kMismatch };

struct SectionInfo {
    std::string name;
    uint64_t offset = 0;   // absolute file offset of the first data byte
    uint64_t size = 0;     // bytes including padding
    uint64_t padding = 0;  // zero bytes at the end added for alignment
    CrcState crc = CrcState::kNotChecked;
    std::string crcError;  // the library's message when the check failed
};

struct IndexFileInfo {
    std::string path;
    uint64_t fileSize = 0;
    std::vector<SectionInfo> sections;  // in file order
    const index::IndexKindDescriptor* kind = nullptr;
    std::optional<api::IndexInfo> meta;
};

// Opens the container with the given text IO options (io.reader.type ...); with
// verifyCrc every section's checksum is recomputed.
core::Result<IndexFileInfo> DescribeIndexFile(const std::string& path, const TextOptions& io,
                                              bool verifyCrc);

}  // namespace orvane::tools
