// MemoryFileWriter: a FileWriter that appends an index file image to a string the
// caller owns, so that an index can be dumped to bytes in the file format,
// unchanged. The string must outlive the writer; Close seals it (later writes
// are refused) and leaves the image in place.
#pragma once

#include <cstdint>
#include <string>

#include "orvane/io/FileWriter.h"

namespace orvane::io {

class MemoryFileWriter : public FileWriter {
  public:
    explicit MemoryFileWriter(std::string& target) : _target(target) { _target.clear(); }

    core::Status Write(const char* data, uint64_t size) override;
    core::Status Close() override;
    core::Result<uint64_t> GetLength() override { return _target.size(); }

  private:
    std::string& _target;
    bool _closed = false;
};

}  // namespace orvane::io
