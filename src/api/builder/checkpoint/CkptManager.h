// CkptManager: storage for build checkpoints, implemented by the caller (or
// taken ready-made, see LocalCkptManager.h). The library asks it for a fresh
// writer per checkpoint and, when resuming, for a reader over the checkpoint
// to resume from. Where checkpoints live, how many are kept and which one is
// the latest are the manager's business. The library calls a manager from one
// thread at a time. Implementations should not throw; an exception escaping
// one of these calls is treated as a failure of that call.
#pragma once

#include <memory>

#include "orvane/core/NoCopyable.h"
#include "orvane/core/Result.h"
#include "orvane/io/FileReader.h"
#include "orvane/io/FileWriter.h"

namespace orvane::api {

class CkptManager : public core::NoCopyable {
  public:
    CkptManager() = default;
    virtual ~CkptManager() = default;

    // A writer receiving one new checkpoint, or null when none can be made.
    // The checkpoint counts as written only once the writer's Close succeeded.
    virtual std::unique_ptr<io::FileWriter> CreateCkptFileWriter() = 0;
    // Whether a checkpoint exists to resume from.
    virtual core::Result<bool> HasCkptFile() = 0;
    // A reader over the checkpoint to resume from, or null when there is none.
    virtual std::unique_ptr<io::FileReader> GetCkptFileReader() = 0;
};

}  // namespace orvane::api
