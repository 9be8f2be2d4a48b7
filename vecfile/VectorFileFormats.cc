#include "VectorFileFormats.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "NpyHeader.h"
#include "ToolStatus.h"

namespace orvane::tools {
namespace {

using core::ErrorCode;
using core::Result;
using core::Status;

std::string FormatBytes(uint64_t n) {
    return std::to_string(n) + " bytes";
}

// A header-declared shape must account for every byte after the header.
Result<VectorFileLayout> CheckDeclaredSize(const FileProbe& file, const VectorFileLayout& layout) {
    uint64_t dataBytes = 0;
    if (__builtin_mul_overflow(layout.rows, layout.rowStride, &dataBytes)) {
        return file.Fail("declared shape is too large");
    }
    const uint64_t held = file.Size() - layout.dataOffset;
    if (held != dataBytes) {
        return file.Fail(std::string(held < dataBytes ? "truncated" : "trailing bytes") +
                         ": header declares " + std::to_string(layout.rows) + " x " +
                         std::to_string(layout.dim) + " " + ElementTypeName(layout.element) +
                         " values (" + FormatBytes(dataBytes) + ") but the file holds " +
                         FormatBytes(held) + " of data");
    }
    return layout;
}

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

// The preamble of a .npy file: the header text's offset and length.
struct NpyPreamble {
    uint64_t headerStart = 0;
    uint64_t headerLen = 0;
};

Result<NpyPreamble> ReadNpyPreamble(const FileProbe& file) {
    char prefix[12] = {};
    if (file.Size() < 10) return file.Fail("truncated: shorter than the .npy preamble");
    ORVANE_RETURN_IF_ERROR(file.Read(0, std::min<uint64_t>(12, file.Size()), prefix));
    if (std::memcmp(prefix, kNpyMagic, kNpyMagicSize) != 0) {
        return file.Fail("not a .npy file (wrong magic)");
    }
    const uint8_t major = static_cast<uint8_t>(prefix[6]);
    NpyPreamble p;
    if (major == 1) {
        p.headerLen = uint8_t(prefix[8]) | (uint64_t(uint8_t(prefix[9])) << 8);
        p.headerStart = 10;
    } else if (major == 2 || major == 3) {
        if (file.Size() < 12) return file.Fail("truncated: shorter than the .npy preamble");
        for (int i = 0; i < 4; ++i) p.headerLen |= uint64_t(uint8_t(prefix[8 + i])) << (8 * i);
        p.headerStart = 12;
    } else {
        return file.Fail("unsupported .npy format version " + std::to_string(major));
    }
    if (p.headerLen > file.Size() - p.headerStart) return file.Fail("truncated .npy header");
    return p;
}

}  // namespace

Status PreadFully(int fd, const std::string& path, uint64_t offset, uint64_t size, char* out) {
    while (size > 0) {
        ssize_t n = ::pread(fd, out, size, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return Status(ErrorCode::IoError, path + ": read failed: " + std::strerror(errno));
        }
        if (n == 0) return Status(ErrorCode::IoError, path + ": unexpected end of file");
        out += n;
        offset += static_cast<uint64_t>(n);
        size -= static_cast<uint64_t>(n);
    }
    return Status::Ok();
}

Status FileProbe::Read(uint64_t offset, uint64_t size, char* out) const {
    return PreadFully(_fd, _path, offset, size, out);
}

Status FileProbe::Fail(const std::string& what) const {
    return InvalidFile(_path, what);
}

// Every row is an int32 dimension and that many values; the first row's dimension
// fixes the row size, and the file must be whole rows of it.
Result<VectorFileLayout> ParseVecsFile(const FileProbe& file, ElementType element) {
    const uint64_t fileSize = file.Size();
    if (fileSize == 0) return file.Fail("empty file");
    if (fileSize < 4) return file.Fail("truncated: shorter than one dimension field");
    int32_t dim = 0;
    ORVANE_RETURN_IF_ERROR(file.Read(0, 4, reinterpret_cast<char*>(&dim)));
    if (dim <= 0 || static_cast<uint64_t>(dim) > kMaxVectorFileDim) {
        return file.Fail("invalid dimension " + std::to_string(dim) + " in the first row");
    }
    VectorFileLayout layout;
    layout.format = VectorFormat::kVecs;
    layout.element = element;
    layout.dim = static_cast<uint32_t>(dim);
    layout.rowStride = 4 + uint64_t(layout.dim) * 4;
    if (fileSize % layout.rowStride != 0) {
        return file.Fail("size " + FormatBytes(fileSize) + " is not a multiple of the row size " +
                         FormatBytes(layout.rowStride) + " for dimension " +
                         std::to_string(layout.dim) +
                         " (truncated file or rows of different dimensions)");
    }
    layout.rows = fileSize / layout.rowStride;
    return layout;
}

// A header of two uint32 (rows, dimension), then the values.
Result<VectorFileLayout> ParseBinFile(const FileProbe& file, ElementType element) {
    if (file.Size() < 8) return file.Fail("truncated: shorter than the 8-byte header");
    uint32_t header[2] = {0, 0};
    ORVANE_RETURN_IF_ERROR(file.Read(0, 8, reinterpret_cast<char*>(header)));
    if (header[1] == 0 || header[1] > kMaxVectorFileDim) {
        return file.Fail("invalid dimension " + std::to_string(header[1]) + " in the header");
    }
    VectorFileLayout layout;
    layout.format = VectorFormat::kBin;
    layout.element = element;
    layout.rows = header[0];
    layout.dim = header[1];
    layout.rowStride = uint64_t(layout.dim) * 4;
    layout.dataOffset = 8;
    return CheckDeclaredSize(file, layout);
}

// A NumPy array file: preamble, header dictionary, then the C-order values.
Result<VectorFileLayout> ParseNpyFile(const FileProbe& file, ElementType) {
    auto preamble = ReadNpyPreamble(file);
    if (!preamble) return preamble.TakeStatus();
    const NpyPreamble& p = preamble.Value();
    std::string text(p.headerLen, '\0');
    ORVANE_RETURN_IF_ERROR(file.Read(p.headerStart, p.headerLen, text.data()));
    auto parsed = ParseNpyHeader(text);
    if (!parsed) return file.Fail(parsed.GetStatus().Message());
    const NpyHeader& h = parsed.Value();
    VectorFileLayout layout;
    layout.format = VectorFormat::kNpy;
    if (!ElementFromDescr(h.descr, &layout.element)) {
        return file.Fail("unsupported dtype '" + h.descr +
                         "' (need little-endian float32, int32, int64 or uint64)");
    }
    if (h.fortranOrder) return file.Fail("Fortran-order arrays are not supported");
    if (h.shape.size() == 1) {
        layout.rows = h.shape[0];
        layout.dim = 1;
    } else if (h.shape.size() == 2) {
        if (h.shape[1] == 0 || h.shape[1] > kMaxVectorFileDim) {
            return file.Fail("invalid dimension " + std::to_string(h.shape[1]));
        }
        layout.rows = h.shape[0];
        layout.dim = static_cast<uint32_t>(h.shape[1]);
    } else {
        return file.Fail("array must be 1-D or 2-D, got " + std::to_string(h.shape.size()) +
                         " dimensions");
    }
    layout.rowStride = uint64_t(layout.dim) * ElementSize(layout.element);
    layout.dataOffset = p.headerStart + p.headerLen;
    return CheckDeclaredSize(file, layout);
}

// A bare array of uint64 values, one column.
Result<VectorFileLayout> ParseRawFile(const FileProbe& file, ElementType element) {
    if (file.Size() % 8 != 0) {
        return file.Fail("size " + FormatBytes(file.Size()) +
                         " is not a multiple of 8 (expected raw uint64 values)");
    }
    VectorFileLayout layout;
    layout.format = VectorFormat::kRaw;
    layout.element = element;
    layout.dim = 1;
    layout.rows = file.Size() / 8;
    layout.rowStride = 8;
    return layout;
}

}  // namespace orvane::tools
