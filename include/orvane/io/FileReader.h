// FileReader: the byte source an index file is read from. Besides sequential reads
// from a current position it offers positioned asynchronous reads, which neither use
// nor move the position, and, where the bytes are held in memory, in-place views.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "orvane/core/NoCopyable.h"
#include "orvane/core/Result.h"
#include "orvane/core/Status.h"
#include "orvane/io/IOSettings.h"

namespace orvane::io {

class FileReader : public core::NoCopyable {
  public:
    // Receives the outcome of an asynchronous read, exactly once.
    using Completion = std::function<void(core::Status)>;

    // A view of bytes held by the reader, valid until the reader is closed.
    struct PeekResult {
        const char* data = nullptr;
        uint64_t size = 0;
    };

    FileReader() = default;
    virtual ~FileReader() = default;

    // Reads `size` bytes at the current position and advances it.
    virtual core::Status Read(char* data, uint64_t size) = 0;
    virtual core::Status Close() = 0;
    virtual core::Result<uint64_t> GetLength() = 0;
    virtual core::Result<uint64_t> GetPosition() = 0;
    virtual core::Status Seek(uint64_t offset) = 0;
    // Reads `size` bytes at absolute `offset` into `data`, then calls `completion`.
    // The default has no asynchronous support and completes with "Unimplemented.".
    virtual void ReadAsync(char* data, uint64_t size, uint64_t offset, Completion completion);
    // A view of up to `size` bytes at `offset`. The default returns NotSupported.
    virtual core::Result<PeekResult> Peek(uint64_t offset, uint64_t size);
    // The read of ReadAsync, done on the calling thread when that needs no wait
    // (bytes held in memory, or a local file's bytes in the page cache): its
    // status, or nullopt when the read would have to wait; the caller then
    // issues it with ReadAsync. The default always answers nullopt.
    virtual std::optional<core::Status> TryReadNow(char* data, uint64_t size, uint64_t offset);
    // In-place access for a scope, for readers that hold the whole file in
    // memory: the address of the file's first byte, or null when the bytes
    // are not held (a reader that copies, nothing mapped, or closed). After a
    // non-null answer the bytes stay valid, and Close waits, until the
    // matching EndInPlace. The default holds nothing.
    virtual const char* BeginInPlace() { return nullptr; }
    // Ends the scope of a BeginInPlace that answered non-null.
    virtual void EndInPlace() {}
};

// ReadGate: counts the reads in flight on a reader, so that closing can refuse
// new reads and wait for the admitted ones before it frees what they read
// from. Entering and leaving cost one atomic operation each.
class ReadGate : public core::NoCopyable, public core::NoMoveable {
  public:
    // Admits a read; false once closing has begun (the read must be refused).
    bool Enter();
    // Ends an admitted read.
    void Leave();
    // Refuses new reads from now on and waits until every admitted read has
    // left. Concurrent callers all wait.
    void CloseAndWait();
    // Admits reads again, for a reader that is opened anew; no read may be in
    // flight and no close in progress.
    void Reopen();

    // Holds one admitted read for a scope.
    class Pass : public core::NoCopyable, public core::NoMoveable {
      public:
        explicit Pass(ReadGate& gate) : _gate(gate), _admitted(gate.Enter()) {}
        ~Pass() {
            if (_admitted) _gate.Leave();
        }
        bool Admitted() const { return _admitted; }

      private:
        ReadGate& _gate;
        const bool _admitted;
    };

  private:
    static constexpr uint64_t kClosing = uint64_t{1} << 63;

    std::atomic<uint64_t> _state{0};  // kClosing | reads in flight
    std::mutex _mutex;
    std::condition_variable _drainedCv;
    bool _drained = false;  // guarded by _mutex
};

// Creates the reader of the settings' reader type ("local", or "mmap" with the
// settings' lock mode) for the file at the settings' path.
core::Result<std::unique_ptr<FileReader>> CreateFileReader(const IOSettings& settings);

}  // namespace orvane::io
