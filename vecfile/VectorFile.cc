#include "VectorFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "ToolStatus.h"
#include "VectorFileFormats.h"

namespace orvane::tools {
namespace {

using core::ErrorCode;
using core::Result;
using core::Status;

}  // namespace

std::string_view FileExtension(std::string_view path) {
    size_t slash = path.find_last_of('/');
    size_t dot = path.find_last_of('.');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
        return {};
    return path.substr(dot);
}

const char* ElementTypeName(ElementType type) {
    switch (type) {
        case ElementType::kFloat32:
            return "float32";
        case ElementType::kInt32:
            return "int32";
        case ElementType::kInt64:
            return "int64";
        case ElementType::kUInt64:
            return "uint64";
    }
    return "unknown";
}

size_t ElementSize(ElementType type) {
    return type == ElementType::kInt64 || type == ElementType::kUInt64 ? 8 : 4;
}

VectorFileReader::VectorFileReader(VectorFileReader&& other) noexcept {
    *this = std::move(other);
}

VectorFileReader& VectorFileReader::operator=(VectorFileReader&& other) noexcept {
    if (this != &other) {
        if (_fd >= 0) ::close(_fd);
        _path = std::move(other._path);
        _fd = other._fd;
        other._fd = -1;
        _layout = other._layout;
        _scratch = std::move(other._scratch);
    }
    return *this;
}

VectorFileReader::~VectorFileReader() {
    if (_fd >= 0) ::close(_fd);
}

Status VectorFileReader::Fail(const std::string& what) const {
    return InvalidFile(_path, what);
}

Status VectorFileReader::PreadFully(uint64_t offset, uint64_t size, char* out) const {
    return tools::PreadFully(_fd, _path, offset, size, out);
}

namespace {

// The formats by extension, each with the element type the extension names and
// the parser of its header.
struct FormatEntry {
    std::string_view extension;
    ElementType element;
    VectorFileParser parse;
};

constexpr FormatEntry kFormats[] = {
    {".fvecs", ElementType::kFloat32, &ParseVecsFile},
    {".ivecs", ElementType::kInt32, &ParseVecsFile},
    {".fbin", ElementType::kFloat32, &ParseBinFile},
    {".ibin", ElementType::kInt32, &ParseBinFile},
    {".npy", ElementType::kFloat32, &ParseNpyFile},
    {".bin", ElementType::kUInt64, &ParseRawFile},
};

const FormatEntry* FindFormat(std::string_view extension) {
    for (const FormatEntry& f : kFormats) {
        if (f.extension == extension) return &f;
    }
    return nullptr;
}

}  // namespace

Result<VectorFileReader> VectorFileReader::Open(const std::string& path) {
    const FormatEntry* format = FindFormat(FileExtension(path));
    if (format == nullptr) {
        return InvalidFile(
            path, "unknown file type (expected .fvecs, .ivecs, .fbin, .ibin, .npy or .bin)");
    }
    VectorFileReader r;
    r._path = path;
    r._fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (r._fd < 0) {
        return Status(ErrorCode::IoError, path + ": cannot open: " + std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(r._fd, &st) != 0) {
        return Status(ErrorCode::IoError, path + ": cannot stat: " + std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) return r.Fail("not a regular file");
    auto layout = format->parse(FileProbe(r._path, r._fd, static_cast<uint64_t>(st.st_size)),
                                format->element);
    if (!layout) return layout.TakeStatus();
    r._layout = layout.Value();
    return r;
}

Status VectorFileReader::CheckRange(uint64_t first, uint64_t count) const {
    if (first > _layout.rows || count > _layout.rows - first) {
        return Status(ErrorCode::InvalidArgument, _path + ": rows [" + std::to_string(first) +
                                                      ", " + std::to_string(first + count) +
                                                      ") out of range, the file has " +
                                                      std::to_string(_layout.rows));
    }
    return Status::Ok();
}

Status VectorFileReader::ReadRaw(uint64_t first, uint64_t count) {
    ORVANE_RETURN_IF_ERROR(CheckRange(first, count));
    const uint64_t bytes = count * _layout.rowStride;
    _scratch.resize(bytes);
    ORVANE_RETURN_IF_ERROR(
        PreadFully(_layout.dataOffset + first * _layout.rowStride, bytes, _scratch.data()));
    if (_layout.format != VectorFormat::kVecs) return Status::Ok();
    // Check every row's dimension prefix and close the gaps they leave.
    const uint64_t rowBytes = _layout.rowStride - 4;
    for (uint64_t i = 0; i < count; ++i) {
        int32_t dim = 0;
        std::memcpy(&dim, _scratch.data() + i * _layout.rowStride, 4);
        if (dim != static_cast<int32_t>(_layout.dim)) {
            return Fail("row " + std::to_string(first + i) + " has dimension " +
                        std::to_string(dim) + ", expected " + std::to_string(_layout.dim));
        }
        std::memmove(_scratch.data() + i * rowBytes, _scratch.data() + i * _layout.rowStride + 4,
                     rowBytes);
    }
    _scratch.resize(count * rowBytes);
    return Status::Ok();
}

Status VectorFileReader::ReadFloats(uint64_t first, uint64_t count, float* out) {
    if (_layout.element != ElementType::kFloat32) {
        return Fail(std::string("holds ") + ElementTypeName(_layout.element) +
                    " values, float32 vectors are needed");
    }
    ORVANE_RETURN_IF_ERROR(ReadRaw(first, count));
    if (!_scratch.empty()) std::memcpy(out, _scratch.data(), _scratch.size());
    return Status::Ok();
}

Status VectorFileReader::ReadUInt64(uint64_t first, uint64_t count, uint64_t* out) {
    if (_layout.element == ElementType::kFloat32) {
        return Fail("holds float32 values, integers are needed");
    }
    ORVANE_RETURN_IF_ERROR(ReadRaw(first, count));
    const uint64_t n = count * _layout.dim;
    const char* src = _scratch.data();
    for (uint64_t i = 0; i < n; ++i) {
        int64_t value = 0;
        switch (_layout.element) {
            case ElementType::kInt32: {
                int32_t v;
                std::memcpy(&v, src + i * 4, 4);
                value = v;
                break;
            }
            case ElementType::kInt64:
                std::memcpy(&value, src + i * 8, 8);
                break;
            case ElementType::kUInt64:
                std::memcpy(&out[i], src + i * 8, 8);
                continue;
            case ElementType::kFloat32:
                break;
        }
        if (value < 0) {
            return Fail("negative value " + std::to_string(value) + " in row " +
                        std::to_string(first + i / _layout.dim));
        }
        out[i] = static_cast<uint64_t>(value);
    }
    return Status::Ok();
}

}  // namespace orvane::tools
