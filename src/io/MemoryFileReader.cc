#include "io/MemoryFileReader.h"

namespace orvane::io {

MemoryFileReader::MemoryFileReader(std::string contents) : _contents(std::move(contents)) {
    _fileSize = _contents.size();
    // Like a mapping, an empty image holds no bytes at all.
    _mappedData = _contents.empty() ? nullptr : _contents.data();
}

core::Status MemoryFileReader::Close() {
    CloseReads();
    _isClosed = true;
    _mappedData = nullptr;
    _contents = std::string();
    return core::Status();
}

}  // namespace orvane::io
