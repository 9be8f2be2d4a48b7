// CkptBinding: what ties a build checkpoint to the build that wrote it, so that a
// builder resumes only its own build: the index kind, a digest of the builder
// options, the reserved row count, and the number and a running digest of the input
// rows (vectors and ids, in insertion order) that the checkpoint holds. Stored as
// the section "ckpt.section.binding" of every checkpoint; a checkpoint without it
// (written before checkpoints carried a binding) is refused, never resumed.
//
// A resuming builder checks the kind and options when it loads the checkpoint
// (CheckBuild), the reserved count at Reserve (CheckReserved), and feeds the rows
// handed to it again into a RowDigest, comparing at the checkpointed row count
// (CheckRows). Every refusal is InvalidArgument "checkpoint belongs to another
// build: " followed by what differs.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "orvane/api/Options.h"
#include "orvane/core/Result.h"
#include "orvane/core/Status.h"
#include "io/InputStream.h"
#include "io/OutputStream.h"

namespace orvane::api {

inline constexpr const char* kCkptBindingSection = "ckpt.section.binding";

// A running 64-bit digest of rows; equal rows in equal order give equal values.
class RowDigest {
  public:
    void Add(std::span<const float> vector, uint64_t id);
    uint64_t Value() const { return _state; }

  private:
    void Mix(uint64_t word);
    uint64_t _state = 0x9E3779B97F4A7C15ull;
};

struct CkptBinding {
    std::string kind;
    uint64_t optionsDigest = 0;
    uint64_t reserved = 0;
    uint64_t rows = 0;
    uint64_t rowsDigest = 0;
};

// A digest of every option (key and value) but the checkpoint schedule's
// (extension.build.ckpt.*), independent of the map's order.
uint64_t BuilderOptionsDigest(const api::BuilderOptions& options);

// Writes and seals the binding section.
core::Status WriteCkptBinding(io::OutputStream& stream, const CkptBinding& binding);

// Reads the binding section: FailedPrecondition when the checkpoint has none,
// Corruption when it is malformed.
core::Result<CkptBinding> ReadCkptBinding(io::InputStream& stream);

// Refusals of a resume (Ok when the checkpoint is this build's).
core::Status CheckBuild(const CkptBinding& stored, std::string_view kind, uint64_t optionsDigest);
core::Status CheckReserved(const CkptBinding& stored, uint64_t reserved);
core::Status CheckRows(const CkptBinding& stored, uint64_t digest);

}  // namespace orvane::api
