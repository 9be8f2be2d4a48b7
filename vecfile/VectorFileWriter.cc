#include "VectorFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "PartialFile.h"
#include "ToolStatus.h"

namespace orvane::tools {

using core::ErrorCode;
using core::Status;

namespace {

// Writes a file under a temporary name beside the target and renames it into place.
class AtomicFile {
  public:
    explicit AtomicFile(std::string path) : _partial(std::move(path)) {}
    ~AtomicFile() {
        if (_file != nullptr) std::fclose(_file);
    }

    Status Open() {
        _file = std::fopen(_partial.TempPath().c_str(), "wb");
        if (_file == nullptr) return Error("cannot create");
        return Status::Ok();
    }
    Status Write(const void* data, size_t size) {
        if (size != 0 && std::fwrite(data, 1, size, _file) != size) return Error("write failed");
        return Status::Ok();
    }
    Status Commit() {
        const int rc = std::fclose(_file);
        _file = nullptr;
        if (rc != 0) return Error("write failed");
        return _partial.Commit();
    }

  private:
    Status Error(const char* what) const {
        return Status(ErrorCode::IoError,
                      _partial.FinalPath() + ": " + what + ": " + std::strerror(errno));
    }

    PartialFile _partial;
    FILE* _file = nullptr;
};

Status WriteMatrix(const std::string& path, const void* data, uint64_t rows, uint32_t dim,
                   ElementType element) {
    std::string_view ext = FileExtension(path);
    const bool isFloat = element == ElementType::kFloat32;
    VectorFormat format;
    if (ext == ".npy") {
        format = VectorFormat::kNpy;
    } else if (ext == (isFloat ? ".fvecs" : ".ivecs")) {
        format = VectorFormat::kVecs;
    } else if (ext == (isFloat ? ".fbin" : ".ibin")) {
        format = VectorFormat::kBin;
    } else {
        return InvalidFile(path, std::string("cannot write ") + ElementTypeName(element) +
                                     " rows to this file type (use " +
                                     (isFloat ? ".fvecs, .fbin" : ".ivecs, .ibin") + " or .npy)");
    }
    ORVANE_RETURN_IF_ERROR(CheckMatrixDim(path, dim));
    if (format == VectorFormat::kBin && rows > std::numeric_limits<uint32_t>::max()) {
        return InvalidFile(path, "too many rows for the .bin header");
    }
    AtomicFile file(path);
    ORVANE_RETURN_IF_ERROR(file.Open());
    const char* bytes = static_cast<const char*>(data);
    const uint64_t rowBytes = uint64_t(dim) * 4;
    switch (format) {
        case VectorFormat::kVecs: {
            const int32_t d = static_cast<int32_t>(dim);
            for (uint64_t i = 0; i < rows; ++i) {
                ORVANE_RETURN_IF_ERROR(file.Write(&d, 4));
                ORVANE_RETURN_IF_ERROR(file.Write(bytes + i * rowBytes, rowBytes));
            }
            break;
        }
        case VectorFormat::kBin: {
            const uint32_t header[2] = {static_cast<uint32_t>(rows), dim};
            ORVANE_RETURN_IF_ERROR(file.Write(header, sizeof(header)));
            ORVANE_RETURN_IF_ERROR(file.Write(bytes, rows * rowBytes));
            break;
        }
        default: {
            std::string dict = std::string("{'descr': '") + (isFloat ? "<f4" : "<i4") +
                               "', 'fortran_order': False, 'shape': (" + std::to_string(rows) +
                               ", " + std::to_string(dim) + "), }";
            // Magic, version 1.0, u16 length; the header ends in '\n' and the data starts
            // on a 64-byte boundary, as NumPy writes it.
            const size_t unpadded = kNpyMagicSize + 2 + 2 + dict.size() + 1;
            dict.append((64 - unpadded % 64) % 64, ' ');
            dict.push_back('\n');
            const uint16_t len = static_cast<uint16_t>(dict.size());
            const char version[2] = {1, 0};
            ORVANE_RETURN_IF_ERROR(file.Write(kNpyMagic, kNpyMagicSize));
            ORVANE_RETURN_IF_ERROR(file.Write(version, 2));
            ORVANE_RETURN_IF_ERROR(file.Write(&len, 2));
            ORVANE_RETURN_IF_ERROR(file.Write(dict.data(), dict.size()));
            ORVANE_RETURN_IF_ERROR(file.Write(bytes, rows * rowBytes));
            break;
        }
    }
    return file.Commit();
}

}  // namespace

Status CheckMatrixDim(const std::string& path, uint64_t dim) {
    if (dim == 0 || dim > kMaxVectorFileDim) {
        return InvalidFile(path, "cannot write rows of " + std::to_string(dim) + " values (1 to " +
                                     std::to_string(kMaxVectorFileDim) + " per row)");
    }
    return Status::Ok();
}

Status WriteFloatMatrix(const std::string& path, const float* data, uint64_t rows, uint32_t dim) {
    return WriteMatrix(path, data, rows, dim, ElementType::kFloat32);
}

Status WriteInt32Matrix(const std::string& path, const int32_t* data, uint64_t rows, uint32_t dim) {
    return WriteMatrix(path, data, rows, dim, ElementType::kInt32);
}

Status WriteFileAtomically(const std::string& path, std::string_view content) {
    AtomicFile file(path);
    ORVANE_RETURN_IF_ERROR(file.Open());
    ORVANE_RETURN_IF_ERROR(file.Write(content.data(), content.size()));
    return file.Commit();
}

}  // namespace orvane::tools
