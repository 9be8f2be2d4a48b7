// Drives every read operation of an InputStream over an arbitrary file image and
// checks what must hold whatever the bytes are: each operation returns a status,
// every section handed out lies inside the file, successful reads return exactly
// the file's bytes, and CRC verification agrees with a CRC computed here. Shared
// by the mutation tests and the fuzz target.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "orvane/api/Options.h"
#include "io/Crc32c.h"
#include "io/FileFormat.h"
#include "io/InputStream.h"

namespace orvane::io::testutil {

struct ExerciseResult {
    bool opened = false;
    int sections = 0;
    std::string violation;  // empty when every invariant held
};

// `inPlace` says whether the reader supports Peek.
inline ExerciseResult ExerciseIndexFile(const std::string& image,
                                        std::unique_ptr<FileReader> reader, bool verify,
                                        bool inPlace) {
    ExerciseResult result;
    auto fail = [&result](std::string what) {
        if (result.violation.empty()) result.violation = std::move(what);
        return result;
    };
    InputStream stream(std::move(reader));
    if (!stream.Open(orvane::api::IOOptions{{"io.verify_crc", verify}}).IsOk()) {
        (void)stream.Close();
        return result;
    }
    result.opened = true;
    if (image.size() < 128) return fail("opened a file smaller than 128 bytes");
    uint64_t tableStart = 0;
    std::memcpy(&tableStart, image.data() + image.size() - 64, sizeof(tableStart));

    for (const auto& [name, meta] : stream.SectionMetas()) {
        ++result.sections;
        if (meta.sectionDataOffset > tableStart ||
            meta.dataSize > tableStart - meta.sectionDataOffset) {
            return fail("section [" + name + "] accepted outside the data area");
        }
        const std::string_view expected(image.data() + meta.sectionDataOffset, meta.dataSize);
        // An empty section passes verification whatever CRC it claims.
        const bool crcMatches =
            meta.dataSize == 0 || Crc32c::Value(expected) == Crc32c::Unmask(meta.dataCrc);

        auto got = stream.GetSectionReader(name);
        if (!got.IsOk()) {
            if (verify && !crcMatches &&
                got.GetStatus().Message() == "Data corruption detected: CRC mismatch.") {
                continue;
            }
            return fail("section [" + name + "] refused: " + got.GetStatus().Message());
        }
        if (verify && !crcMatches) return fail("section [" + name + "] passed a wrong CRC");
        const InputStream::SectionReader& section = *got.Value();
        if (section.SectionSize() != meta.dataSize) return fail("section size differs");

        std::vector<char> buffer(meta.dataSize + 1, '\x5a');
        if (!section.Read(0, meta.dataSize, buffer).IsOk() ||
            std::string_view(buffer.data(), meta.dataSize) != expected) {
            return fail("copying read of [" + name + "] failed or differs");
        }
        std::fill(buffer.begin(), buffer.end(), '\x5a');
        InputStream::SectionReader::ReadRequest whole{0, meta.dataSize, buffer.data(), {}};
        if (!section.ReadBatch({&whole, 1}).IsOk() ||
            std::string_view(buffer.data(), meta.dataSize) != expected) {
            return fail("batch read of [" + name + "] failed or differs");
        }
        auto view = section.Read(0, meta.dataSize);
        if (inPlace) {
            if (!view.IsOk() ||
                std::string_view(view.Value().data(), view.Value().size()) != expected) {
                return fail("in-place read of [" + name + "] failed or differs");
            }
        } else if (view.IsOk()) {
            return fail("in-place read without Peek support succeeded");
        }
        // Reads just past the section are refused by every path.
        const uint64_t past = meta.dataSize + 1;
        InputStream::SectionReader::ReadRequest beyond{past, 0, buffer.data(), {}};
        if (section.Read(0, past, buffer).IsOk() || section.ReadBatch({&beyond, 1}).IsOk() ||
            section.Read(1, meta.dataSize).IsOk() || section.Read(UINT64_MAX, 1).IsOk()) {
            return fail("out-of-bounds read of [" + name + "] succeeded");
        }
        if (section.VerifyCrc().IsOk() != crcMatches) {
            return fail("VerifyCrc of [" + name + "] disagrees with the CRC");
        }
    }
    (void)stream.Close();
    return result;
}

}  // namespace orvane::io::testutil
