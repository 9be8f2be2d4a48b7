// Fuzz target for the quantizer stream readers: the input is taken as the
// payload of a quantizer section and read by the evaluator loader, Open,
// Load, scoring, and Deserialize into fresh trainers. Any broken invariant
// (see QuantizerStreamExercise.h) aborts; sanitizers catch out-of-bounds
// reads and oversized allocations.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "../tests/encoding/QuantizerStreamExercise.h"
#include "FuzzLogs.h"

namespace {

void Exercise(const std::string& payload) {
    const std::string violation = orvane::quantizer::testutil::ExerciseQuantizerStream(payload);
    if (!violation.empty()) {
        std::fprintf(stderr, "invariant broken: %s\n", violation.c_str());
        std::abort();
    }
}

uint32_t Field(const std::string& payload, size_t offset) {
    uint32_t value = 0;
    std::memcpy(&value, payload.data() + offset, sizeof(value));
    return value;
}

void SetField(std::string& payload, size_t offset, uint32_t value) {
    std::memcpy(payload.data() + offset, &value, sizeof(value));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool silenced = orvane::fuzz::SilenceLogs();
    (void)silenced;
    std::string payload(reinterpret_cast<const char*>(data), size);
    Exercise(payload);
    // Random metas almost never name a known pair with sizes that fit the
    // payload; folding them into range lets the fuzzer reach the model and
    // per-vector parts.
    if (payload.size() >= 20) {
        SetField(payload, 4, Field(payload, 4) % 64);
        SetField(payload, 8, Field(payload, 8) % 64);
        SetField(payload, 12, Field(payload, 12) % 3);
        SetField(payload, 16, Field(payload, 16) % 3);
        Exercise(payload);
    }
    return 0;
}
