#include "encoding/sq8/SQ8StreamReader.h"

namespace orvane::quantizer::detail {

using core::ErrorCode;
using core::Status;

Status ReadSQ8Codes(SectionPayloadReader& in, uint64_t count, dist::dimension_t dim,
                    std::pmr::vector<uint8_t>& codes) {
    if (dim != 0 && count > UINT64_MAX / dim) {
        return Status(ErrorCode::Corruption, "Quantizer size overflow");
    }
    ORVANE_RETURN_IF_ERROR(
        in.ReadArray(count * dim, codes, "Quantizer codes size too large", "SQ8 codes truncated"));
    return in.ExpectEnd();
}

}  // namespace orvane::quantizer::detail
