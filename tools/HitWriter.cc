#include "HitWriter.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

#include "ToolStatus.h"
#include "VectorFile.h"

namespace orvane::tools {

using core::ErrorCode;
using core::Result;
using core::Status;

Result<std::unique_ptr<HitWriter>> HitWriter::Create(const std::string& path, uint32_t topk,
                                                     uint64_t queries) {
    const std::string_view ext = FileExtension(path);
    Format format;
    if (ext == ".ivecs") {
        format = Format::kIvecs;
    } else if (ext == ".ibin") {
        format = Format::kIbin;
    } else if (ext == ".json") {
        format = Format::kJson;
    } else {
        return InvalidFile(path,
                           "cannot write hits to this file type (use .ivecs, .ibin or .json)");
    }
    if (format != Format::kJson) {
        // Rows are topk wide whatever the number of hits: a width the reader would
        // refuse is refused before anything is allocated or written.
        ORVANE_RETURN_IF_ERROR(CheckMatrixDim(path, topk));
        if (format == Format::kIbin && queries > std::numeric_limits<uint32_t>::max()) {
            return InvalidFile(path, "too many queries for the .ibin header");
        }
    }
    std::unique_ptr<HitWriter> writer(new HitWriter(path, format, topk));
    writer->_file = std::fopen(writer->_partial.TempPath().c_str(), "wb");
    if (writer->_file == nullptr) return writer->Failed("cannot create");
    if (format == Format::kIbin) {
        const uint32_t header[2] = {static_cast<uint32_t>(queries), topk};
        ORVANE_RETURN_IF_ERROR(writer->Put(header, sizeof(header)));
    } else if (format == Format::kJson) {
        const std::string head = "{\"topk\": " + std::to_string(topk) + ", \"results\": [";
        ORVANE_RETURN_IF_ERROR(writer->Put(head.data(), head.size()));
    }
    return writer;
}

HitWriter::HitWriter(const std::string& path, Format format, uint32_t topk)
    : _partial(path), _format(format), _topk(topk) {}

HitWriter::~HitWriter() {
    if (_file != nullptr) std::fclose(_file);
}

Status HitWriter::Failed(const char* what) const {
    return Status(ErrorCode::IoError,
                  _partial.FinalPath() + ": " + what + ": " + std::strerror(errno));
}

Status HitWriter::Put(const void* data, size_t size) {
    if (size != 0 && std::fwrite(data, 1, size, _file) != size) return Failed("write failed");
    return Status::Ok();
}

Status HitWriter::Add(std::span<const api::SearchHit> hits) {
    ++_added;
    if (_format == Format::kJson) {
        _text = _added == 1 ? "\n  {\"ids\": [" : ",\n  {\"ids\": [";
        for (size_t i = 0; i < hits.size(); ++i) {
            if (i != 0) _text += ", ";
            _text += std::to_string(hits[i].id);
        }
        _text += "], \"distances\": [";
        char buf[32];
        for (size_t i = 0; i < hits.size(); ++i) {
            if (i != 0) _text += ", ";
            // JSON has no NaN or infinity.
            if (std::isfinite(hits[i].distance)) {
                std::snprintf(buf, sizeof(buf), "%.9g", static_cast<double>(hits[i].distance));
                _text += buf;
            } else {
                _text += "null";
            }
        }
        _text += "]}";
        return Put(_text.data(), _text.size());
    }
    _row.assign(_topk + 1, -1);
    _row[0] = static_cast<int32_t>(_topk);
    for (size_t i = 0; i < hits.size() && i < _topk; ++i) {
        if (hits[i].id > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
            return InvalidFile(_partial.FinalPath(), "row id " + std::to_string(hits[i].id) +
                                                         " does not fit an int32 file; write "
                                                         ".json instead");
        }
        _row[i + 1] = static_cast<int32_t>(hits[i].id);
    }
    const bool withWidth = _format == Format::kIvecs;
    return Put(_row.data() + (withWidth ? 0 : 1), (_topk + (withWidth ? 1 : 0)) * 4);
}

Status HitWriter::Commit() {
    if (_format == Format::kJson) ORVANE_RETURN_IF_ERROR(Put("\n]}\n", 4));
    const int rc = std::fclose(_file);
    _file = nullptr;
    if (rc != 0) return Failed("write failed");
    return _partial.Commit();
}

}  // namespace orvane::tools
