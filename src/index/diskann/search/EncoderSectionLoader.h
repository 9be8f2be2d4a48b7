// LoadEncoderEvaluator: opens the in-memory encoding of a DiskANN index from
// its encoder section, with every code in memory. The section holds either a
// whole quantizer stream (meta first) or, for an index whose node records were
// reordered, the pq stream written row by row in layout order without the
// meta and with the OPQ rotation after the codes. The second form is
// recognised by its first word (a meta's version is 0, a pq header's chunk
// count is not) and rearranged in memory into the first before it is opened,
// so that code row k belongs to node k in both.
#pragma once

#include <memory>
#include <memory_resource>

#include "orvane/core/Result.h"
#include "index/diskann/format/DiskANNRecords.h"
#include "encoding/QuantizerEvaluatorBase.h"
#include "io/InputStream.h"

namespace orvane::index::diskann {

// The reader of a whole quantizer stream over the encoder section: the
// section's own reader, or one over the rearranged bytes of a reordered
// index. Corruption when a reordered stream's sizes do not fit the section.
core::Result<std::shared_ptr<io::InputStream::SectionReader>> EncoderStreamReader(
    io::InputStream& stream, const DiskANNIndexMeta& meta);

}  // namespace orvane::index::diskann
