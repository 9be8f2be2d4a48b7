// LocalCkptManager: a ready-made CkptManager over a local directory.
//
// Checkpoints are files named "ckpt-NNNNNN.idx" (the number zero-padded to six
// digits, growing wider past 999999), numbered upwards from one past the
// highest number present. Each is written through a LocalFileWriter, so it
// appears under its name only when its writer closed successfully; a build
// that dies mid-checkpoint leaves no visible file behind. After each
// successful checkpoint the older ones are pruned to the newest `keep` files.
//
// On resume the newest complete checkpoint is used: one whose container opens
// (header, footer and section table valid) and whose every section matches
// its CRC. A newer file that fails this check is renamed aside to
// "<name>.damaged" (and logged) so it neither hides the older complete one nor
// takes a slot of the kept ones; nothing is deleted on resume.
//
// The directory belongs to one build at a time: the manager holds an
// exclusive lock on "<dir>/LOCK" while it lives. Created with
// CreateLocalCkptManager, which makes a missing directory and checks that it
// is writable before any work starts. Used from one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "orvane/core/Result.h"
#include "orvane/core/Status.h"
#include "api/builder/checkpoint/CkptManager.h"

namespace orvane::api {

struct LocalCkptOptions {
    // Checkpoints kept after pruning; at least 1.
    uint32_t keep = 2;
};

class LocalCkptManager : public CkptManager {
  public:
    ~LocalCkptManager() override;

    std::unique_ptr<io::FileWriter> CreateCkptFileWriter() override;
    core::Result<bool> HasCkptFile() override;
    std::unique_ptr<io::FileReader> GetCkptFileReader() override;

    const std::string& Directory() const { return _dir; }
    // The checkpoint HasCkptFile chose to resume from; empty when none.
    std::string ResumePath() const;

    // "ckpt-000042.idx" for 42.
    static std::string FileName(uint64_t number);
    // The number of a checkpoint file name, or 0 when the name is not one.
    static uint64_t ParseFileName(const std::string& name);
    // Whether the file is a complete checkpoint: its container opens and every
    // section's CRC matches. The failing status otherwise.
    static core::Status CheckComplete(const std::string& path);

  private:
    friend core::Result<std::unique_ptr<CkptManager>> CreateLocalCkptManager(
        const std::string&, const LocalCkptOptions&);

    LocalCkptManager(std::string dir, LocalCkptOptions options, int lockFd);

    // The newest complete checkpoint's number (0 when there is none), setting
    // newer damaged ones aside.
    core::Result<uint64_t> FindNewestComplete();

    std::string _dir;
    LocalCkptOptions _options;
    int _lockFd;
    // The checkpoint HasCkptFile found complete, so that GetCkptFileReader
    // need not verify it again; 0 when none was found yet.
    uint64_t _resumeNumber = 0;
};

// Opens (creating when missing) the checkpoint directory `dir`. Fails with
// IoError naming the path and the system's reason when the directory cannot
// be created or written, FailedPrecondition when another manager holds it,
// InvalidArgument for an empty path or a keep of 0.
core::Result<std::unique_ptr<CkptManager>> CreateLocalCkptManager(
    const std::string& dir, const LocalCkptOptions& options = {});

// Removes the checkpoints of `dir` (complete, temporary and set-aside ones), as a
// build does once its index is written; other files stay. IoError naming the file
// when one cannot be removed.
core::Status RemoveLocalCheckpoints(const std::string& dir);

}  // namespace orvane::api
