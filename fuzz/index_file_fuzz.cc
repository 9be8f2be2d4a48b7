// Fuzz target for the index file reader: the input is taken as a whole index
// file, opened through an in-memory reader with and without CRC verification,
// and every section is read by every path and verified. Any broken invariant
// (see IndexFileExercise.h) aborts; sanitizers catch out-of-bounds reads.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "../tests/io/IndexFileExercise.h"
#include "FuzzLogs.h"
#include "io/FileFormat.h"
#include "io/MemoryFileReader.h"

namespace {

void Exercise(const std::string& image) {
    for (bool verify : {false, true}) {
        auto result = orvane::io::testutil::ExerciseIndexFile(
            image, std::make_unique<orvane::io::MemoryFileReader>(image), verify, true);
        if (!result.violation.empty()) {
            std::fprintf(stderr, "invariant broken: %s\n", result.violation.c_str());
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool silenced = orvane::fuzz::SilenceLogs();
    (void)silenced;
    std::string image(reinterpret_cast<const char*>(data), size);
    Exercise(image);
    // Random bytes almost never carry valid header and footer CRCs; re-signing
    // them lets the fuzzer reach the section table and the section readers.
    if (image.size() >= 128) {
        orvane::io::FileHeader header;
        std::memcpy(&header, image.data(), sizeof(header));
        header.headerCrc = orvane::io::ComputeHeaderCrc(header);
        std::memcpy(image.data(), &header, sizeof(header));
        orvane::io::FileFooter footer;
        std::memcpy(&footer, image.data() + image.size() - 64, sizeof(footer));
        footer.footerCrc = orvane::io::ComputeFooterCrc(footer);
        std::memcpy(image.data() + image.size() - 64, &footer, sizeof(footer));
        Exercise(image);
    }
    return 0;
}
