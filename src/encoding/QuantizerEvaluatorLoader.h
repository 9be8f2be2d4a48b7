// LoadQuantizerEvaluator: reads the QuantizerMeta at offset 0 of a section and
// creates the evaluator instance for its (encoding, metric) pair. It reads
// nothing beyond the meta; the caller then calls Open or Load. Returns null,
// with an Error log line, for a null reader, a payload shorter than the meta,
// a failed read or a pair without an evaluator.
#pragma once

#include <memory>
#include <memory_resource>

#include "encoding/QuantizerEvaluatorBase.h"

namespace orvane::quantizer {

std::unique_ptr<QuantizerEvaluatorBase> LoadQuantizerEvaluator(
    const std::shared_ptr<io::InputStream::SectionReader>& reader,
    std::pmr::memory_resource& resource);

}  // namespace orvane::quantizer
