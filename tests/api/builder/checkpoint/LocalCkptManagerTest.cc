// The local checkpoint manager: directory checks at creation, numbering and
// pruning, atomic publication (a writer that dies leaves no checkpoint), and
// the choice of the newest complete checkpoint when newer ones are damaged.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "extensions/experimental/BuildCombinedExtensionV0.h"
#include "api/builder/checkpoint/InnerCkptManager.h"
#include "api/builder/checkpoint/LocalCkptManager.h"
#include "testing/FileBytes.h"
#include "testing/LogCapture.h"
#include "testing/TempDir.h"

namespace orvane::extensions::experimental {
namespace {

using core::ErrorCode;
using core::Status;
using orvane::testing::LogCapture;
using orvane::testing::ReadFileBytes;
using orvane::testing::TempDir;
using orvane::testing::WriteFileBytes;

// The directory's entries without the lock file.
std::vector<std::string> Checkpoints(const TempDir& dir, const std::string& sub) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path() / sub)) {
        const std::string name = e.path().filename().string();
        if (name != "LOCK") names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::unique_ptr<api::InnerCkptManager> Open(const std::string& dir, uint32_t keep = 2) {
    auto manager = api::CreateLocalCkptManager(dir, api::LocalCkptOptions{keep});
    EXPECT_TRUE(manager.IsOk()) << manager.GetStatus().Message();
    if (!manager.IsOk()) return nullptr;
    return std::make_unique<api::InnerCkptManager>(manager.TakeValue());
}

// Writes one checkpoint holding a section "payload" with `payload`.
void WriteCkpt(api::InnerCkptManager& inner, const std::string& payload) {
    auto stream = inner.CreateOutputStream();
    ASSERT_NE(stream, nullptr) << inner.LastError().Message();
    ASSERT_TRUE(stream->Write(payload.data(), payload.size()).IsOk());
    ASSERT_TRUE(stream->SealSection("payload", 8).IsOk());
    ASSERT_TRUE(stream->Close().IsOk());
}

// The payload of the checkpoint the manager resumes from; "" when none.
std::string ResumedPayload(api::InnerCkptManager& inner) {
    auto has = inner.HasInputStream();
    EXPECT_TRUE(has.IsOk()) << has.GetStatus().Message();
    if (!has.IsOk() || !has.Value()) return "";
    auto stream = inner.GetInputStream();
    if (stream == nullptr) return "<no stream>";
    auto section = stream->GetSectionReader("payload");
    if (!section.IsOk()) return "<no section>";
    std::string out(section.Value()->SectionPayloadSize(), '\0');
    if (!section.Value()->Read(0, out.size(), std::span<char>(out.data(), out.size())).IsOk()) {
        return "<read failed>";
    }
    return out;
}

TEST(LocalCkptManagerTest, FileNamesRoundTrip) {
    EXPECT_EQ(api::LocalCkptManager::FileName(42), "ckpt-000042.idx");
    EXPECT_EQ(api::LocalCkptManager::FileName(1234567), "ckpt-1234567.idx");
    const std::vector<std::pair<std::string, uint64_t>> names = {
        {"ckpt-000042.idx", 42},
        {"ckpt-1234567.idx", 1234567},
        {"ckpt-.idx", 0},
        {"ckpt-12a.idx", 0},
        {"ckpt-000001.idx.tmp.5.0.1", 0},
        {"ckpt-000001.idx.damaged", 0},
        {"ckpt-+1.idx", 0},
        {"ckpt-99999999999999999999.idx", 0},
        {"LOCK", 0},
    };
    for (const auto& [name, number] : names) {
        EXPECT_EQ(api::LocalCkptManager::ParseFileName(name), number) << name;
    }
}

TEST(LocalCkptManagerTest, CreationChecksTheDirectory) {
    TempDir tmp;
    WriteFileBytes(tmp.File("plain"), "x");
    LogCapture logs(LogCapture::Keep::kNothing);
    struct Case {
        std::string name;
        std::string dir;
        uint32_t keep;
        ErrorCode code;
        std::string messagePart;
    };
    const std::vector<Case> cases = {
        {"missing nested dir is created", tmp.File("a/b/c"), 2, ErrorCode::Ok, ""},
        {"empty path", "", 2, ErrorCode::InvalidArgument, "empty"},
        {"keep zero", tmp.File("k"), 0, ErrorCode::InvalidArgument, "at least 1"},
        // Root ignores permission bits, so a path below a regular file is the
        // directory that cannot be made whoever runs the test.
        {"under a regular file", tmp.File("plain/ckpt"), 2, ErrorCode::IoError,
         tmp.File("plain/ckpt") + "] cannot be created: Not a directory"},
        {"a regular file", tmp.File("plain"), 2, ErrorCode::IoError,
         tmp.File("plain") + "] cannot be"},
    };
    for (const Case& c : cases) {
        auto manager = api::CreateLocalCkptManager(c.dir, api::LocalCkptOptions{c.keep});
        if (c.code == ErrorCode::Ok) {
            ASSERT_TRUE(manager.IsOk()) << c.name << ": " << manager.GetStatus().Message();
            EXPECT_TRUE(std::filesystem::is_directory(c.dir)) << c.name;
            continue;
        }
        ASSERT_FALSE(manager.IsOk()) << c.name;
        EXPECT_EQ(manager.GetStatus().Code(), c.code) << c.name;
        EXPECT_NE(manager.GetStatus().Message().find(c.messagePart), std::string::npos)
            << c.name << ": " << manager.GetStatus().Message();
    }
}

TEST(LocalCkptManagerTest, ReadOnlyDirectoryIsRefusedForOrdinaryUsers) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only directories";
    TempDir tmp;
    std::filesystem::create_directory(tmp.File("ro"));
    std::filesystem::permissions(
        tmp.File("ro"), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    LogCapture logs(LogCapture::Keep::kNothing);
    auto manager = api::CreateLocalCkptManager(tmp.File("ro"));
    ASSERT_FALSE(manager.IsOk());
    EXPECT_EQ(manager.GetStatus().Code(), ErrorCode::IoError);
    EXPECT_NE(manager.GetStatus().Message().find("is not writable: Permission denied"),
              std::string::npos);
}

TEST(LocalCkptManagerTest, DirectoryServesOneManagerAtATime) {
    TempDir tmp;
    auto first = api::CreateLocalCkptManager(tmp.File("d"));
    ASSERT_TRUE(first.IsOk());
    auto second = api::CreateLocalCkptManager(tmp.File("d"));
    ASSERT_FALSE(second.IsOk());
    EXPECT_EQ(second.GetStatus().Code(), ErrorCode::FailedPrecondition);
    first.Value().reset();
    EXPECT_TRUE(api::CreateLocalCkptManager(tmp.File("d")).IsOk());
}

TEST(LocalCkptManagerTest, NumbersUpwardsAndKeepsTheNewest) {
    struct Case {
        uint32_t keep;
        std::vector<std::vector<std::string>> after;  // directory after each checkpoint
    };
    const std::vector<Case> cases = {
        {1, {{"ckpt-000001.idx"}, {"ckpt-000002.idx"}, {"ckpt-000003.idx"}}},
        {2,
         {{"ckpt-000001.idx"},
          {"ckpt-000001.idx", "ckpt-000002.idx"},
          {"ckpt-000002.idx", "ckpt-000003.idx"},
          {"ckpt-000003.idx", "ckpt-000004.idx"}}},
        {3,
         {{"ckpt-000001.idx"},
          {"ckpt-000001.idx", "ckpt-000002.idx"},
          {"ckpt-000001.idx", "ckpt-000002.idx", "ckpt-000003.idx"},
          {"ckpt-000002.idx", "ckpt-000003.idx", "ckpt-000004.idx"}}},
    };
    LogCapture logs(LogCapture::Keep::kNothing);
    for (const Case& c : cases) {
        TempDir tmp;
        auto inner = Open(tmp.File("d"), c.keep);
        ASSERT_NE(inner, nullptr);
        for (size_t i = 0; i < c.after.size(); ++i) {
            WriteCkpt(*inner, "state " + std::to_string(i + 1));
            EXPECT_EQ(Checkpoints(tmp, "d"), c.after[i]) << "keep " << c.keep << " step " << i;
        }
        EXPECT_EQ(ResumedPayload(*inner), "state " + std::to_string(c.after.size()));
        // A manager of a later run continues the numbering.
        inner.reset();
        inner = Open(tmp.File("d"), c.keep);
        WriteCkpt(*inner, "later");
        EXPECT_EQ(Checkpoints(tmp, "d").back(), api::LocalCkptManager::FileName(c.after.size() + 1));
        EXPECT_EQ(ResumedPayload(*inner), "later");
    }
}

TEST(LocalCkptManagerTest, UnfinishedCheckpointNeverBecomesVisible) {
    TempDir tmp;
    LogCapture logs(LogCapture::Keep::kNothing);
    auto inner = Open(tmp.File("d"));
    ASSERT_NE(inner, nullptr);
    WriteCkpt(*inner, "first");

    // A stream abandoned before Close (the append failed) leaves nothing.
    {
        auto stream = inner->CreateOutputStream();
        ASSERT_NE(stream, nullptr);
        ASSERT_TRUE(stream->Write("partial", 7).IsOk());
    }
    EXPECT_EQ(Checkpoints(tmp, "d"), std::vector<std::string>{"ckpt-000001.idx"});

    // A process killed while writing leaves only its temporary file, which
    // the resume ignores and the next published checkpoint clears away.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto writer = inner->CreateOutputStream();
        const std::string big(3 << 20, 'z');  // beyond the writer's buffer: reaches the disk
        if (writer == nullptr || !writer->Write(big.data(), big.size()).IsOk()) ::_exit(1);
        ::_exit(0);
    }
    int wstatus = 0;
    ASSERT_EQ(::waitpid(child, &wstatus, 0), child);
    ASSERT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0);
    const auto afterCrash = Checkpoints(tmp, "d");
    ASSERT_EQ(afterCrash.size(), 2u);
    EXPECT_EQ(afterCrash[0], "ckpt-000001.idx");
    EXPECT_NE(afterCrash[1].find("ckpt-000002.idx"), std::string::npos) << afterCrash[1];
    EXPECT_NE(afterCrash[1].find("tmp"), std::string::npos) << afterCrash[1];

    inner.reset();
    inner = Open(tmp.File("d"));
    EXPECT_EQ(ResumedPayload(*inner), "first");
    WriteCkpt(*inner, "second");
    EXPECT_EQ(Checkpoints(tmp, "d"),
              (std::vector<std::string>{"ckpt-000001.idx", "ckpt-000003.idx"}));
    EXPECT_EQ(ResumedPayload(*inner), "second");
}

TEST(LocalCkptManagerTest, DamagedNewestFallsBackToTheNewestComplete) {
    using Damage = std::function<void(const std::string& path)>;
    const Damage truncate = [](const std::string& p) {
        std::filesystem::resize_file(p, std::filesystem::file_size(p) - 10);
    };
    const auto flip = [](int64_t offset) {
        return [offset](const std::string& p) {
            std::string bytes = ReadFileBytes(p);
            const size_t at = offset >= 0 ? static_cast<size_t>(offset) : bytes.size() + offset;
            bytes[at] ^= 0x01;
            WriteFileBytes(p, bytes);
        };
    };
    const Damage empty = [](const std::string& p) { WriteFileBytes(p, ""); };
    struct Case {
        std::string name;
        std::vector<uint64_t> damaged;  // checkpoints (of 1..3) to damage
        Damage damage;
        std::string resumed;  // payload resumed from; "" for none
    };
    const std::vector<Case> cases = {
        {"intact", {}, truncate, "state 3"},
        {"newest truncated", {3}, truncate, "state 2"},
        {"newest emptied", {3}, empty, "state 2"},
        {"header crc byte flipped", {3}, flip(2), "state 2"},
        {"footer flipped", {3}, flip(-60), "state 2"},
        {"section data flipped", {3}, flip(70), "state 2"},
        {"two newest damaged", {3, 2}, truncate, "state 1"},
        {"all damaged", {1, 2, 3}, flip(-60), ""},
    };
    LogCapture logs(LogCapture::Keep::kNothing);
    for (const Case& c : cases) {
        TempDir tmp;
        const std::string dir = tmp.File("d");
        auto inner = Open(dir, 3);
        ASSERT_NE(inner, nullptr);
        for (int i = 1; i <= 3; ++i) WriteCkpt(*inner, "state " + std::to_string(i));
        inner.reset();
        for (uint64_t n : c.damaged) c.damage(dir + "/" + api::LocalCkptManager::FileName(n));

        inner = Open(dir, 3);
        EXPECT_EQ(ResumedPayload(*inner), c.resumed) << c.name;
        if (c.resumed.empty()) {
            EXPECT_EQ(inner->GetInputStream(), nullptr) << c.name;
        }
        // Damaged files are kept aside, not deleted, and not reused.
        for (uint64_t n : c.damaged) {
            const std::string name = api::LocalCkptManager::FileName(n);
            EXPECT_TRUE(std::filesystem::exists(dir + "/" + name + ".damaged")) << c.name;
            EXPECT_FALSE(std::filesystem::exists(dir + "/" + name)) << c.name;
        }
        WriteCkpt(*inner, "after");
        EXPECT_TRUE(std::filesystem::exists(dir + "/ckpt-000004.idx")) << c.name;
        EXPECT_EQ(ResumedPayload(*inner), "after") << c.name;
    }
}

// The smallest back end with checkpoints: its state is a list of rows, each
// checkpoint holds all rows so far, and resuming restores them.
class RowsBackend {
  public:
    Status Attach(api::IBuildExtension& extension) {
        if (InstallCkptFunc(extension, [this](std::unique_ptr<api::InnerCkptManager> manager) {
                return LoadFromCkptManager(std::move(manager));
            })) {
            return Status();
        }
        return Status(ErrorCode::NotSupported, "extension not supported");
    }
    Status Append(const std::string& row) {
        _rows += row;
        if (!_manager) return Status();
        auto stream = _manager->CreateOutputStream();
        if (!stream)
            return Status(ErrorCode::IoError, "Failed to get output stream when checkpoint");
        ORVANE_RETURN_IF_ERROR(stream->Write(_rows.data(), _rows.size()));
        ORVANE_RETURN_IF_ERROR(stream->SealSection("payload", 1));
        return stream->Close();
    }
    const std::string& Rows() const { return _rows; }

  private:
    Status LoadFromCkptManager(std::unique_ptr<api::InnerCkptManager> manager) {
        _manager = std::move(manager);
        auto has = _manager->HasInputStream();
        if (!has.IsOk())
            return Status(ErrorCode::IoError, "ckptManager failed to fetch input stream");
        if (!has.Value()) return Status();
        _rows = ResumedPayload(*_manager);
        return Status();
    }

    std::unique_ptr<api::InnerCkptManager> _manager;
    std::string _rows;
};

TEST(LocalCkptManagerTest, BuildResumesThroughTheExtension) {
    TempDir tmp;
    LogCapture logs(LogCapture::Keep::kNothing);
    const std::string dir = tmp.File("d");
    {
        RowsBackend backend;
        CkptExtension extension;
        ASSERT_TRUE(backend.Attach(extension).IsOk());
        auto manager = api::CreateLocalCkptManager(dir);
        ASSERT_TRUE(manager.IsOk());
        ASSERT_TRUE(extension.LoadCkptManager(manager.TakeValue()).IsOk());
        for (const char* row : {"a", "b", "c"}) ASSERT_TRUE(backend.Append(row).IsOk());
    }  // the build dies here; the manager (and its lock) go with the back end
    std::filesystem::resize_file(dir + "/" + api::LocalCkptManager::FileName(3), 100);

    RowsBackend backend;
    CkptExtension extension;
    ASSERT_TRUE(backend.Attach(extension).IsOk());
    auto manager = api::CreateLocalCkptManager(dir);
    ASSERT_TRUE(manager.IsOk()) << manager.GetStatus().Message();
    ASSERT_TRUE(extension.LoadCkptManager(manager.TakeValue()).IsOk());
    EXPECT_EQ(backend.Rows(), "ab");
    ASSERT_TRUE(backend.Append("c").IsOk());
    EXPECT_EQ(Checkpoints(tmp, "d"),
              (std::vector<std::string>{"ckpt-000002.idx", "ckpt-000003.idx.damaged",
                                        "ckpt-000004.idx"}));
}

TEST(LocalCkptManagerTest, VanishedDirectoryGivesNoStreamsAndAFailingAnswer) {
    TempDir tmp;
    LogCapture logs(LogCapture::Keep::kNothing);
    auto inner = Open(tmp.File("d"));
    ASSERT_NE(inner, nullptr);
    std::filesystem::remove_all(tmp.File("d"));
    WriteFileBytes(tmp.File("d"), "now a file");

    EXPECT_EQ(inner->CreateOutputStream(), nullptr);
    EXPECT_EQ(inner->LastError().Code(), ErrorCode::IoError);
    auto has = inner->HasInputStream();
    ASSERT_FALSE(has.IsOk());
    EXPECT_EQ(has.GetStatus().Code(), ErrorCode::IoError);
    EXPECT_EQ(inner->GetInputStream(), nullptr);
}

}  // namespace
}  // namespace orvane::extensions::experimental
