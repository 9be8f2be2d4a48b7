#include "IndexFile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "ToolOptions.h"
#include "index/IndexKindRegistry.h"
#include "orvane/io/FileReader.h"
#include "io/InputStream.h"

namespace orvane::tools {

using core::ErrorCode;
using core::Result;
using core::Status;

Result<IndexFileInfo> DescribeIndexFile(const std::string& path, const TextOptions& io,
                                        bool verifyCrc) {
    IndexFileInfo info;
    info.path = path;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return Status(ErrorCode::IoError,
                      path + ": cannot open index file: " + std::string(std::strerror(errno)));
    }
    if (!S_ISREG(st.st_mode)) {
        return Status(ErrorCode::InvalidArgument, path + ": not a regular file");
    }
    info.fileSize = static_cast<uint64_t>(st.st_size);

    TextOptions ioText = io;
    ioText.erase("io.verify_crc");  // checked section by section below
    auto ioOptions = MakeIoOptions(ioText, path);
    if (!ioOptions) return ioOptions.TakeStatus();
    auto reader = io::CreateFileReader(ioOptions.Value());
    if (!reader) {
        return Status(reader.GetStatus().Code(),
                      path + ": cannot open index file: " + reader.GetStatus().Message());
    }
    io::InputStream stream(reader.TakeValue());
    Status st2 = stream.Open(ioOptions.Value());
    if (!st2.IsOk()) {
        return Status(st2.Code(), path + ": not a valid index file: " + st2.Message());
    }

    std::vector<std::string> names;
    for (const auto& [name, meta] : stream.SectionMetas()) {
        SectionInfo s;
        s.name = name;
        s.offset = meta.sectionDataOffset;
        s.size = meta.dataSize;
        s.padding = meta.paddingSize;
        if (verifyCrc) {
            auto section = stream.GetSectionReader(name);
            Status crc = section ? section.Value()->VerifyCrc() : section.GetStatus();
            s.crc = crc.IsOk() ? CrcState::kOk : CrcState::kMismatch;
            if (!crc.IsOk()) s.crcError = crc.Message();
        }
        names.push_back(name);
        info.sections.push_back(std::move(s));
    }
    std::sort(info.sections.begin(), info.sections.end(),
              [](const SectionInfo& a, const SectionInfo& b) { return a.offset < b.offset; });

    info.kind = index::KindFromSections(names);
    if (info.kind != nullptr) {
        auto section = stream.GetSectionReader(std::string(info.kind->metaSection));
        if (section) {
            std::vector<char> payload(
                std::min<uint64_t>(section.Value()->SectionPayloadSize(), 64));
            if (section.Value()->Read(0, payload.size(), payload).IsOk()) {
                info.meta = info.kind->decodeMeta(payload);
            }
        }
    }
    (void)stream.Close();
    return info;
}

}  // namespace orvane::tools
