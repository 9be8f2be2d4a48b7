#include "index/bruteforce/BruteforceSections.h"

#include <string>

#include "telemetry/Logger.h"

namespace orvane::index::bruteforce {

using core::ErrorCode;
using core::Status;

Status WriteIndexSections(io::OutputStream& stream, quantizer::QuantizerTrainer& trainer,
                          uint32_t dimension, std::span<const uint64_t> ids) {
    const BruteforceIndexMeta meta{static_cast<uint32_t>(trainer.Count()), dimension};
    ORVANE_RETURN_IF_ERROR(stream.WriteObj(meta));
    ORVANE_RETURN_IF_ERROR(stream.SealSection(kIndexMetaName, kMetaAlignment));

    ORVANE_RETURN_IF_ERROR(trainer.Serialize(
        [&stream](const char* bytes, uint64_t length) { return stream.Write(bytes, length); }));
    ORVANE_RETURN_IF_ERROR(stream.SealSection(kIndexVectorName, kVectorAlignment));

    if (ids.size() != trainer.Count()) {
        ORVANE_LOG_ERROR("Length of VectorIds [%zu] is not equal to expected [%zu].", ids.size(),
                         static_cast<size_t>(trainer.Count()));
        return Status(ErrorCode::Internal, "VectorIds length mismatch");
    }
    if (!ids.empty()) {
        ORVANE_RETURN_IF_ERROR(
            stream.Write(reinterpret_cast<const char*>(ids.data()), ids.size_bytes()));
    }
    return stream.SealSection(kIndexIdsName, kIdsAlignment);
}

core::Result<BruteforceIndexMeta> ReadIndexMeta(io::InputStream& stream) {
    auto reader = stream.GetSectionReader(kIndexMetaName);
    if (!reader.IsOk()) return reader.TakeStatus();
    BruteforceIndexMeta meta;
    ORVANE_RETURN_IF_ERROR(reader.Value()->Read(
        0, sizeof(meta), std::span<char>(reinterpret_cast<char*>(&meta), sizeof(meta))));
    return meta;
}

Status ReadIndexIds(io::InputStream& stream, uint64_t count, const char* shortLog,
                    std::pmr::vector<uint64_t>& ids) {
    auto reader = stream.GetSectionReader(kIndexIdsName);
    if (!reader.IsOk()) return reader.TakeStatus();
    const uint64_t need = count * sizeof(uint64_t);  // count < 2^32: no overflow
    const uint64_t have = reader.Value()->SectionPayloadSize();
    if (have < need) {
        auto& logger = telemetry::Logger::Instance();
        if (logger.ShouldLog(telemetry::LogLevel::Error)) {
            // `shortLog` is one of the fixed texts of the header.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
            std::string message = telemetry::detail::FormatString(
                shortLog, kIndexIdsName, static_cast<size_t>(need), static_cast<size_t>(have));
#pragma GCC diagnostic pop
            logger.Submit(telemetry::LogLevel::Error, telemetry::detail::Basename(__FILE__),
                          std::move(message), __FILE__, __LINE__);
        }
        return Status(ErrorCode::Internal, "Invalid section size for index ids");
    }
    Status read = reader.Value()->ReadArray(0, count, ids);
    if (!read.IsOk()) ids.clear();
    return read;
}

}  // namespace orvane::index::bruteforce
