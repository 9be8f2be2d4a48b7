// Fuzz target for the DiskANN storage parsers. The input chooses a node count
// and a dimension and supplies the payloads of the sections, which are put into
// a well-formed container (so that the fuzzer reaches the parsers rather than
// the container's checksums). Then either the searcher's view is loaded and
// every node record read and parsed, or a build checkpoint is restored; a
// success that hands out a neighbour beyond the count, a list longer than the
// degree or an embedding outside the record, or that accepted a header of no
// writable geometry (no neighbour slot, a sector size unfit for the node size,
// no entry point), aborts. Sanitizers catch
// out-of-bounds reads and writes. A third mode opens a whole index (meta,
// encoder and storage sections) with the searcher and searches it: a success
// with duplicate hits or more hits than asked for aborts.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <memory_resource>
#include <string>
#include <vector>

#include "index/diskann/build/BuildMemoryStorage.h"
#include "index/diskann/search/DiskANNSearcherBackend.h"
#include "index/diskann/search/SearchDiskStorage.h"
#include "io/InputStream.h"
#include "io/MemoryFileReader.h"
#include "io/OutputStream.h"
#include "telemetry/Logger.h"

namespace {

using namespace orvane;
using namespace orvane::index::diskann;

struct NullSink : telemetry::LogSink {
    void Write(const telemetry::LogRecord&) override {}
};

bool SilenceLogs() {
    auto& logger = telemetry::Logger::Instance();
    logger.ClearSinks();
    logger.AddSink(std::make_unique<NullSink>());
    return true;
}

class StringWriter : public io::FileWriter {
  public:
    explicit StringWriter(std::string* out) : _out(out) {}
    core::Status Write(const char* data, uint64_t size) override {
        _out->append(data, size);
        return core::Status::Ok();
    }
    core::Status Close() override { return core::Status::Ok(); }
    core::Result<uint64_t> GetLength() override { return uint64_t{_out->size()}; }

  private:
    std::string* _out;
};

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// Cuts the input into length-prefixed (uint16) pieces, the last one taking
// whatever is left.
std::vector<std::string> Pieces(const uint8_t* data, size_t size, size_t count) {
    std::vector<std::string> pieces;
    size_t at = 0;
    for (size_t i = 0; i + 1 < count; ++i) {
        size_t len = 0;
        if (at + 2 <= size) {
            len = data[at] | (size_t{data[at + 1]} << 8);
            at += 2;
        }
        len = std::min(len, size - std::min(at, size));
        pieces.emplace_back(reinterpret_cast<const char*>(data) + std::min(at, size), len);
        at += len;
    }
    pieces.emplace_back(reinterpret_cast<const char*>(data) + std::min(at, size),
                        size - std::min(at, size));
    return pieces;
}

std::unique_ptr<io::InputStream> Container(const std::vector<const char*>& names,
                                           const std::vector<std::string>& payloads) {
    std::string image;
    io::OutputStream out(std::make_unique<StringWriter>(&image));
    if (!out.Init({}).IsOk()) return nullptr;
    for (size_t i = 0; i < names.size(); ++i) {
        if (!out.Write(payloads[i].data(), payloads[i].size()).IsOk() ||
            !out.SealSection(names[i], kSectionAlign).IsOk()) {
            return nullptr;
        }
    }
    if (!out.Close().IsOk()) return nullptr;
    auto stream = std::make_unique<io::InputStream>(std::make_unique<io::MemoryFileReader>(image));
    if (!stream->Open({}).IsOk()) return nullptr;
    return stream;
}

void ExerciseIndex(uint32_t count, uint32_t dimension, const std::vector<std::string>& payloads) {
    auto stream =
        Container({kHeaderSection, kIdsSection, kEntryPointsSection, kLayoutSection}, payloads);
    if (stream == nullptr) return;
    SearchDiskStorage storage;
    if (!storage.Load(*stream, count, dimension).IsOk()) return;
    for (uint32_t e : storage.entryPoints) Check(e < count, "entry point beyond count");
    const StorageHeader& header = storage.Header();
    Check(header.neighborCount >= 1, "accepted a header without neighbour slots");
    Check(header.sectorSize == ChooseSectorSize(storage.GraphNodeSize()),
          "accepted a sector size unfit for the node size");
    if (count == 0) return;
    Check(!storage.entryPoints.empty(), "accepted an index without entry points");
    // With at least one node the layout's size check bounds the record size.
    GraphNodeHolder holder, inPlace;
    holder.Resize(1, storage.GraphNodeSize());
    inPlace.Resize(1, storage.GraphNodeSize());
    std::vector<io::InputStream::SectionReader::ReadRequest> requests(1);
    // The image is held in memory, so its records can also be parsed where
    // they lie; both ways must agree on every record.
    const SearchDiskStorage::RecordView view(storage);
    Check(view.Data() != nullptr, "an image in memory offers no in-place records");
    for (uint32_t id = 0; id < count; ++id) {
        const uint32_t one[] = {id};
        const core::Status copied = storage.ReadNodes(one, holder, 0, 1, requests);
        const core::Status parsed = storage.ReadNodes(one, inPlace, 0, 1, requests, view.Data());
        Check(copied.Code() == parsed.Code(), "in-place parse disagrees with the copy");
        if (!copied.IsOk()) continue;
        Check(std::equal(holder.nodes[0].neighbors.begin(), holder.nodes[0].neighbors.end(),
                         inPlace.nodes[0].neighbors.begin(), inPlace.nodes[0].neighbors.end()),
              "in-place neighbours differ from the copy");
        const GraphNode& node = holder.nodes[0];
        Check(node.neighbors.size() <= storage.Header().neighborCount, "list above degree");
        for (uint32_t u : node.neighbors) Check(u < count, "neighbour beyond count");
        Check(node.embedding.data() >= holder.buffer.data() &&
                  node.embedding.data() + node.embedding.size() <=
                      holder.buffer.data() + holder.buffer.size(),
              "embedding outside the record");
    }
}

void ExerciseCheckpoint(uint32_t count, uint32_t dimension,
                        const std::vector<std::string>& payloads) {
    auto stream = Container({kHeaderSection, kEntryPointsSection, kCkptNeighborDataSection,
                             kCkptNeighborSizeSection, kCkptLastPruningPosSection},
                            payloads);
    if (stream == nullptr) return;
    BuildMemoryStorage storage(std::pmr::get_default_resource());
    StorageCheckpointHeader header;
    if (!storage.LoadFromCheckpoint(*stream, count, dimension, header).IsOk()) return;
    Check(header.buildNodeCount <= count, "built nodes beyond count");
    for (uint32_t e : storage.entryPoints) Check(e < count, "entry point beyond count");
    for (uint32_t v = 0; v < count; ++v) {
        Check(storage.NeighborSize(v) <= storage.NeighborCount(), "list above degree");
        for (uint32_t u : storage.Neighbors(v)) Check(u < count, "neighbour beyond count");
    }
}

void ExerciseSearcher(uint32_t count, uint32_t dimension, uint8_t flags,
                      const std::vector<std::string>& pieces) {
    const DiskANNIndexMeta meta{count, dimension, uint32_t{flags} >> 6};
    const std::string metaBytes(reinterpret_cast<const char*>(&meta), sizeof(meta));
    auto stream = Container({kMetaSection, kEncoderSection, kHeaderSection, kIdsSection,
                             kEntryPointsSection, kLayoutSection},
                            {metaBytes, pieces[0], pieces[1], pieces[2], pieces[3], pieces[4]});
    if (stream == nullptr) return;
    const api::SearcherOptions options{
        {"diskann.search.num_nodes_to_cache", int64_t{(flags >> 2) % 4} * 40}};
    auto created = CreateDiskANNSearcherBackend(dimension, options, core::MemoryResourceConfig{});
    if (!created.IsOk() || !created.Value()->Open(*stream).IsOk()) return;
    std::vector<float> query(dimension, 0.5f);
    const api::SearchOptions search{{"search.topk", int64_t{5}},
                                    {"diskann.search.list_size", int64_t{16}},
                                    {"diskann.search.beam_width", int64_t{(flags >> 4) % 4 + 1}}};
    auto result = created.Value()->Search({query.data(), dimension}, search,
                                          *std::pmr::get_default_resource());
    if (!result.IsOk()) return;
    const auto& hits = result.Value().topk;
    Check(hits.size() <= 5, "more hits than asked for");
    for (size_t i = 0; i < hits.size(); ++i) {
        for (size_t j = 0; j < i; ++j) Check(hits[i].id != hits[j].id, "duplicate hit");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool silenced = SilenceLogs();
    (void)silenced;
    if (size < 4) return 0;
    // Small counts and dimensions keep the allocations of one input bounded.
    const uint32_t count = (data[0] | (uint32_t{data[1]} << 8)) % 2048;
    const uint32_t dimension = data[2] % 64 + 1;
    const bool checkpoint = (data[3] & 1) != 0;
    const bool searcher = (data[3] & 3) == 2;
    const auto pieces = Pieces(data + 4, size - 4, checkpoint || searcher ? 5 : 4);
    if (checkpoint) {
        ExerciseCheckpoint(count, dimension, pieces);
    } else if (searcher) {
        ExerciseSearcher(count, dimension, data[3], pieces);
    } else {
        ExerciseIndex(count, dimension, pieces);
    }
    return 0;
}
