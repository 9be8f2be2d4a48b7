#include "io/FileWriter.h"

#include <string>
#include <variant>

#include "io/LocalFileWriter.h"

namespace orvane::io {

core::Result<std::unique_ptr<FileWriter>> CreateFileWriter(const api::IOOptions& options) {
    const auto& values = options.Values();
    auto it = values.find("index.path");
    if (it == values.end() || !std::holds_alternative<std::string>(it->second)) {
        return core::Status(core::ErrorCode::InvalidArgument,
                            "File path not specified in IOOptions");
    }
    return std::unique_ptr<FileWriter>(
        std::make_unique<LocalFileWriter>(std::get<std::string>(it->second)));
}

}  // namespace orvane::io
