// PartialFile: the temporary name an output file is written under until it is
// complete ("<final>.partial.<pid>"). Destroying an uncommitted PartialFile removes
// the temporary file. While it is alive the file is listed for removal on a signal
// (see io/TempFiles.h and InstallSignalCleanup), and creating one removes the
// partial files that dead processes left beside the same final name.
#pragma once

#include <string>

#include "orvane/core/Status.h"

namespace orvane::tools {

// Makes SIGINT, SIGTERM and SIGHUP remove every temporary file being written (the
// tool's partial files and the library writer's), then end the process with the
// signal's default action. Installed once per process; later calls do nothing.
void InstallSignalCleanup();

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
    int _pendingSlot = -1;
    bool _committed = false;
};

}  // namespace orvane::tools
