// The per-format header parsers of VectorFileReader. Each reads the header of one
// format through a FileProbe, checks it against the file size, and returns where
// the rows are and how they are shaped. Failures name the file.
#pragma once

#include <cstdint>
#include <string>

#include "VectorFile.h"
#include "orvane/core/Result.h"

namespace orvane::tools {

// An opened regular file as the parsers see it: its path (for messages), its size
// and positioned reads.
class FileProbe {
  public:
    FileProbe(const std::string& path, int fd, uint64_t size) : _path(path), _fd(fd), _size(size) {}

    const std::string& Path() const { return _path; }
    uint64_t Size() const { return _size; }
    // Reads exactly `size` bytes at `offset`; IoError naming the file otherwise.
    core::Status Read(uint64_t offset, uint64_t size, char* out) const;
    // InvalidArgument "<path>: <what>".
    core::Status Fail(const std::string& what) const;

  private:
    const std::string& _path;
    int _fd;
    uint64_t _size;
};

// Reads exactly `size` bytes at `offset` of `fd`, retrying short reads.
core::Status PreadFully(int fd, const std::string& path, uint64_t offset, uint64_t size, char* out);

// `element` is the one the extension names (.npy takes its own from the header).
using VectorFileParser = core::Result<VectorFileLayout> (*)(const FileProbe& file,
                                                            ElementType element);

core::Result<VectorFileLayout> ParseVecsFile(const FileProbe& file, ElementType element);
core::Result<VectorFileLayout> ParseBinFile(const FileProbe& file, ElementType element);
core::Result<VectorFileLayout> ParseNpyFile(const FileProbe& file, ElementType element);
core::Result<VectorFileLayout> ParseRawFile(const FileProbe& file, ElementType element);

}  // namespace orvane::tools
