#include "api/builder/checkpoint/CkptBinding.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace orvane::api {

using core::ErrorCode;
using core::Status;

namespace {

constexpr uint32_t kBindingVersion = 1;
constexpr size_t kKindBytes = 32;
constexpr std::string_view kCkptOptionPrefix = "extension.build.ckpt.";

// The stored form: fixed fields, then the kind's name padded with zeros.
struct StoredBinding {
    uint32_t version = kBindingVersion;
    uint32_t kindLength = 0;
    uint64_t optionsDigest = 0;
    uint64_t reserved = 0;
    uint64_t rows = 0;
    uint64_t rowsDigest = 0;
    char kind[kKindBytes] = {};
};
static_assert(sizeof(StoredBinding) == 72);

Status AnotherBuild(const std::string& what) {
    return Status(ErrorCode::InvalidArgument, "checkpoint belongs to another build: " + what);
}

uint64_t Finalize(uint64_t h) {
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    return h;
}

}  // namespace

void RowDigest::Mix(uint64_t word) {
    _state = (_state ^ Finalize(word + 0x9E3779B97F4A7C15ull)) * 0x100000001B3ull;
    _state = (_state << 27) | (_state >> 37);
}

void RowDigest::Add(std::span<const float> vector, uint64_t id) {
    Mix(id);
    size_t i = 0;
    for (; i + 2 <= vector.size(); i += 2) {
        uint64_t word = 0;
        std::memcpy(&word, vector.data() + i, sizeof(word));
        Mix(word);
    }
    if (i < vector.size()) {
        uint32_t last = 0;
        std::memcpy(&last, vector.data() + i, sizeof(last));
        Mix(last);
    }
    Mix(vector.size());
}

uint64_t BuilderOptionsDigest(const api::BuilderOptions& options) {
    std::vector<std::pair<std::string, std::string>> entries;
    for (const auto& [key, value] : options.Values()) {
        // How often checkpoints are written does not change what is built.
        if (key.starts_with(kCkptOptionPrefix)) continue;
        entries.emplace_back(key, api::OptionValueToString(value));
    }
    std::sort(entries.begin(), entries.end());
    uint64_t h = 0xCBF29CE484222325ull;
    auto add = [&h](const std::string& text) {
        for (const char c : text) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
        h = (h ^ 0xFF) * 0x100000001B3ull;  // separator
    };
    for (const auto& [key, value] : entries) {
        add(key);
        add(value);
    }
    return h;
}

Status WriteCkptBinding(io::OutputStream& stream, const CkptBinding& binding) {
    StoredBinding stored;
    if (binding.kind.size() > kKindBytes) {
        return Status(ErrorCode::InvalidArgument, "index kind name too long for a checkpoint");
    }
    stored.kindLength = static_cast<uint32_t>(binding.kind.size());
    std::memcpy(stored.kind, binding.kind.data(), binding.kind.size());
    stored.optionsDigest = binding.optionsDigest;
    stored.reserved = binding.reserved;
    stored.rows = binding.rows;
    stored.rowsDigest = binding.rowsDigest;
    ORVANE_RETURN_IF_ERROR(stream.WriteObj(stored));
    return stream.SealSection(kCkptBindingSection, 8);
}

core::Result<CkptBinding> ReadCkptBinding(io::InputStream& stream) {
    if (stream.SectionMetas().count(kCkptBindingSection) == 0) {
        return Status(ErrorCode::FailedPrecondition,
                      "checkpoint is not bound to a build (written by an earlier version); "
                      "remove it to build afresh");
    }
    auto reader = stream.GetSectionReader(kCkptBindingSection);
    if (!reader.IsOk()) return reader.TakeStatus();
    StoredBinding stored;
    if (reader.Value()->SectionPayloadSize() != sizeof(stored)) {
        return Status(ErrorCode::Corruption, "checkpoint binding has the wrong size");
    }
    ORVANE_RETURN_IF_ERROR(reader.Value()->Read(
        0, sizeof(stored), std::span<char>(reinterpret_cast<char*>(&stored), sizeof(stored))));
    if (stored.version != kBindingVersion || stored.kindLength > kKindBytes) {
        return Status(ErrorCode::Corruption, "checkpoint binding of an unknown version");
    }
    CkptBinding binding;
    binding.kind.assign(stored.kind, stored.kindLength);
    binding.optionsDigest = stored.optionsDigest;
    binding.reserved = stored.reserved;
    binding.rows = stored.rows;
    binding.rowsDigest = stored.rowsDigest;
    return binding;
}

Status CheckBuild(const CkptBinding& stored, std::string_view kind, uint64_t optionsDigest) {
    if (stored.kind != kind) {
        return AnotherBuild("it was written by a " + stored.kind + " build, this is a " +
                            std::string(kind) + " build");
    }
    if (stored.optionsDigest != optionsDigest) {
        return AnotherBuild("it was written with other builder options");
    }
    return Status::Ok();
}

Status CheckReserved(const CkptBinding& stored, uint64_t reserved) {
    if (stored.reserved == reserved) return Status::Ok();
    return AnotherBuild("it was written by a build of " + std::to_string(stored.reserved) +
                        " rows, this build has " + std::to_string(reserved));
}

Status CheckRows(const CkptBinding& stored, uint64_t digest) {
    if (stored.rowsDigest == digest) return Status::Ok();
    return AnotherBuild("its " + std::to_string(stored.rows) +
                        " rows differ from the first rows of this build's input");
}

}  // namespace orvane::api
