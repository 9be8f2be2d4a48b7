// IOSettings read from an IO option map: each key sets its field, an absent
// key or one of another type leaves the default, and a path that is not text
// counts as no path (which the file factories refuse).
#include "orvane/io/IOSettings.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "orvane/api/Options.h"
#include "io/IndexPath.h"

namespace orvane::io {
namespace {

struct SettingsCase {
    const char* what;
    api::IOOptions options;
    std::optional<std::string> path;
    std::string readerType;
    std::string lockMode;
    bool verifyCrc;
};

TEST(IOSettingsTest, OptionsMapToFields) {
    const std::vector<SettingsCase> cases = {
        {"empty map: defaults", {}, std::nullopt, "local", "none", false},
        {"every key",
         {{"index.path", std::string("/tmp/x.idx")},
          {"io.reader.type", std::string("mmap")},
          {"io.reader.mmap.lock_mode", std::string("populate")},
          {"io.verify_crc", true}},
         "/tmp/x.idx",
         "mmap",
         "populate",
         true},
        {"keys of another type keep defaults",
         {{"index.path", int64_t{3}},
          {"io.reader.type", int64_t{1}},
          {"io.reader.mmap.lock_mode", true},
          {"io.verify_crc", std::string("true")}},
         std::nullopt,
         "local",
         "none",
         false},
        {"unknown values are carried for the factory to refuse",
         {{"index.path", std::string("")}, {"io.reader.type", std::string("remote")}},
         "",
         "remote",
         "none",
         false},
    };
    for (const SettingsCase& c : cases) {
        SCOPED_TRACE(c.what);
        const IOSettings settings = c.options;
        EXPECT_EQ(settings.path, c.path);
        EXPECT_EQ(settings.readerType, c.readerType);
        EXPECT_EQ(settings.mmapLockMode, c.lockMode);
        EXPECT_EQ(settings.verifyCrc, c.verifyCrc);
        const auto path = IndexPath(settings);
        EXPECT_EQ(path.IsOk(), c.path.has_value());
        if (!path.IsOk()) {
            EXPECT_EQ(path.GetStatus().Message(), "File path not specified in IOOptions");
        }
    }
}

}  // namespace
}  // namespace orvane::io
