// The section IO shared by the bruteforce index file and its build
// checkpoints, which hold the same three sections (BruteforceIndexMeta.h):
// the builder writes them in Dump and in every checkpoint; the searcher's Open
// and the builder's resume read the meta record and the ids back.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <span>
#include <vector>

#include "orvane/core/Result.h"
#include "orvane/core/Status.h"
#include "encoding/QuantizerTrainer.h"
#include "index/bruteforce/BruteforceIndexMeta.h"
#include "io/InputStream.h"
#include "io/OutputStream.h"

namespace orvane::index::bruteforce {

// Writes and seals the meta (count = the trainer's rows, low 32 bits), the
// trainer's quantizer stream and the ids. Internal "VectorIds length
// mismatch" (logged) when the ids do not match the trainer's rows. The
// stream is left open for the caller to Close.
core::Status WriteIndexSections(io::OutputStream& stream, quantizer::QuantizerTrainer& trainer,
                                uint32_t dimension, std::span<const uint64_t> ids);

// The meta record at offset 0 of the meta section; the errors of the stream
// and the read unchanged.
core::Result<BruteforceIndexMeta> ReadIndexMeta(io::InputStream& stream);

// Reads `count` ids from the ids section into `ids`. A payload shorter than
// count * 8 bytes is logged at Error with `shortLog` (a printf text taking the
// section name and the needed and found byte counts) and refused with
// Internal "Invalid section size for index ids"; nothing is allocated then.
core::Status ReadIndexIds(io::InputStream& stream, uint64_t count, const char* shortLog,
                          std::pmr::vector<uint64_t>& ids);

// The log texts of a short ids section, as the searcher and the resume word them.
inline constexpr char kShortIdsSearcherLog[] =
    "Invalid section size for [%s], expected at least [%zu] bytes, got [%zu]";
inline constexpr char kShortIdsResumeLog[] =
    "Invalid section size for [%s], expected at least %zu bytes, got %zu";

}  // namespace orvane::index::bruteforce
