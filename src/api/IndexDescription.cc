#include "orvane/api/IndexDescription.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "orvane/api/OptionNormalize.h"
#include "orvane/api/OrvaneSearcher.h"
#include "distance/MetricE.h"
#include "encoding/EncodingE.h"
#include "encoding/EncodingRegistry.h"
#include "encoding/QuantizerMeta.h"
#include "encoding/pq/PQGlobalHeader.h"
#include "index/IndexKindRegistry.h"
#include "index/bruteforce/BruteforceIndexMeta.h"
#include "index/diskann/format/DiskANNRecords.h"
#include "index/ivf/IvfIndexMeta.h"
#include "io/FileFormat.h"
#include "io/InputStream.h"
#include "io/MemoryFileReader.h"

namespace orvane::api {

using core::ErrorCode;
using core::Result;
using core::Status;
using dist::MetricE;
using dist::encode_space::EncodingE;
using dist::encode_space::PQGlobalHeader;

namespace {

// Reads the first sizeof(T) bytes at `offset` of a section; false when the
// section is missing or too short (Open accepted the file, so the kind's reader
// did not need it).
template <typename T>
bool ReadRecord(io::InputStream& stream, const char* section, uint64_t offset, T& out) {
    auto reader = stream.GetSectionReader(section);
    if (!reader.IsOk() || reader.Value()->SectionPayloadSize() < offset + sizeof(T)) return false;
    return reader.Value()
        ->Read(offset, sizeof(T), std::span<char>(reinterpret_cast<char*>(&out), sizeof(T)))
        .IsOk();
}

std::string MetricText(uint32_t metric) {
    if (metric >= static_cast<uint32_t>(MetricE::dummy)) return "";
    return dist::MetricName(static_cast<MetricE>(metric));
}

std::string EncodingText(EncodingE encoding) {
    const quantizer::EncodingDescriptor* row = quantizer::FindEncoding(encoding);
    return row != nullptr ? std::string(row->name) : std::string();
}

// The encoding of a quantizer stream section: a quantizer meta first (its
// version word is 0), or a bare pq stream (a reordered DiskANN encoder, whose
// first word is the chunk count). Fills encoding, metric and the pq fields.
void DescribeQuantizerSection(io::InputStream& stream, const char* section, IndexDescription& d) {
    uint32_t firstWord = 0;
    if (!ReadRecord(stream, section, 0, firstWord)) return;
    PQGlobalHeader pq;
    uint64_t pqAt = 0;
    if (firstWord == 0) {
        quantizer::QuantizerMeta meta;
        if (!ReadRecord(stream, section, 0, meta)) return;
        d.encoding = EncodingText(meta.encodingType);
        if (d.metric.empty()) d.metric = MetricText(static_cast<uint32_t>(meta.metricType));
        if (meta.encodingType != EncodingE::pq) return;
        pqAt = quantizer::kQuantizerMetaSize;
    } else {
        d.encoding = EncodingText(EncodingE::pq);
    }
    if (!ReadRecord(stream, section, pqAt, pq)) return;
    d.pqChunks = pq.numChunks;
    d.opq = pq.UsesOpq();
    if (d.metric.empty()) d.metric = MetricText(static_cast<uint32_t>(pq.metricType));
}

void DescribeIvf(io::InputStream& stream, IndexDescription& d) {
    index::ivf::IndexMeta meta;
    if (!ReadRecord(stream, index::ivf::kMetaSection, 0, meta)) return;
    d.metric = MetricText(meta.metric);
    d.params.emplace_back("nlist", std::to_string(meta.numLists));
    d.params.emplace_back("ivf_version", std::to_string(meta.version));
    DescribeQuantizerSection(stream, index::ivf::kQuantizerSection, d);
}

void DescribeDiskANN(io::InputStream& stream, IndexDescription& d) {
    namespace da = index::diskann;
    da::DiskANNIndexMeta meta;
    if (ReadRecord(stream, da::kMetaSection, 0, meta)) d.metric = MetricText(meta.metricType);
    DescribeQuantizerSection(stream, da::kEncoderSection, d);
    da::StorageHeader header;
    if (ReadRecord(stream, da::kHeaderSection, 0, header)) {
        d.params.emplace_back("max_degree", std::to_string(header.neighborCount));
        d.params.emplace_back("ef_construction", std::to_string(header.efConstruction));
        d.params.emplace_back("sector_size", std::to_string(header.sectorSize));
        d.params.emplace_back("original_embedding",
                              da::HeaderFlag(header.saveOriginalEmbedding) ? "true" : "false");
        std::string disk = EncodingText(EncodingE::rawf32);
        if (da::HeaderFlag(header.quantizeRawData)) {
            IndexDescription diskEncoding;
            DescribeQuantizerSection(stream, da::kDiskEncoderSection, diskEncoding);
            disk = diskEncoding.encoding;
        }
        d.params.emplace_back("disk_encoding", disk);
    }
    uint32_t firstWord = 0;
    if (ReadRecord(stream, da::kEncoderSection, 0, firstWord)) {
        d.params.emplace_back("reorder", firstWord != 0 ? "true" : "false");
    }
}

Status NoKnownKind() {
    return Status(ErrorCode::Corruption,
                  "no known index kind's meta section among the file's sections (known kinds: " +
                      index::KindNames() + ")");
}

// Opens a searcher of the described kind and dimension over a fresh reader, so
// that the file passes exactly the checks Open makes.
Status ValidateAsOpen(const ReaderFactory& readers, const IOOptions& ioOptions,
                      const IndexDescription& d) {
    TextOptionMap map{{"index.type", d.kind}, {"index.dimension", std::to_string(d.dim)}};
    auto options = NormalizeSearcherOptions(map);
    if (!options.IsOk()) return options.TakeStatus();
    auto searcher = OrvaneSearcher::Create(options.Value());
    if (!searcher.IsOk()) return searcher.TakeStatus();
    auto reader = readers();
    if (!reader.IsOk()) return reader.TakeStatus();
    ORVANE_RETURN_IF_ERROR(searcher.Value().Open(reader.TakeValue(), ioOptions));
    return searcher.Value().Close();
}

// File size and container version, read once the file has passed Open's checks
// (so that a failure before that is Open's own).
Status ReadContainerFacts(const ReaderFactory& readers, IndexDescription& d) {
    auto reader = readers();
    if (!reader.IsOk()) return reader.TakeStatus();
    auto length = reader.Value()->GetLength();
    if (!length.IsOk()) return length.TakeStatus();
    d.fileSize = length.Value();
    io::FileHeader header;
    ORVANE_RETURN_IF_ERROR(reader.Value()->Read(reinterpret_cast<char*>(&header), sizeof(header)));
    d.formatVersion = header.version;
    return reader.Value()->Close();
}

}  // namespace

Result<IndexDescription> DescribeIndex(const ReaderFactory& readers, const IOOptions& ioOptions) {
    auto reader = readers();
    if (!reader.IsOk()) return reader.TakeStatus();
    IndexDescription d;
    io::InputStream stream(reader.TakeValue());
    ORVANE_RETURN_IF_ERROR(stream.Open(ioOptions));
    for (const auto& entry : stream.SectionMetas()) d.sections.push_back(entry.first);

    const index::IndexKindDescriptor* kind = index::KindFromSections(d.sections);
    if (kind == nullptr) return NoKnownKind();
    d.kind = std::string(kind->Name());
    auto meta = stream.GetSectionReader(std::string(kind->metaSection));
    if (!meta.IsOk()) return meta.TakeStatus();
    std::vector<char> payload(std::min<uint64_t>(meta.Value()->SectionPayloadSize(), 64));
    ORVANE_RETURN_IF_ERROR(meta.Value()->Read(0, payload.size(), payload));
    auto info = kind->decodeMeta(payload);
    if (!info) {
        return Status(ErrorCode::Corruption,
                      "the meta section " + std::string(kind->metaSection) + " is too short");
    }
    d.rows = info->count;
    d.dim = info->dim;
    ORVANE_RETURN_IF_ERROR(ValidateAsOpen(readers, ioOptions, d));
    ORVANE_RETURN_IF_ERROR(ReadContainerFacts(readers, d));

    d.idsStored = kind->storesIds;
    if (d.kind == "ivf") {
        DescribeIvf(stream, d);
    } else if (d.kind == "diskann") {
        DescribeDiskANN(stream, d);
    } else if (d.kind == "bruteforce") {
        DescribeQuantizerSection(stream, index::bruteforce::kIndexVectorName, d);
    }
    (void)stream.Close();
    return d;
}

Result<IndexDescription> DescribeIndexFile(const IOOptions& ioOptions) {
    return DescribeIndex([&] { return io::CreateFileReader(ioOptions); }, ioOptions);
}

Result<IndexDescription> DescribeIndexBuffer(std::string_view bytes, const IOOptions& ioOptions) {
    return DescribeIndex(
        [&]() -> Result<std::unique_ptr<io::FileReader>> {
            return std::unique_ptr<io::FileReader>(
                std::make_unique<io::MemoryFileReader>(std::string(bytes)));
        },
        ioOptions);
}

namespace {

void AppendQuoted(std::string& out, std::string_view text) {
    out += '"';
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
}

void AppendKey(std::string& out, std::string_view key) {
    if (out.size() > 1) out += ", ";
    AppendQuoted(out, key);
    out += ": ";
}

void AppendTextOrNull(std::string& out, std::string_view key, const std::string& value) {
    AppendKey(out, key);
    if (value.empty()) {
        out += "null";
    } else {
        AppendQuoted(out, value);
    }
}

}  // namespace

std::string DescriptionToJson(const IndexDescription& d) {
    std::string out = "{";
    AppendKey(out, "kind");
    AppendQuoted(out, d.kind);
    AppendKey(out, "rows");
    out += std::to_string(d.rows);
    AppendKey(out, "dim");
    out += std::to_string(d.dim);
    AppendTextOrNull(out, "metric", d.metric);
    AppendTextOrNull(out, "encoding", d.encoding);
    AppendKey(out, "pq_chunks");
    out += std::to_string(d.pqChunks);
    AppendKey(out, "opq");
    out += d.opq ? "true" : "false";
    AppendKey(out, "params");
    std::string params = "{";
    for (const auto& [key, value] : d.params) {
        AppendKey(params, key);
        AppendQuoted(params, value);
    }
    out += params + "}";
    AppendKey(out, "format_version");
    out += std::to_string(d.formatVersion);
    AppendKey(out, "file_size");
    out += std::to_string(d.fileSize);
    AppendKey(out, "ids_stored");
    out += d.idsStored ? "true" : "false";
    AppendKey(out, "sections");
    out += "[";
    for (size_t i = 0; i < d.sections.size(); ++i) {
        if (i != 0) out += ", ";
        AppendQuoted(out, d.sections[i]);
    }
    out += "]}";
    return out;
}

}  // namespace orvane::api
