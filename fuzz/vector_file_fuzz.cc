// Fuzz target for the vector file header parsers: the input is taken as a whole
// file of every format (.fvecs, .fbin, .npy, .bin), held in an anonymous memory
// file, and parsed. An accepted layout must fit the file: its rows end exactly at
// the end of the data (whole rows for the vecs format). Sanitizers catch
// out-of-bounds reads in the parsers.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "VectorFileFormats.h"

namespace {

using orvane::tools::ElementType;
using orvane::tools::FileProbe;
using orvane::tools::VectorFileLayout;
using orvane::tools::VectorFormat;

void Check(const FileProbe& probe, const VectorFileLayout& l) {
    if (l.dim == 0 || l.dataOffset > probe.Size()) std::abort();
    const uint64_t data = probe.Size() - l.dataOffset;
    if (l.format == VectorFormat::kVecs) {
        if (data % l.rowStride != 0 || data / l.rowStride != l.rows) std::abort();
    } else if (l.rows * l.rowStride != data) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int fd = memfd_create("vector_file_fuzz", 0);
    if (fd < 0) return 0;
    size_t written = 0;
    while (written < size) {
        ssize_t n = ::write(fd, data + written, size - written);
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
    const std::string path = "fuzz-input";
    const FileProbe probe(path, fd, written);
    for (auto parse : {&orvane::tools::ParseVecsFile, &orvane::tools::ParseBinFile,
                       &orvane::tools::ParseNpyFile, &orvane::tools::ParseRawFile}) {
        auto layout = parse(probe, ElementType::kFloat32);
        if (layout.IsOk()) Check(probe, layout.Value());
    }
    ::close(fd);
    return 0;
}
