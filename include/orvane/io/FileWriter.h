// FileWriter: the byte sink an index file is written to. Bytes are only appended;
// GetLength tells the offset at which the next byte will land.
#pragma once

#include <cstdint>
#include <memory>

#include "orvane/core/NoCopyable.h"
#include "orvane/core/Result.h"
#include "orvane/core/Status.h"
#include "orvane/io/IOSettings.h"

namespace orvane::io {

class FileWriter : public core::NoCopyable {
  public:
    FileWriter() = default;
    virtual ~FileWriter() = default;

    // Appends `size` bytes.
    virtual core::Status Write(const char* data, uint64_t size) = 0;
    // Makes everything written durable and final; no Write may follow.
    virtual core::Status Close() = 0;
    // Bytes accepted so far.
    virtual core::Result<uint64_t> GetLength() = 0;
};

// Creates the writer for the file at the settings' path.
core::Result<std::unique_ptr<FileWriter>> CreateFileWriter(const IOSettings& settings);

}  // namespace orvane::io
