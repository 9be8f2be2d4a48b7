#include "orvane/io/FileWriter.h"

#include "io/IndexPath.h"
#include "io/LocalFileWriter.h"

namespace orvane::io {

core::Result<std::unique_ptr<FileWriter>> CreateFileWriter(const IOSettings& settings) {
    auto path = IndexPath(settings);
    if (!path.IsOk()) return path.TakeStatus();
    return std::unique_ptr<FileWriter>(std::make_unique<LocalFileWriter>(path.TakeValue()));
}

}  // namespace orvane::io
