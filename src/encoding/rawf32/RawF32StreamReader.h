// ReadRawF32Rows: reads the rawf32 per-vector part of a quantizer stream,
// shared by the rawf32 trainer (checkpoint resume) and evaluator (search) so
// that both apply the same size checks and report the same Corruption
// messages. The rows change only when everything read is complete.
#pragma once

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <vector>

#include "orvane/core/Status.h"
#include "distance/MetricE.h"
#include "io/InputStream.h"

namespace orvane::quantizer::detail {

// count rows of dim floats at `offset` of the section into `rows`. Corruption:
// "Quantizer payload is smaller than meta size" (offset past the payload),
// "Quantizer data size overflow", "Quantizer data size mismatch" (payload too
// short), "Quantizer data size too large". `dim` must not be 0.
core::Status ReadRawF32Rows(const std::shared_ptr<io::InputStream::SectionReader>& reader,
                            uint64_t offset, uint64_t count, dist::dimension_t dim,
                            std::pmr::vector<float>& rows);

}  // namespace orvane::quantizer::detail
