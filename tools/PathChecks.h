// PathChecks: the checks the tool makes on the paths it is given before it starts
// the long work, so a failure names the path and the system's reason ("No such file
// or directory", "Permission denied") rather than a library text that names nothing,
// and so no input blocks (a FIFO) and no output replaces what it should not (a device
// node, a symbolic link, one of the inputs).
#pragma once

#include <initializer_list>
#include <string>

#include "orvane/core/Result.h"

namespace orvane::tools {

// An existing, readable regular file. `what` names the file's role ("index file").
core::Status CheckInputFile(const std::string& path, const std::string& what);

// The path to write an output named `path` to: a symbolic link's target (so the link
// stays a link), refused when it exists and is not a regular file, or when the
// nearest existing directory above it cannot be written.
core::Result<std::string> ResolveOutputFile(const std::string& path);

// True when both paths name the same existing file.
bool SameFile(const std::string& a, const std::string& b);

// Refuses an output that is one of the inputs (empty input paths are skipped).
core::Status CheckNotAnInput(const std::string& output,
                             std::initializer_list<const std::string*> inputs);

}  // namespace orvane::tools
