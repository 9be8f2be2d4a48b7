#include "api/builder/checkpoint/LocalCkptManager.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "orvane/api/Options.h"
#include "io/InputStream.h"
#include "io/LocalFileWriter.h"
#include "telemetry/Logger.h"

namespace orvane::api {

using core::ErrorCode;
using core::Status;
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPrefix = "ckpt-";
constexpr std::string_view kSuffix = ".idx";
constexpr std::string_view kTempMark = "tmp";
constexpr std::string_view kDamagedSuffix = ".damaged";
constexpr const char* kLockName = "LOCK";

enum class EntryKind { kCheckpoint, kTemp, kDamaged, kOther };

struct Entry {
    EntryKind kind = EntryKind::kOther;
    uint64_t number = 0;
    std::string name;
};

// Sorts a directory entry name into checkpoint, writer temporary ("ckpt-N.idx.tmp.*"),
// set-aside damaged checkpoint ("ckpt-N.idx.damaged") or anything else.
Entry Classify(const std::string& name) {
    if (const uint64_t n = LocalCkptManager::ParseFileName(name); n != 0) {
        return {EntryKind::kCheckpoint, n, name};
    }
    // A writer's temporary carries the target name and a "tmp" mark; where the
    // writer puts them in the name is its own business.
    if (const size_t start = name.find(kPrefix); start != std::string::npos) {
        const size_t end = name.find(kSuffix, start);
        if (end != std::string::npos && name.find(kTempMark, end) != std::string::npos) {
            const uint64_t n =
                LocalCkptManager::ParseFileName(name.substr(start, end + kSuffix.size() - start));
            if (n != 0) return {EntryKind::kTemp, n, name};
        }
    }
    if (name.size() > kDamagedSuffix.size() && name.ends_with(kDamagedSuffix)) {
        const uint64_t n =
            LocalCkptManager::ParseFileName(name.substr(0, name.size() - kDamagedSuffix.size()));
        if (n != 0) return {EntryKind::kDamaged, n, name};
    }
    return {};
}

// Every classified entry of the directory.
core::Result<std::vector<Entry>> ListEntries(const std::string& dir) {
    std::vector<Entry> entries;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        Entry entry = Classify(it->path().filename().string());
        if (entry.kind != EntryKind::kOther) entries.push_back(std::move(entry));
    }
    if (ec) {
        return Status(ErrorCode::IoError,
                      "Failed to list checkpoint directory [" + dir + "]: " + ec.message());
    }
    return entries;
}

// Checkpoint numbers present, descending.
std::vector<uint64_t> CheckpointNumbersDescending(const std::vector<Entry>& entries) {
    std::vector<uint64_t> numbers;
    for (const Entry& entry : entries) {
        if (entry.kind == EntryKind::kCheckpoint) numbers.push_back(entry.number);
    }
    std::sort(numbers.rbegin(), numbers.rend());
    return numbers;
}

std::string PathOf(const std::string& dir, uint64_t number) {
    return (fs::path(dir) / LocalCkptManager::FileName(number)).string();
}

void RemoveLogged(const fs::path& path) {
    std::error_code ec;
    fs::remove(path, ec);
    if (ec) {
        ORVANE_LOG_WARN("Failed to remove old checkpoint file [%s]: [%s]", path.c_str(),
                        ec.message().c_str());
    }
}

// After checkpoint `published` was written: drops checkpoints beyond the
// newest `keep`, and temporaries of checkpoints up to `published`, which can
// only be left over from writers that died (the directory has one builder).
void Prune(const std::string& dir, uint32_t keep, uint64_t published) {
    auto entries = ListEntries(dir);
    if (!entries.IsOk()) {
        ORVANE_LOG_WARN("Checkpoint pruning skipped: [%s]", entries.GetStatus().Message().c_str());
        return;
    }
    const std::vector<uint64_t> numbers = CheckpointNumbersDescending(entries.Value());
    for (size_t i = keep; i < numbers.size(); ++i) RemoveLogged(PathOf(dir, numbers[i]));
    for (const Entry& entry : entries.Value()) {
        if (entry.kind == EntryKind::kTemp && entry.number <= published) {
            RemoveLogged(fs::path(dir) / entry.name);
        }
    }
}

// The writer handed out for one checkpoint: a LocalFileWriter (temporary file,
// renamed into place by a successful Close) that prunes the directory once
// its checkpoint is published. It holds no reference to the manager.
class CkptFileWriter : public io::FileWriter {
  public:
    CkptFileWriter(std::string dir, uint32_t keep, uint64_t number)
        : _writer(PathOf(dir, number)), _dir(std::move(dir)), _keep(keep), _number(number) {}

    Status Write(const char* data, uint64_t size) override { return _writer.Write(data, size); }
    core::Result<uint64_t> GetLength() override { return _writer.GetLength(); }
    Status Close() override {
        if (_published) return Status();
        ORVANE_RETURN_IF_ERROR(_writer.Close());
        _published = true;
        ORVANE_LOG_INFO("Checkpoint [%s] written", PathOf(_dir, _number).c_str());
        Prune(_dir, _keep, _number);
        return Status();
    }

  private:
    io::LocalFileWriter _writer;
    std::string _dir;
    uint32_t _keep;
    uint64_t _number;
    bool _published = false;
};

Status DirectoryError(const std::string& dir, const std::string& what, const std::string& why) {
    Status status(ErrorCode::IoError, "Checkpoint directory [" + dir + "] " + what + ": " + why);
    ORVANE_LOG_ERROR("%s", status.Message().c_str());
    return status;
}

}  // namespace

std::string LocalCkptManager::FileName(uint64_t number) {
    char digits[32];
    std::snprintf(digits, sizeof(digits), "%06llu", static_cast<unsigned long long>(number));
    return std::string(kPrefix) + digits + std::string(kSuffix);
}

uint64_t LocalCkptManager::ParseFileName(const std::string& name) {
    if (name.size() <= kPrefix.size() + kSuffix.size() || !name.starts_with(kPrefix) ||
        !name.ends_with(kSuffix)) {
        return 0;
    }
    const char* first = name.data() + kPrefix.size();
    const char* last = name.data() + name.size() - kSuffix.size();
    if (!std::all_of(first, last, [](char c) { return c >= '0' && c <= '9'; })) return 0;
    uint64_t number = 0;
    const auto [end, ec] = std::from_chars(first, last, number);
    if (ec != std::errc() || end != last) return 0;
    return number;
}

Status LocalCkptManager::CheckComplete(const std::string& path) {
    auto reader = io::CreateFileReader(api::IOOptions{{"index.path", path}});
    if (!reader.IsOk()) return reader.TakeStatus();
    io::InputStream stream(reader.TakeValue());
    ORVANE_RETURN_IF_ERROR(stream.Open(api::IOOptions()));
    for (const auto& [name, meta] : stream.SectionMetas()) {
        auto section = stream.GetSectionReader(name);
        if (!section.IsOk()) return section.TakeStatus();
        ORVANE_RETURN_IF_ERROR(section.Value()->VerifyCrc());
    }
    return stream.Close();
}

LocalCkptManager::LocalCkptManager(std::string dir, LocalCkptOptions options, int lockFd)
    : _dir(std::move(dir)), _options(options), _lockFd(lockFd) {}

LocalCkptManager::~LocalCkptManager() {
    if (_lockFd >= 0) ::close(_lockFd);  // also releases the lock
}

core::Result<uint64_t> LocalCkptManager::FindNewestComplete() {
    auto entries = ListEntries(_dir);
    if (!entries.IsOk()) return entries.TakeStatus();
    for (const uint64_t number : CheckpointNumbersDescending(entries.Value())) {
        const std::string path = PathOf(_dir, number);
        const Status complete = CheckComplete(path);
        if (complete.IsOk()) return number;
        const std::string aside = path + std::string(kDamagedSuffix);
        ORVANE_LOG_WARN("Checkpoint [%s] is damaged ([%s]); moved aside to [%s]", path.c_str(),
                        complete.Message().c_str(), aside.c_str());
        std::error_code ec;
        fs::rename(path, aside, ec);
        if (ec) {
            ORVANE_LOG_WARN("Failed to move damaged checkpoint [%s] aside: [%s]", path.c_str(),
                            ec.message().c_str());
        }
    }
    return uint64_t{0};
}

std::unique_ptr<io::FileWriter> LocalCkptManager::CreateCkptFileWriter() {
    auto entries = ListEntries(_dir);
    if (!entries.IsOk()) {
        ORVANE_LOG_ERROR("%s", entries.GetStatus().Message().c_str());
        return nullptr;
    }
    // Past every number in use, damaged and temporary ones included, so no
    // file of an earlier run is ever overwritten.
    uint64_t highest = 0;
    for (const Entry& entry : entries.Value()) highest = std::max(highest, entry.number);
    return std::make_unique<CkptFileWriter>(_dir, _options.keep, highest + 1);
}

std::string LocalCkptManager::ResumePath() const {
    return _resumeNumber == 0 ? std::string() : PathOf(_dir, _resumeNumber);
}

core::Result<bool> LocalCkptManager::HasCkptFile() {
    auto newest = FindNewestComplete();
    if (!newest.IsOk()) return newest.TakeStatus();
    _resumeNumber = newest.Value();
    return _resumeNumber != 0;
}

std::unique_ptr<io::FileReader> LocalCkptManager::GetCkptFileReader() {
    if (_resumeNumber == 0) {
        auto has = HasCkptFile();
        if (!has.IsOk()) {
            ORVANE_LOG_ERROR("%s", has.GetStatus().Message().c_str());
            return nullptr;
        }
        if (!has.Value()) {
            ORVANE_LOG_WARN("No complete checkpoint in [%s]", _dir.c_str());
            return nullptr;
        }
    }
    const std::string path = PathOf(_dir, _resumeNumber);
    ORVANE_LOG_INFO("Resuming from checkpoint [%s]", path.c_str());
    auto reader = io::CreateFileReader(api::IOOptions{{"index.path", path}});
    if (!reader.IsOk()) {
        ORVANE_LOG_ERROR("Failed to open checkpoint [%s]: [%s]", path.c_str(),
                         reader.GetStatus().Message().c_str());
        return nullptr;
    }
    return reader.TakeValue();
}

core::Result<std::unique_ptr<CkptManager>> CreateLocalCkptManager(const std::string& dir,
                                                                  const LocalCkptOptions& options) {
    if (dir.empty()) {
        return Status(ErrorCode::InvalidArgument, "Checkpoint directory path is empty");
    }
    if (options.keep == 0) {
        return Status(ErrorCode::InvalidArgument, "Checkpoints to keep must be at least 1");
    }
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) return DirectoryError(dir, "cannot be created", ec.message());
    if (!fs::is_directory(dir, ec)) {
        return DirectoryError(dir, "cannot be used", ec ? ec.message() : "Not a directory");
    }
    // access() also reports a read-only file system to root, whom permission
    // bits do not stop.
    if (::access(dir.c_str(), W_OK | X_OK) != 0) {
        return DirectoryError(dir, "is not writable", std::strerror(errno));
    }
    const std::string lockPath = (fs::path(dir) / kLockName).string();
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return DirectoryError(dir, "is not writable", std::strerror(errno));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        if (err == EWOULDBLOCK) {
            return Status(ErrorCode::FailedPrecondition,
                          "Checkpoint directory [" + dir + "] is in use by another build");
        }
        return DirectoryError(dir, "cannot be locked", std::strerror(err));
    }
    return std::unique_ptr<CkptManager>(new LocalCkptManager(dir, options, fd));
}

Status RemoveLocalCheckpoints(const std::string& dir) {
    auto entries = ListEntries(dir);
    if (!entries.IsOk()) return entries.TakeStatus();
    for (const Entry& entry : entries.Value()) {
        const fs::path path = fs::path(dir) / entry.name;
        std::error_code ec;
        fs::remove(path, ec);
        if (ec) {
            return Status(ErrorCode::IoError,
                          "Failed to remove checkpoint [" + path.string() + "]: " + ec.message());
        }
    }
    return Status::Ok();
}

}  // namespace orvane::api
