// Non-owning views over encoded vectors, shared by every encode space: a row's
// code bytes plus optional auxiliary bytes (e.g. a per-vector header), a batch
// of rows at fixed strides, and the writable builders that encoders fill.
#pragma once

#include <cstdint>
#include <span>

namespace orvane::dist::encode_space {

// One encoded row. `aux` is null where the encoding has no auxiliary bytes.
struct EncodedRow {
    const uint8_t* data = nullptr;
    uint64_t bytes = 0;
    const uint8_t* aux = nullptr;
    uint64_t auxBytes = 0;
};

// n rows: row i's codes start at base + i * stride, its auxiliary bytes at
// auxBase + i * auxStride.
struct EncodedBatch {
    const uint8_t* base = nullptr;
    uint64_t stride = 0;
    const uint8_t* auxBase = nullptr;
    uint64_t auxStride = 0;
    uint64_t n = 0;

    EncodedRow Row(uint64_t i) const {
        return EncodedRow{base + i * stride, stride,
                          auxBase == nullptr ? nullptr : auxBase + i * auxStride, auxStride};
    }
};

// Where an encoder writes one row: its code bytes and its auxiliary bytes.
struct EncodedRowBuilder {
    std::span<uint8_t> data;
    std::span<uint8_t> aux;
};

// Where a batch encoder writes n rows, at the given strides.
struct EncodedBatchBuilder {
    std::span<uint8_t> data;
    std::span<uint8_t> aux;
    uint64_t n = 0;
    uint32_t stride = 0;
    uint32_t auxStride = 0;
};

}  // namespace orvane::dist::encode_space
