#include "index/diskann/search/EncoderSectionLoader.h"

#include <cstring>
#include <string>

#include "encoding/QuantizerMeta.h"
#include "encoding/pq/PQGlobalHeader.h"
#include "io/MemoryFileReader.h"
#include "telemetry/Logger.h"

namespace orvane::index::diskann {

using core::ErrorCode;
using core::Status;
using SectionReader = io::InputStream::SectionReader;

namespace {

Status DamagedEncoder(const char* what) {
    ORVANE_LOG_ERROR("Damaged reordered encoder section: %s", what);
    return Status(ErrorCode::Corruption, std::string("Damaged reordered encoder section: ") + what);
}

bool MulAdd(uint64_t a, uint64_t b, uint64_t* sum) {
    uint64_t product = 0;
    return !__builtin_mul_overflow(a, b, &product) && !__builtin_add_overflow(*sum, product, sum);
}

// Rewrites the layout-ordered pq stream (header, offsets, codebooks, rows,
// rotation) into a quantizer stream (meta, header, offsets, codebooks,
// rotation, rows) held in memory.
core::Result<std::shared_ptr<SectionReader>> RearrangeMappedStream(const SectionReader& reader,
                                                                   const DiskANNIndexMeta& meta) {
    const uint64_t payload = reader.SectionPayloadSize();
    dist::encode_space::PQGlobalHeader header;
    if (payload < sizeof(header)) return DamagedEncoder("pq header truncated");
    ORVANE_RETURN_IF_ERROR(reader.Read(
        0, sizeof(header), std::span<char>(reinterpret_cast<char*>(&header), sizeof(header))));
    if (header.numChunks == 0 || header.numChunks > meta.dimension) {
        return DamagedEncoder("pq chunk count out of range");
    }
    const uint64_t dim = meta.dimension;
    uint64_t modelBytes = sizeof(header);
    uint64_t rotationBytes = 0;
    uint64_t rowBytes = 0;
    const bool fits =
        MulAdd(uint64_t{header.numChunks} + 1, sizeof(uint32_t), &modelBytes) &&
        MulAdd(uint64_t{header.ks} * dim, sizeof(float), &modelBytes) &&
        (!header.UsesOpq() || MulAdd(dim * dim, sizeof(float), &rotationBytes)) &&
        MulAdd(meta.count, dist::encode_space::PQRowSize(header.numChunks, header.metricType),
               &rowBytes);
    uint64_t total = modelBytes;
    if (!fits || __builtin_add_overflow(total, rowBytes, &total) ||
        __builtin_add_overflow(total, rotationBytes, &total) || total != payload) {
        return DamagedEncoder("sizes differ from the section");
    }

    const quantizer::QuantizerMeta streamMeta{0, meta.count, meta.dimension,
                                              dist::encode_space::EncodingE::pq,
                                              static_cast<dist::MetricE>(meta.metricType)};
    std::string image(sizeof(streamMeta) + total, '\0');
    std::memcpy(image.data(), &streamMeta, sizeof(streamMeta));
    char* out = image.data() + sizeof(streamMeta);
    ORVANE_RETURN_IF_ERROR(reader.Read(0, modelBytes, std::span<char>(out, modelBytes)));
    out += modelBytes;
    if (rotationBytes != 0) {
        ORVANE_RETURN_IF_ERROR(
            reader.Read(modelBytes + rowBytes, rotationBytes, std::span<char>(out, rotationBytes)));
        out += rotationBytes;
    }
    ORVANE_RETURN_IF_ERROR(reader.Read(modelBytes, rowBytes, std::span<char>(out, rowBytes)));

    const uint64_t size = image.size();
    auto held = std::make_shared<io::MemoryFileReader>(std::move(image));
    return std::make_shared<SectionReader>(0, size, 0, 0, std::move(held));
}

}  // namespace

core::Result<std::shared_ptr<SectionReader>> EncoderStreamReader(io::InputStream& stream,
                                                                 const DiskANNIndexMeta& meta) {
    auto found = stream.GetSectionReader(kEncoderSection);
    if (!found.IsOk()) return found.TakeStatus();
    std::shared_ptr<SectionReader> reader = found.TakeValue();
    uint32_t firstWord = 0;
    if (reader->SectionPayloadSize() < sizeof(firstWord)) return reader;
    ORVANE_RETURN_IF_ERROR(
        reader->Read(0, sizeof(firstWord),
                     std::span<char>(reinterpret_cast<char*>(&firstWord), sizeof(firstWord))));
    if (firstWord == 0) return reader;
    return RearrangeMappedStream(*reader, meta);
}

}  // namespace orvane::index::diskann
