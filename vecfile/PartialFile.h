// PartialFile: the temporary name an output file is written under until it is
// complete. Destroying an uncommitted PartialFile removes the temporary file, and so
// does SIGINT, SIGTERM or SIGHUP while it is alive (the signal is then re-raised with
// its default action), so an aborted build never leaves a half-written index behind.
// One PartialFile may be alive at a time per process.
#pragma once

#include <string>

#include "api/Status.h"

namespace orvane::tools {

class PartialFile {
  public:
    explicit PartialFile(std::string finalPath);
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;
    ~PartialFile();

    const std::string& TempPath() const { return _tempPath; }
    const std::string& FinalPath() const { return _finalPath; }
    // Renames the temporary file to the final name.
    core::Status Commit();

  private:
    std::string _finalPath;
    std::string _tempPath;
    bool _committed = false;
};

}  // namespace orvane::tools
