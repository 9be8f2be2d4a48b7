// The checkpoint extension and the library's wrapper of a caller's manager:
// the extension's lifecycle (no function, function installed, refused by a
// kind without checkpoints) and how InnerCkptManager turns what a manager
// yields (writers, readers, answers, exceptions) into streams or "nothing".
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "orvane/api/OrvaneBuilder.h"
#include "extensions/experimental/BuildCombinedExtensionV0.h"
#include "io/IoTestUtil.h"
#include "io/MemoryFileReader.h"

namespace orvane::extensions::experimental {
namespace {

using core::ErrorCode;
using core::Status;
using io::testutil::BuildFile;
using io::testutil::StringWriter;

// A manager whose every answer is scripted by the test.
class ScriptedManager : public api::CkptManager {
  public:
    std::function<std::unique_ptr<io::FileWriter>()> writer = [] { return nullptr; };
    std::function<core::Result<bool>()> has = [] { return core::Result<bool>(false); };
    std::function<std::unique_ptr<io::FileReader>()> reader = [] { return nullptr; };

    std::unique_ptr<io::FileWriter> CreateCkptFileWriter() override { return writer(); }
    core::Result<bool> HasCkptFile() override { return has(); }
    std::unique_ptr<io::FileReader> GetCkptFileReader() override { return reader(); }
};

TEST(CkptExtensionTest, RoleSetMasksAndNames) {
    using Ckpt = RoleSet<BuildExtension::checkpoint>;
    using CkptSparse = RoleSet<BuildExtension::checkpoint, BuildExtension::sparse>;
    static_assert(Ckpt::Value == 1 && CkptSparse::Value == 5);
    static_assert(CkptSparse::Has(BuildExtension::sparse) &&
                  !CkptSparse::Has(BuildExtension::label));
    EXPECT_EQ(CkptSparse::Name(), "checkpoint+sparse");
    EXPECT_EQ(CkptExtension::ExtensionName(), "checkpoint");
    CkptExtension extension;
    EXPECT_EQ(extension.Name(), "checkpoint");
}

TEST(CkptExtensionTest, LoadCkptManagerWithoutFunctionOrManagerIsRefused) {
    CkptExtension extension;
    EXPECT_FALSE(extension.IsAttached());
    Status noFunc = extension.LoadCkptManager(std::make_unique<ScriptedManager>());
    EXPECT_EQ(noFunc.Code(), ErrorCode::FailedPrecondition);
    EXPECT_EQ(noFunc.Message(),
              "checkpoint extension is not attached to a builder that supports it");

    bool called = false;
    extension.SetFunc([&](std::unique_ptr<api::InnerCkptManager>) {
        called = true;
        return Status();
    });
    Status noManager = extension.LoadCkptManager(nullptr);
    EXPECT_EQ(noManager.Code(), ErrorCode::InvalidArgument);
    EXPECT_FALSE(called);
}

TEST(CkptExtensionTest, FunctionReceivesTheWrappedManagerAndItsStatusIsReturned) {
    struct Case {
        std::string name;
        std::function<Status(api::InnerCkptManager&)> body;
        ErrorCode expected;
    };
    const std::vector<Case> cases = {
        {"ok", [](api::InnerCkptManager&) { return Status(); }, ErrorCode::Ok},
        {"backend failure",
         [](api::InnerCkptManager&) { return Status(ErrorCode::IoError, "no stream"); },
         ErrorCode::IoError},
        {"throws", [](api::InnerCkptManager&) -> Status { throw std::runtime_error("boom"); },
         ErrorCode::Internal},
    };
    for (const Case& c : cases) {
        CkptExtension extension;
        int hasCalls = 0;
        extension.SetFunc([&](std::unique_ptr<api::InnerCkptManager> inner) {
            EXPECT_NE(inner, nullptr);
            // The wrapper forwards to the very manager the caller handed over.
            auto has = inner->HasInputStream();
            EXPECT_TRUE(has.IsOk() && has.Value());
            return c.body(*inner);
        });
        auto manager = std::make_unique<ScriptedManager>();
        manager->has = [&] {
            ++hasCalls;
            return core::Result<bool>(true);
        };
        Status status = extension.LoadCkptManager(std::move(manager));
        EXPECT_EQ(status.Code(), c.expected) << c.name;
        EXPECT_EQ(hasCalls, 1) << c.name;
    }
}

TEST(CkptExtensionTest, InstallCkptFuncAcceptsOnlyTheCheckpointExtension) {
    // A caller's own type that borrows the name must not be taken for it.
    class Impostor : public api::IBuildExtension {
      public:
        std::string_view Name() const override { return "checkpoint"; }
    };
    class Other : public api::IBuildExtension {
      public:
        std::string_view Name() const override { return "label"; }
    };
    CkptExtension ckpt;
    Impostor impostor;
    Other other;
    int loads = 0;
    auto load = [&](std::unique_ptr<api::InnerCkptManager>) {
        ++loads;
        return Status();
    };
    struct Case {
        std::string name;
        api::IBuildExtension* extension;
        bool installed;
    };
    const std::vector<Case> cases = {
        {"checkpoint", &ckpt, true}, {"impostor", &impostor, false}, {"other", &other, false}};
    for (const Case& c : cases) {
        EXPECT_EQ(InstallCkptFunc(*c.extension, load), c.installed) << c.name;
    }
    EXPECT_TRUE(ckpt.IsAttached());
    EXPECT_TRUE(ckpt.LoadCkptManager(std::make_unique<ScriptedManager>()).IsOk());
    EXPECT_EQ(loads, 1);
}

TEST(CkptExtensionTest, KindWithoutCheckpointsRefusesAndLeavesExtensionEmpty) {
    auto builder = api::OrvaneBuilder::Create(
        api::BuilderOptions{{"index.type", std::string("demo")}, {"index.dimension", int64_t{4}}});
    ASSERT_TRUE(builder.IsOk());
    CkptExtension extension;
    Status attached = builder.Value().Attach(extension);
    EXPECT_EQ(attached.Code(), ErrorCode::NotSupported);
    EXPECT_EQ(attached.Message(), "extension checkpoint not supported by demo builder");
    EXPECT_FALSE(extension.IsAttached());
    EXPECT_EQ(extension.LoadCkptManager(std::make_unique<ScriptedManager>()).Code(),
              ErrorCode::FailedPrecondition);
}

TEST(InnerCkptManagerTest, HasInputStreamPassesTheAnswerOrMapsFailures) {
    struct Case {
        std::string name;
        std::function<core::Result<bool>()> has;
        ErrorCode code;
        bool value;
    };
    const std::vector<Case> cases = {
        {"yes", [] { return core::Result<bool>(true); }, ErrorCode::Ok, true},
        {"no", [] { return core::Result<bool>(false); }, ErrorCode::Ok, false},
        {"fails", [] { return core::Result<bool>(Status(ErrorCode::IoError, "disk gone")); },
         ErrorCode::IoError, false},
        {"throws", []() -> core::Result<bool> { throw std::runtime_error("boom"); },
         ErrorCode::Internal, false},
    };
    for (const Case& c : cases) {
        auto manager = std::make_unique<ScriptedManager>();
        manager->has = c.has;
        api::InnerCkptManager inner(std::move(manager));
        auto has = inner.HasInputStream();
        if (c.code == ErrorCode::Ok) {
            ASSERT_TRUE(has.IsOk()) << c.name;
            EXPECT_EQ(has.Value(), c.value) << c.name;
        } else {
            ASSERT_FALSE(has.IsOk()) << c.name;
            EXPECT_EQ(has.GetStatus().Code(), c.code) << c.name;
        }
    }
    api::InnerCkptManager empty(nullptr);
    EXPECT_EQ(empty.HasInputStream().GetStatus().Code(), ErrorCode::FailedPrecondition);
    EXPECT_EQ(empty.CreateOutputStream(), nullptr);
    EXPECT_EQ(empty.GetInputStream(), nullptr);
}

TEST(InnerCkptManagerTest, CreateOutputStreamNeedsAWriterThatTakesTheHeader) {
    auto bytes = std::make_shared<std::string>();
    struct Case {
        std::string name;
        std::function<std::unique_ptr<io::FileWriter>()> writer;
        ErrorCode lastError;
    };
    const std::vector<Case> cases = {
        {"null writer", [] { return nullptr; }, ErrorCode::IoError},
        {"throws", []() -> std::unique_ptr<io::FileWriter> { throw std::bad_alloc(); },
         ErrorCode::Internal},
        {"header write fails",
         [] { return std::make_unique<StringWriter>(std::make_shared<std::string>(), 0); },
         ErrorCode::IoError},
        {"good", [&] { return std::make_unique<StringWriter>(bytes); }, ErrorCode::Ok},
    };
    for (const Case& c : cases) {
        auto manager = std::make_unique<ScriptedManager>();
        manager->writer = c.writer;
        api::InnerCkptManager inner(std::move(manager));
        auto stream = inner.CreateOutputStream();
        EXPECT_EQ(inner.LastError().Code(), c.lastError) << c.name;
        EXPECT_EQ(stream != nullptr, c.lastError == ErrorCode::Ok) << c.name;
        if (!stream) continue;
        // The stream arrives with its header written: a section and Close
        // make a container that opens.
        ASSERT_TRUE(stream->Write("abc", 3).IsOk());
        ASSERT_TRUE(stream->SealSection("s", 1).IsOk());
        ASSERT_TRUE(stream->Close().IsOk());
        io::InputStream in(std::make_unique<io::MemoryFileReader>(*bytes));
        ASSERT_TRUE(in.Open({}).IsOk());
        EXPECT_EQ(in.SectionMetas().count("s"), 1u);
    }
}

TEST(InnerCkptManagerTest, GetInputStreamOpensOnlyAValidContainerAndChecksItsData) {
    const std::string good = BuildFile({{"meta", "12345678", 8}, {"ids", "abcd", 1}});
    std::string badFooter = good;
    badFooter[badFooter.size() - 64 + 2] ^= 0x10;
    std::string badData = good;
    badData[64 + 8 + 1] ^= 0x10;  // second byte of "ids"
    struct Case {
        std::string name;
        std::function<std::unique_ptr<io::FileReader>()> reader;
        ErrorCode lastError;
        ErrorCode idsSection;  // getting the "ids" section of an opened stream
    };
    const std::vector<Case> cases = {
        {"null reader", [] { return nullptr; }, ErrorCode::IoError, ErrorCode::Ok},
        {"throws", []() -> std::unique_ptr<io::FileReader> { throw 7; }, ErrorCode::Internal,
         ErrorCode::Ok},
        {"too small", [] { return std::make_unique<io::MemoryFileReader>(std::string(100, 'x')); },
         ErrorCode::Corruption, ErrorCode::Ok},
        {"footer flipped", [&] { return std::make_unique<io::MemoryFileReader>(badFooter); },
         ErrorCode::Corruption, ErrorCode::Ok},
        // The container opens, but restoring from damaged rows must fail.
        {"data flipped", [&] { return std::make_unique<io::MemoryFileReader>(badData); },
         ErrorCode::Ok, ErrorCode::Corruption},
        {"good", [&] { return std::make_unique<io::MemoryFileReader>(good); }, ErrorCode::Ok,
         ErrorCode::Ok},
    };
    for (const Case& c : cases) {
        auto manager = std::make_unique<ScriptedManager>();
        manager->reader = c.reader;
        api::InnerCkptManager inner(std::move(manager));
        auto stream = inner.GetInputStream();
        EXPECT_EQ(inner.LastError().Code(), c.lastError) << c.name;
        EXPECT_EQ(stream != nullptr, c.lastError == ErrorCode::Ok) << c.name;
        if (!stream) continue;
        EXPECT_TRUE(stream->GetSectionReader("meta").IsOk()) << c.name;
        auto ids = stream->GetSectionReader("ids");
        if (c.idsSection != ErrorCode::Ok) {
            ASSERT_FALSE(ids.IsOk()) << c.name;
            EXPECT_EQ(ids.GetStatus().Code(), c.idsSection) << c.name;
            continue;
        }
        ASSERT_TRUE(ids.IsOk()) << c.name;
        char buf[4];
        ASSERT_TRUE(ids.Value()->Read(0, 4, std::span<char>(buf, 4)).IsOk());
        EXPECT_EQ(std::string(buf, 4), "abcd");
    }
}

}  // namespace
}  // namespace orvane::extensions::experimental
