// InnerCkptManager: the library's side of a caller's CkptManager. Back ends
// that support checkpoints receive one from the checkpoint extension and use
// it to write each checkpoint as a fresh index-file container and to open the
// checkpoint to resume from. A manager that yields no writer or reader, or
// throws, makes the stream operations answer "nothing"; the reason is logged
// at Warn and kept in LastError() so a back end can report it.
#pragma once

#include <memory>

#include "orvane/core/NoCopyable.h"
#include "orvane/core/Result.h"
#include "orvane/core/Status.h"
#include "api/builder/checkpoint/CkptManager.h"
#include "io/InputStream.h"
#include "io/OutputStream.h"

namespace orvane::api {

class InnerCkptManager : public core::NoCopyable {
  public:
    explicit InnerCkptManager(std::unique_ptr<CkptManager> ckptManager);
    ~InnerCkptManager() = default;

    // A stream over a new checkpoint writer with the file header already
    // written, or null. The caller writes and seals its sections and Closes it.
    std::unique_ptr<io::OutputStream> CreateOutputStream();
    // The manager's HasCkptFile(); a missing manager or an exception gives
    // FailedPrecondition or Internal.
    core::Result<bool> HasInputStream();
    // The checkpoint to resume from, opened (header, footer and section table
    // checked), or null. Its section readers verify the section's CRC when
    // first handed out, so damaged data fails with Corruption.
    std::unique_ptr<io::InputStream> GetInputStream();

    // Why the last CreateOutputStream or GetInputStream returned null; Ok after
    // one that succeeded.
    const core::Status& LastError() const { return _lastError; }

  private:
    std::unique_ptr<CkptManager> _ckptManager;
    core::Status _lastError;
};

}  // namespace orvane::api
