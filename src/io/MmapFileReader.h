// MmapFileReader: a FileReader that maps the whole file read-only, so reads are
// copies from memory, asynchronous reads finish inline and Peek is copy-free.
// The mapping can be pinned (Mlock) or pre-faulted at open (Populate). Peek and
// ReadAsync may run on many threads at once; Read, Seek and Close may not.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "io/RegionFileReader.h"

namespace orvane::io {

class MmapFileReader : public RegionFileReader {
  public:
    enum class LockMode : uint32_t {
        None = 0,
        Mlock = 1,
        Populate = 2,
    };

    static core::Result<std::unique_ptr<MmapFileReader>> Create(const std::string& path,
                                                                LockMode mode);

    MmapFileReader() = default;
    ~MmapFileReader() override;

    // Opens and maps the file; an empty file opens with nothing mapped.
    core::Status Open(const std::string& path, LockMode mode);
    core::Status Close() override;

    LockMode GetLockMode() const { return _lockMode; }

  private:
    std::string _filePath;
    int _fd = -1;
    LockMode _lockMode = LockMode::None;
};

}  // namespace orvane::io
