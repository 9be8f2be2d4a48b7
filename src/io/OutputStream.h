// OutputStream: writes an index file as a sequence of named sections. The caller
// Inits the stream (which writes the file header), then repeatedly Writes bytes
// into the open section and seals it under a name, and finally Closes the stream,
// which appends the section table, the names and the footer and closes the writer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "orvane/core/NoCopyable.h"
#include "orvane/core/Status.h"
#include "io/FileFormat.h"
#include "orvane/io/FileWriter.h"

namespace orvane::io {

class OutputStream : public core::NoCopyable {
  public:
    // A section record while the file is being written.
    struct SectionMetaWrapper : SectionMeta {
        std::string sectionName;
        bool isSealed = false;
        uint32_t runningCrc = 0;  // unmasked CRC of the section's bytes so far
    };

    explicit OutputStream(std::unique_ptr<FileWriter> writer);
    OutputStream(OutputStream&&) noexcept = default;
    OutputStream& operator=(OutputStream&&) noexcept = default;
    ~OutputStream() = default;

    // Writes the file header and opens the first section. The settings are unused.
    core::Status Init(const IOSettings& settings);
    // Appends bytes to the open section.
    core::Status Write(const char* data, uint64_t size);
    // Pads the open section to a multiple of alignSize, records its CRC and name,
    // and opens the next section.
    core::Status SealSection(std::string_view name, uint64_t alignSize);
    // Writes the in-memory image of a fixed-layout record.
    template <typename T>
    core::Status WriteObj(const T& object) {
        static_assert(std::is_trivially_copyable_v<T>, "WriteObj takes plain records only");
        return Write(reinterpret_cast<const char*>(&object), sizeof(T));
    }
    // Writes table, names and footer and closes the writer.
    core::Status Close();

    // The section records, the open one last (for inspection).
    const std::vector<SectionMetaWrapper>& Sections() const { return _sectionMetaWrappers; }

    // True once a call of the file writer has failed (a write, the length query or
    // the final close): the failure lies in the storage, not in what was written.
    bool WriterFailed() const { return _writerFailed; }

  private:
    // Passes a writer's status through, noting a failure.
    core::Status Track(core::Status status);

    std::unique_ptr<FileWriter> _writer;
    std::vector<SectionMetaWrapper> _sectionMetaWrappers;
    bool _isClosed = false;
    bool _writerFailed = false;
};

}  // namespace orvane::io
