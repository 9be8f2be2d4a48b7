// DemoIndexMeta: the payload of the demo index's meta section, and the names
// of the sections the demo kind writes.
#pragma once

#include <cstdint>

namespace orvane::index::demo {

inline constexpr const char* kMetaSection = "demo.section.meta";
inline constexpr const char* kVectorSection = "demo.section.vector";

struct DemoIndexMeta {
    uint32_t count = 0;
    uint32_t dimension = 0;
};
static_assert(sizeof(DemoIndexMeta) == 8, "the meta record is 8 bytes on disk");

}  // namespace orvane::index::demo
