// IndexKinds: what the tool knows about each index kind, one table row per kind: the
// `index.type` string, where its meta section keeps the vector count and dimension
// (for `orvane info` and for opening an index without being told its kind), and the
// options the demo builds and searches it with. A new kind is one more row.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace orvane::tools {

using OptionPair = std::pair<std::string_view, std::string_view>;

struct IndexKindInfo {
    std::string_view type;         // the `index.type` string
    std::string_view metaSection;  // the section holding count and dimension
    uint32_t countOffset;          // byte offset of the vector count in its payload
    uint32_t countBytes;           // 4 or 8 (little-endian unsigned)
    uint32_t dimOffset;            // byte offset of the u32 dimension
    std::span<const OptionPair> demoBuildOptions;
    std::span<const OptionPair> demoSearchOptions;
};

std::span<const IndexKindInfo> AllIndexKinds();
const IndexKindInfo* FindIndexKind(std::string_view type);
// The kind whose meta section is present among the given section names.
const IndexKindInfo* KindFromSections(std::span<const std::string> sectionNames);

struct CountAndDim {
    uint64_t count = 0;
    uint32_t dim = 0;
};
// Decodes count and dimension from a meta section payload; nullopt when too short.
std::optional<CountAndDim> DecodeKindMeta(const IndexKindInfo& kind, std::span<const char> payload);

// "demo, bruteforce, ..." for messages.
std::string KindNames();

}  // namespace orvane::tools
