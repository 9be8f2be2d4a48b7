#include "io/TempFiles.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace orvane::io {
namespace {

constexpr int kSlots = 32;
constexpr size_t kMaxPath = 4096;

// A slot is free (0), being filled or emptied (1) or listed (2). The signal handler
// reads only listed slots, whose path is complete.
struct Slot {
    std::atomic<int> state{0};
    char path[kMaxPath];
};

Slot gSlots[kSlots];

// True when no process with this id exists (it may have been reused by another
// process; then its files are kept, which is the safe side).
bool ProcessGone(long pid) {
    if (pid <= 0) return false;
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

}  // namespace

int RegisterPendingTempFile(const std::string& path) {
    if (path.size() >= kMaxPath) return -1;
    for (int i = 0; i < kSlots; ++i) {
        int expected = 0;
        if (!gSlots[i].state.compare_exchange_strong(expected, 1)) continue;
        std::memcpy(gSlots[i].path, path.c_str(), path.size() + 1);
        gSlots[i].state.store(2, std::memory_order_release);
        return i;
    }
    return -1;
}

void UnregisterPendingTempFile(int slot) {
    if (slot < 0 || slot >= kSlots) return;
    gSlots[slot].state.store(1, std::memory_order_release);
    gSlots[slot].path[0] = '\0';
    gSlots[slot].state.store(0, std::memory_order_release);
}

void RemovePendingTempFiles() noexcept {
    for (Slot& slot : gSlots) {
        if (slot.state.load(std::memory_order_acquire) == 2) ::unlink(slot.path);
    }
}

void RemoveStaleTempFiles(const std::string& target, std::string_view tag) {
    const std::filesystem::path full(target);
    const std::string prefix = full.filename().string() + std::string(tag);
    std::filesystem::path dir = full.parent_path();
    if (dir.empty()) dir = ".";
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return;
    while (const dirent* entry = ::readdir(d)) {
        const std::string_view name(entry->d_name);
        if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) continue;
        const std::string_view rest = name.substr(prefix.size());
        long pid = 0;
        size_t digits = 0;
        while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9' && digits < 10) {
            pid = pid * 10 + (rest[digits] - '0');
            ++digits;
        }
        if (digits == 0 || (digits < rest.size() && rest[digits] != '.')) continue;
        if (ProcessGone(pid)) ::unlink((dir / std::string(name)).c_str());
    }
    ::closedir(d);
}

}  // namespace orvane::io
