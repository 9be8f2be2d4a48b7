// The C interface's functions beyond building and searching by path: the
// version, describing an index file, moving indexes as byte buffers, and the
// build thread defaults hosts may apply.
// Buffers and texts the library returns are allocated with malloc and freed
// by the caller with orvane_free.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "api/BuildThreadDefaults.h"
#include "orvane/api/IndexDescription.h"
#include "orvane/api/OptionNormalize.h"
#include "orvane/api/Options.h"
#include "orvane/api/Version.h"
#include "ErrorBuffer.h"
#include "Guarded.h"
#include "Handles.h"
#include "JsonOptionMap.h"
#include "orvane/csrc/orvane_c.h"
#include "io/MemoryFileReader.h"
#include "io/MemoryFileWriter.h"

#pragma GCC visibility push(hidden)

namespace orvane::csrc {
namespace {

int FailWith(std::string_view message, char* err, int errLen) {
    CopyError(message, err, errLen);
    return -1;
}

// A malloc'd copy of `bytes` (at least one byte, so an empty image is not null).
char* MallocCopy(std::string_view bytes, bool terminate) {
    char* out = static_cast<char*>(std::malloc(bytes.size() + (terminate ? 1 : 0) + 1));
    if (out == nullptr) return nullptr;
    if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
    if (terminate) out[bytes.size()] = '\0';
    return out;
}

// The typed IO options of a describe or buffer call: the io.* keys of the JSON
// and `path` (a placeholder for buffers, whose readers never open a path).
core::Result<api::IOOptions> IoFromJson(const char* ioJson, const std::string& path) {
    StringMap map = ioJson != nullptr ? parse_json_map(ioJson) : StringMap();
    return api::NormalizeIOOptions(map, path);
}

char* DescribeToJson(core::Result<api::IndexDescription> described, char* err, int errLen) {
    if (!described.IsOk()) {
        CopyError(described.GetStatus().Message(), err, errLen);
        return nullptr;
    }
    char* out = MallocCopy(api::DescriptionToJson(described.Value()), true);
    if (out == nullptr) CopyError("Out of memory", err, errLen);
    return out;
}

constexpr char kBufferPath[] = "<memory>";

}  // namespace
}  // namespace orvane::csrc

#pragma GCC visibility pop

using orvane::csrc::FailWith;
using orvane::csrc::Guarded;

extern "C" {

const char* orvane_version(void) {
    return orvane::api::Version();
}

void orvane_free(void* p) {
    std::free(p);
}

char* orvane_describe(const char* path, const char* io_json, char* err, int err_len) {
    return Guarded<char*>(err, err_len, nullptr, [&]() -> char* {
        if (path == nullptr) {
            FailWith("path must not be null", err, err_len);
            return nullptr;
        }
        auto io = orvane::csrc::IoFromJson(io_json, path);
        if (!io.IsOk()) {
            FailWith(io.GetStatus().Message(), err, err_len);
            return nullptr;
        }
        return orvane::csrc::DescribeToJson(orvane::api::DescribeIndexFile(io.Value()), err,
                                            err_len);
    });
}

char* orvane_describe_buffer(const void* data, uint64_t size, const char* io_json, char* err,
                             int err_len) {
    return Guarded<char*>(err, err_len, nullptr, [&]() -> char* {
        if (data == nullptr && size > 0) {
            FailWith("data must not be null", err, err_len);
            return nullptr;
        }
        auto io = orvane::csrc::IoFromJson(io_json, orvane::csrc::kBufferPath);
        if (!io.IsOk()) {
            FailWith(io.GetStatus().Message(), err, err_len);
            return nullptr;
        }
        const std::string_view bytes(static_cast<const char*>(data), size);
        return orvane::csrc::DescribeToJson(orvane::api::DescribeIndexBuffer(bytes, io.Value()),
                                            err, err_len);
    });
}

unsigned orvane_hardware_threads(void) {
    return orvane::api::HardwareThreads();
}

char* orvane_build_thread_keys(const char* index_type, char* err, int err_len) {
    return Guarded<char*>(err, err_len, nullptr, [&]() -> char* {
        orvane::api::TextOptionMap none;
        std::string keys;
        for (const std::string& key :
             orvane::api::DefaultBuildThreads(none, index_type != nullptr ? index_type : "", 1)) {
            keys += (keys.empty() ? "" : ",") + key;
        }
        char* out = orvane::csrc::MallocCopy(keys, true);
        if (out == nullptr) FailWith("Out of memory", err, err_len);
        return out;
    });
}

int orvane_builder_dump_buffer(orvane_builder_handle* builder, char** out_data, uint64_t* out_size,
                               char* err, int err_len) {
    return Guarded(err, err_len, -1, [&] {
        if (builder == nullptr || !builder->builder) {
            return FailWith("Invalid builder handle", err, err_len);
        }
        if (out_data == nullptr || out_size == nullptr) {
            return FailWith("out_data and out_size must not be null", err, err_len);
        }
        auto io = orvane::api::NormalizeIOOptions(builder->ioOptions, orvane::csrc::kBufferPath);
        if (!io.IsOk()) return FailWith(io.GetStatus().Message(), err, err_len);
        std::string image;
        auto st = builder->builder->Dump(std::make_unique<orvane::io::MemoryFileWriter>(image),
                                         io.Value());
        if (!st.IsOk()) return FailWith(st.Message(), err, err_len);
        char* copy = orvane::csrc::MallocCopy(image, false);
        if (copy == nullptr) return FailWith("Out of memory", err, err_len);
        *out_data = copy;
        *out_size = image.size();
        return 0;
    });
}

int orvane_searcher_open_buffer(orvane_searcher_handle* searcher, const void* data, uint64_t size,
                                char* err, int err_len) {
    return Guarded(err, err_len, -1, [&] {
        if (searcher == nullptr || !searcher->searcher) {
            return FailWith("Invalid searcher handle", err, err_len);
        }
        if (data == nullptr && size > 0) return FailWith("data must not be null", err, err_len);
        auto io = orvane::api::NormalizeIOOptions(searcher->ioOptions, orvane::csrc::kBufferPath);
        if (!io.IsOk()) return FailWith(io.GetStatus().Message(), err, err_len);
        auto reader = std::make_unique<orvane::io::MemoryFileReader>(
            std::string(static_cast<const char*>(data), size));
        auto st = searcher->searcher->Open(std::move(reader), io.Value());
        if (!st.IsOk()) return FailWith(st.Message(), err, err_len);
        (void)searcher->searcher->Attach(searcher->filterExtension);
        return 0;
    });
}

}  // extern "C"
