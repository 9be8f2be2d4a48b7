#include "PathChecks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "ToolStatus.h"

namespace orvane::tools {

using core::ErrorCode;
using core::Result;
using core::Status;

namespace {

Status SystemError(const std::string& path, const std::string& what, int err) {
    return Status(ErrorCode::IoError, path + ": cannot open " + what + ": " + std::strerror(err));
}

const char* KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

}  // namespace

Status CheckInputFile(const std::string& path, const std::string& what) {
    if (path.empty()) return InvalidInput("empty path given for the " + what);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return SystemError(path, what, errno);
    if (!S_ISREG(st.st_mode)) {
        return InvalidInput(path + ": cannot open " + what + ": " + KindOf(st.st_mode) +
                            ", not a regular file");
    }
    if (::access(path.c_str(), R_OK) != 0) return SystemError(path, what, errno);
    return Status::Ok();
}

Result<std::string> ResolveOutputFile(const std::string& path) {
    namespace fs = std::filesystem;
    if (path.empty()) return InvalidInput("empty output path");
    std::error_code ec;
    // A link is followed to its target, also when the target does not exist yet.
    fs::path target = path;
    for (int hops = 0; hops < 40 && fs::is_symlink(fs::symlink_status(target, ec)); ++hops) {
        const fs::path next = fs::read_symlink(target, ec);
        if (ec) break;
        target = next.is_absolute() ? next : target.parent_path() / next;
    }
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            return InvalidInput(path + ": cannot write: the path exists and is " +
                                std::string(KindOf(st.st_mode)) + ", not a regular file");
        }
    } else if (errno != ENOENT) {
        return Status(ErrorCode::IoError, path + ": cannot write: " + std::strerror(errno));
    }
    // Missing directories are created by the writers: the nearest existing one counts.
    fs::path dir = target.parent_path();
    while (!dir.empty() && !fs::exists(fs::symlink_status(dir, ec))) dir = dir.parent_path();
    if (dir.empty()) dir = ".";
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return InvalidInput(path + ": cannot write: " + dir.string() + " is not a directory");
    }
    if (::access(dir.c_str(), W_OK | X_OK) != 0) {
        return Status(ErrorCode::IoError,
                      path + ": cannot write in " + dir.string() + ": " + std::strerror(errno));
    }
    return target.string();
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

Status CheckNotAnInput(const std::string& output,
                       std::initializer_list<const std::string*> inputs) {
    for (const std::string* input : inputs) {
        if (input != nullptr && !input->empty() && SameFile(output, *input)) {
            return InvalidInput(output + ": the output would overwrite the input file " + *input);
        }
    }
    return Status::Ok();
}

}  // namespace orvane::tools
