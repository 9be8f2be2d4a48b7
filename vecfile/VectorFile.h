// VectorFileReader: reading and writing the row-major matrix files the command-line tool
// exchanges with other programs: vectors, query sets, row-id lists and ground truth.
//
// Formats, chosen by the file name's extension:
//   .fvecs / .ivecs  every row is an int32 dimension followed by that many float32 /
//                    int32 values; all rows must have the same dimension.
//   .fbin  / .ibin   a header of two uint32 (rows, dimension), then rows * dimension
//                    float32 / int32 values.
//   .npy             a NumPy array file (format versions 1 to 3), C order, 2-D (or 1-D
//                    for a column such as an id list), dtype little-endian float32,
//                    int32, int64 or uint64.
//   .bin             a bare array of little-endian uint64 values with no header, one
//                    column (used for row-id lists).
// Opening a file validates its header and its size against the shape it declares, so
// a truncated or padded file is refused before any row is read. Reads are positioned
// (pread), so one reader can serve any row range in any order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "orvane/core/Result.h"

namespace orvane::tools {

enum class VectorFormat : uint8_t { kVecs, kBin, kNpy, kRaw };
enum class ElementType : uint8_t { kFloat32, kInt32, kInt64, kUInt64 };

// Widest row the reader accepts; a larger dimension is taken as a sign of a damaged or
// foreign file rather than a real vector length, so the writers refuse it too.
inline constexpr uint32_t kMaxVectorFileDim = 1u << 20;

// The signature that opens every .npy file, shared by the reader and the writer.
inline constexpr char kNpyMagic[] = "\x93NUMPY";
inline constexpr size_t kNpyMagicSize = 6;

const char* ElementTypeName(ElementType type);
// The extension of the last path component including its dot (".fvecs"), or empty.
std::string_view FileExtension(std::string_view path);
size_t ElementSize(ElementType type);

// Where the rows of a file are and how they are shaped.
struct VectorFileLayout {
    VectorFormat format = VectorFormat::kRaw;
    ElementType element = ElementType::kFloat32;
    uint64_t rows = 0;
    uint32_t dim = 0;
    uint64_t dataOffset = 0;  // file offset of row 0
    uint64_t rowStride = 0;   // bytes per row in the file, dimension prefix included
};

class VectorFileReader {
  public:
    // Opens and validates the file. Fails with a message that names the file.
    static core::Result<VectorFileReader> Open(const std::string& path);

    VectorFileReader(VectorFileReader&& other) noexcept;
    VectorFileReader& operator=(VectorFileReader&& other) noexcept;
    VectorFileReader(const VectorFileReader&) = delete;
    VectorFileReader& operator=(const VectorFileReader&) = delete;
    ~VectorFileReader();

    const std::string& Path() const { return _path; }
    VectorFormat Format() const { return _layout.format; }
    ElementType Element() const { return _layout.element; }
    uint64_t Rows() const { return _layout.rows; }
    uint32_t Dim() const { return _layout.dim; }

    // Copies rows [first, first + count) as float32 into out (count * Dim() floats).
    // The file must hold float32 values.
    core::Status ReadFloats(uint64_t first, uint64_t count, float* out);
    // Copies rows [first, first + count) as uint64 into out (count * Dim() values),
    // converting from any integer element type; a negative value is refused.
    core::Status ReadUInt64(uint64_t first, uint64_t count, uint64_t* out);

  private:
    VectorFileReader() = default;

    core::Status CheckRange(uint64_t first, uint64_t count) const;
    // Reads rows [first, first + count) as raw element bytes into _scratch, with the
    // per-row dimension prefixes of the vecs format checked and stripped.
    core::Status ReadRaw(uint64_t first, uint64_t count);
    core::Status PreadFully(uint64_t offset, uint64_t size, char* out) const;
    core::Status Fail(const std::string& what) const;

    std::string _path;
    int _fd = -1;
    VectorFileLayout _layout;
    std::vector<char> _scratch;
};

// Writers for the same formats; the format follows the extension (.fvecs, .fbin, .npy
// for float32; .ivecs, .ibin, .npy for int32). They write to a temporary name and
// rename, so a failed write leaves no partial file. A dimension outside
// 1..kMaxVectorFileDim is refused, as the reader would refuse the file.
// InvalidArgument naming `path` unless 1 <= dim <= kMaxVectorFileDim.
core::Status CheckMatrixDim(const std::string& path, uint64_t dim);
core::Status WriteFloatMatrix(const std::string& path, const float* data, uint64_t rows,
                              uint32_t dim);
core::Status WriteInt32Matrix(const std::string& path, const int32_t* data, uint64_t rows,
                              uint32_t dim);
// Writes arbitrary bytes the same way (temporary name, then rename).
core::Status WriteFileAtomically(const std::string& path, std::string_view content);

}  // namespace orvane::tools
