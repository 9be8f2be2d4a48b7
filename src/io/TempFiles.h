// TempFiles: the temporary files written beside a target before they are renamed
// into place, and their cleanup.
//
// Names are "<target><tag><pid>" or "<target><tag><pid>.<more>", so the process that
// wrote one can be told from its name. Files being written are listed in a fixed
// table that a signal handler may walk (RemovePendingTempFiles is async-signal-safe),
// so a process stopped by SIGINT, SIGTERM or SIGHUP can remove them before it dies.
// Files left by a process that died without cleaning up (SIGKILL, a crash) are
// removed by the next writer of the same target (RemoveStaleTempFiles).
#pragma once

#include <string>
#include <string_view>

namespace orvane::io {

// Lists `path` as being written; returns a slot for UnregisterPendingTempFile, or -1
// when the table is full or the path too long (the file is then not removed on a
// signal, and nothing else changes).
int RegisterPendingTempFile(const std::string& path);
void UnregisterPendingTempFile(int slot);

// Unlinks every listed file. Async-signal-safe: for signal handlers of the host.
void RemovePendingTempFiles() noexcept;

// Removes the files named "<target><tag><pid>[.<anything>]" beside `target` whose
// writing process no longer exists. Files of live processes are left alone.
void RemoveStaleTempFiles(const std::string& target, std::string_view tag);

}  // namespace orvane::io
