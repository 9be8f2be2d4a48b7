#include "VectorFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>

#include "ToolStatus.h"

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

namespace {

bool MulOverflows(uint64_t a, uint64_t b, uint64_t* out) {
    return __builtin_mul_overflow(a, b, out);
}

// The parts of a .npy header dictionary the reader needs.
struct NpyHeader {
    std::string descr;
    bool fortranOrder = false;
    std::vector<uint64_t> shape;
};

// Parses the Python literal dictionary of a .npy header, for example
// "{'descr': '<f4', 'fortran_order': False, 'shape': (1000, 64), }".
class NpyHeaderParser {
  public:
    explicit NpyHeaderParser(std::string_view text) : _s(text) {}

    Result<NpyHeader> Parse() {
        NpyHeader header;
        bool haveDescr = false, haveOrder = false, haveShape = false;
        SkipBlanks();
        if (!Eat('{')) return Error("header is not a dictionary");
        while (true) {
            SkipBlanks();
            if (Eat('}')) break;
            std::string key;
            if (!ParseString(&key)) return Error("bad dictionary key");
            SkipBlanks();
            if (!Eat(':')) return Error("missing ':' after key");
            SkipBlanks();
            if (key == "descr") {
                if (!ParseString(&header.descr)) return Error("'descr' is not a string");
                haveDescr = true;
            } else if (key == "fortran_order") {
                if (EatWord("True")) {
                    header.fortranOrder = true;
                } else if (EatWord("False")) {
                    header.fortranOrder = false;
                } else {
                    return Error("'fortran_order' is not True or False");
                }
                haveOrder = true;
            } else if (key == "shape") {
                if (!ParseShape(&header.shape)) return Error("'shape' is not a tuple of integers");
                haveShape = true;
            } else {
                return Error("unexpected key '" + key + "'");
            }
            SkipBlanks();
            if (Eat(',')) continue;
            SkipBlanks();
            if (Eat('}')) break;
            return Error("expected ',' or '}'");
        }
        if (!haveDescr || !haveOrder || !haveShape) {
            return Error("header lacks one of 'descr', 'fortran_order', 'shape'");
        }
        return header;
    }

  private:
    static Result<NpyHeader> Error(const std::string& what) {
        return Status(ErrorCode::InvalidArgument, "malformed .npy header: " + what);
    }
    void SkipBlanks() {
        while (_pos < _s.size() && (_s[_pos] == ' ' || _s[_pos] == '\t' || _s[_pos] == '\n')) {
            ++_pos;
        }
    }
    bool Eat(char c) {
        if (_pos < _s.size() && _s[_pos] == c) {
            ++_pos;
            return true;
        }
        return false;
    }
    bool EatWord(std::string_view word) {
        if (_s.substr(_pos, word.size()) != word) return false;
        _pos += word.size();
        return true;
    }
    bool ParseString(std::string* out) {
        if (_pos >= _s.size() || (_s[_pos] != '\'' && _s[_pos] != '"')) return false;
        char quote = _s[_pos++];
        size_t end = _s.find(quote, _pos);
        if (end == std::string_view::npos) return false;
        out->assign(_s.substr(_pos, end - _pos));
        _pos = end + 1;
        return true;
    }
    bool ParseShape(std::vector<uint64_t>* out) {
        if (!Eat('(')) return false;
        while (true) {
            SkipBlanks();
            if (Eat(')')) return true;
            if (_pos >= _s.size() || _s[_pos] < '0' || _s[_pos] > '9') return false;
            uint64_t value = 0;
            while (_pos < _s.size() && _s[_pos] >= '0' && _s[_pos] <= '9') {
                if (MulOverflows(value, 10, &value) ||
                    __builtin_add_overflow(value, uint64_t(_s[_pos] - '0'), &value)) {
                    return false;
                }
                ++_pos;
            }
            out->push_back(value);
            SkipBlanks();
            if (Eat(',')) continue;
            SkipBlanks();
            if (Eat(')')) return true;
            return false;
        }
    }

    std::string_view _s;
    size_t _pos = 0;
};

bool ElementFromDescr(const std::string& descr, ElementType* out) {
    // Little-endian ('<') or native ('=', little-endian on this platform) only.
    if (descr.size() != 3 || (descr[0] != '<' && descr[0] != '=')) return false;
    std::string_view code = std::string_view(descr).substr(1);
    if (code == "f4")
        *out = ElementType::kFloat32;
    else if (code == "i4")
        *out = ElementType::kInt32;
    else if (code == "i8")
        *out = ElementType::kInt64;
    else if (code == "u8")
        *out = ElementType::kUInt64;
    else
        return false;
    return true;
}

std::string FormatBytes(uint64_t n) {
    return std::to_string(n) + " bytes";
}

}  // namespace

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
        _format = other._format;
        _element = other._element;
        _rows = other._rows;
        _dim = other._dim;
        _dataOffset = other._dataOffset;
        _rowStride = other._rowStride;
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
    while (size > 0) {
        ssize_t n = ::pread(_fd, out, size, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return Status(ErrorCode::IoError, _path + ": read failed: " + std::strerror(errno));
        }
        if (n == 0) return Status(ErrorCode::IoError, _path + ": unexpected end of file");
        out += n;
        offset += static_cast<uint64_t>(n);
        size -= static_cast<uint64_t>(n);
    }
    return Status::Ok();
}

Result<VectorFileReader> VectorFileReader::Open(const std::string& path) {
    VectorFileReader r;
    r._path = path;
    std::string_view ext = FileExtension(path);
    if (ext == ".fvecs") {
        r._format = VectorFormat::kVecs;
        r._element = ElementType::kFloat32;
    } else if (ext == ".ivecs") {
        r._format = VectorFormat::kVecs;
        r._element = ElementType::kInt32;
    } else if (ext == ".fbin") {
        r._format = VectorFormat::kBin;
        r._element = ElementType::kFloat32;
    } else if (ext == ".ibin") {
        r._format = VectorFormat::kBin;
        r._element = ElementType::kInt32;
    } else if (ext == ".npy") {
        r._format = VectorFormat::kNpy;
    } else if (ext == ".bin") {
        r._format = VectorFormat::kRaw;
        r._element = ElementType::kUInt64;
    } else {
        return InvalidFile(
            path, "unknown file type (expected .fvecs, .ivecs, .fbin, .ibin, .npy or .bin)");
    }

    r._fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (r._fd < 0) {
        return Status(ErrorCode::IoError, path + ": cannot open: " + std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(r._fd, &st) != 0) {
        return Status(ErrorCode::IoError, path + ": cannot stat: " + std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) return r.Fail("not a regular file");
    const uint64_t fileSize = static_cast<uint64_t>(st.st_size);

    uint64_t dataBytes = 0;  // bytes of all rows as the header declares them
    switch (r._format) {
        case VectorFormat::kVecs: {
            if (fileSize == 0) return r.Fail("empty file");
            if (fileSize < 4) return r.Fail("truncated: shorter than one dimension field");
            int32_t dim = 0;
            ORVANE_RETURN_IF_ERROR(r.PreadFully(0, 4, reinterpret_cast<char*>(&dim)));
            if (dim <= 0 || static_cast<uint64_t>(dim) > kMaxVectorFileDim) {
                return r.Fail("invalid dimension " + std::to_string(dim) + " in the first row");
            }
            r._dim = static_cast<uint32_t>(dim);
            r._rowStride = 4 + uint64_t(r._dim) * 4;
            if (fileSize % r._rowStride != 0) {
                return r.Fail("size " + FormatBytes(fileSize) +
                              " is not a multiple of the row size " + FormatBytes(r._rowStride) +
                              " for dimension " + std::to_string(r._dim) +
                              " (truncated file or rows of different dimensions)");
            }
            r._rows = fileSize / r._rowStride;
            r._dataOffset = 0;
            dataBytes = fileSize;
            break;
        }
        case VectorFormat::kBin: {
            if (fileSize < 8) return r.Fail("truncated: shorter than the 8-byte header");
            uint32_t header[2] = {0, 0};
            ORVANE_RETURN_IF_ERROR(r.PreadFully(0, 8, reinterpret_cast<char*>(header)));
            if (header[1] == 0 || header[1] > kMaxVectorFileDim) {
                return r.Fail("invalid dimension " + std::to_string(header[1]) + " in the header");
            }
            r._rows = header[0];
            r._dim = header[1];
            r._rowStride = uint64_t(r._dim) * 4;
            r._dataOffset = 8;
            dataBytes = r._rows * r._rowStride;
            break;
        }
        case VectorFormat::kNpy: {
            char prefix[12] = {};
            if (fileSize < 10) return r.Fail("truncated: shorter than the .npy preamble");
            ORVANE_RETURN_IF_ERROR(r.PreadFully(0, std::min<uint64_t>(12, fileSize), prefix));
            if (std::memcmp(prefix, kNpyMagic, kNpyMagicSize) != 0) {
                return r.Fail("not a .npy file (wrong magic)");
            }
            const uint8_t major = static_cast<uint8_t>(prefix[6]);
            uint64_t headerLen = 0;
            uint64_t headerStart = 0;
            if (major == 1) {
                headerLen = uint8_t(prefix[8]) | (uint64_t(uint8_t(prefix[9])) << 8);
                headerStart = 10;
            } else if (major == 2 || major == 3) {
                if (fileSize < 12) return r.Fail("truncated: shorter than the .npy preamble");
                headerLen = 0;
                for (int i = 0; i < 4; ++i)
                    headerLen |= uint64_t(uint8_t(prefix[8 + i])) << (8 * i);
                headerStart = 12;
            } else {
                return r.Fail("unsupported .npy format version " + std::to_string(major));
            }
            if (headerLen > fileSize - headerStart) return r.Fail("truncated .npy header");
            std::string text(headerLen, '\0');
            ORVANE_RETURN_IF_ERROR(r.PreadFully(headerStart, headerLen, text.data()));
            auto parsed = NpyHeaderParser(text).Parse();
            if (!parsed) return r.Fail(parsed.GetStatus().Message());
            const NpyHeader& h = parsed.Value();
            if (!ElementFromDescr(h.descr, &r._element)) {
                return r.Fail("unsupported dtype '" + h.descr +
                              "' (need little-endian float32, int32, int64 or uint64)");
            }
            if (h.fortranOrder) return r.Fail("Fortran-order arrays are not supported");
            if (h.shape.size() == 1) {
                r._rows = h.shape[0];
                r._dim = 1;
            } else if (h.shape.size() == 2) {
                if (h.shape[1] == 0 || h.shape[1] > kMaxVectorFileDim) {
                    return r.Fail("invalid dimension " + std::to_string(h.shape[1]));
                }
                r._rows = h.shape[0];
                r._dim = static_cast<uint32_t>(h.shape[1]);
            } else {
                return r.Fail("array must be 1-D or 2-D, got " + std::to_string(h.shape.size()) +
                              " dimensions");
            }
            r._rowStride = uint64_t(r._dim) * ElementSize(r._element);
            r._dataOffset = headerStart + headerLen;
            if (MulOverflows(r._rows, r._rowStride, &dataBytes)) {
                return r.Fail("declared shape is too large");
            }
            break;
        }
        case VectorFormat::kRaw: {
            if (fileSize % 8 != 0) {
                return r.Fail("size " + FormatBytes(fileSize) +
                              " is not a multiple of 8 (expected raw uint64 values)");
            }
            r._dim = 1;
            r._rows = fileSize / 8;
            r._rowStride = 8;
            r._dataOffset = 0;
            dataBytes = fileSize;
            break;
        }
    }
    if (r._format != VectorFormat::kVecs && fileSize - r._dataOffset != dataBytes) {
        const bool shorter = fileSize - r._dataOffset < dataBytes;
        return r.Fail(std::string(shorter ? "truncated" : "trailing bytes") + ": header declares " +
                      std::to_string(r._rows) + " x " + std::to_string(r._dim) + " " +
                      ElementTypeName(r._element) + " values (" + FormatBytes(dataBytes) +
                      ") but the file holds " + FormatBytes(fileSize - r._dataOffset) + " of data");
    }
    return r;
}

Status VectorFileReader::CheckRange(uint64_t first, uint64_t count) const {
    if (first > _rows || count > _rows - first) {
        return Status(ErrorCode::InvalidArgument, _path + ": rows [" + std::to_string(first) +
                                                      ", " + std::to_string(first + count) +
                                                      ") out of range, the file has " +
                                                      std::to_string(_rows));
    }
    return Status::Ok();
}

Status VectorFileReader::ReadRaw(uint64_t first, uint64_t count) {
    ORVANE_RETURN_IF_ERROR(CheckRange(first, count));
    const uint64_t bytes = count * _rowStride;
    _scratch.resize(bytes);
    ORVANE_RETURN_IF_ERROR(PreadFully(_dataOffset + first * _rowStride, bytes, _scratch.data()));
    if (_format != VectorFormat::kVecs) return Status::Ok();
    // Check every row's dimension prefix and close the gaps they leave.
    const uint64_t rowBytes = _rowStride - 4;
    for (uint64_t i = 0; i < count; ++i) {
        int32_t dim = 0;
        std::memcpy(&dim, _scratch.data() + i * _rowStride, 4);
        if (dim != static_cast<int32_t>(_dim)) {
            return Fail("row " + std::to_string(first + i) + " has dimension " +
                        std::to_string(dim) + ", expected " + std::to_string(_dim));
        }
        std::memmove(_scratch.data() + i * rowBytes, _scratch.data() + i * _rowStride + 4,
                     rowBytes);
    }
    _scratch.resize(count * rowBytes);
    return Status::Ok();
}

Status VectorFileReader::ReadFloats(uint64_t first, uint64_t count, float* out) {
    if (_element != ElementType::kFloat32) {
        return Fail(std::string("holds ") + ElementTypeName(_element) +
                    " values, float32 vectors are needed");
    }
    ORVANE_RETURN_IF_ERROR(ReadRaw(first, count));
    if (!_scratch.empty()) std::memcpy(out, _scratch.data(), _scratch.size());
    return Status::Ok();
}

Status VectorFileReader::ReadUInt64(uint64_t first, uint64_t count, uint64_t* out) {
    if (_element == ElementType::kFloat32) {
        return Fail("holds float32 values, integers are needed");
    }
    ORVANE_RETURN_IF_ERROR(ReadRaw(first, count));
    const uint64_t n = count * _dim;
    const char* src = _scratch.data();
    for (uint64_t i = 0; i < n; ++i) {
        int64_t value = 0;
        switch (_element) {
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
                        std::to_string(first + i / _dim));
        }
        out[i] = static_cast<uint64_t>(value);
    }
    return Status::Ok();
}

}  // namespace orvane::tools
