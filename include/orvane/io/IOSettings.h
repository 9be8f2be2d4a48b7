// IOSettings: what the file layer needs to know to open or create an index
// file, as a plain value: the path ("index.path"), the reader type
// ("io.reader.type": "local" or "mmap"), the mmap lock mode
// ("io.reader.mmap.lock_mode") and whether sections are checked against their
// checksums when first read ("io.verify_crc").
//
// It is read from an option map by its converting constructor, which takes any
// map with the `Values()` / `GetString` / `GetBool` members of the library's
// option maps, so the file layer depends on no type above it. An absent key, or
// one holding another type, takes the default below.
#pragma once

#include <optional>
#include <string>
#include <variant>

namespace orvane::io {

struct IOSettings {
    std::optional<std::string> path;  // nullopt when "index.path" is absent or not text
    std::string readerType = "local";
    std::string mmapLockMode = "none";
    bool verifyCrc = false;

    IOSettings() = default;

    template <typename OptionMap>
    requires requires(const OptionMap& options) {
        options.Values();
        options.GetString(std::string(), std::string());
        options.GetBool(std::string(), false);
    }
    IOSettings(const OptionMap& options)  // NOLINT(google-explicit-constructor)
        : readerType(options.GetString("io.reader.type", "local")),
          mmapLockMode(options.GetString("io.reader.mmap.lock_mode", "none")),
          verifyCrc(options.GetBool("io.verify_crc", false)) {
        const auto& values = options.Values();
        const auto it = values.find("index.path");
        if (it != values.end()) {
            if (const auto* text = std::get_if<std::string>(&it->second)) path = *text;
        }
    }
};

}  // namespace orvane::io
