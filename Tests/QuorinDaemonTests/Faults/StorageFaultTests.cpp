// Execution protection against a store that goes wrong underneath it: a file system remounted
// read-only, a disk that fills up, and a user file that was corrupted or swapped for a link.
// The controller runs in-process on fakes (manual queue, clock, code signing); the store is
// real files.

#include "Fakes/FakeClock.hpp"
#include "Fakes/FakeCodeSigning.hpp"
#include "Fakes/ManualDispatch.hpp"
#include "Faults/FaultTesting.hpp"
#include "Protection/HeldExecution.hpp"
#include "QuorinCore/Protection/ExecutionProtectionState.hpp"
#include "QuorinCore/Support/UniqueFd.hpp"
#include "QuorinDaemon/Protection/ExecutionProtectionController.hpp"
#include "QuorinDaemon/Protection/ProtectionStorage.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using testing::contentsOf;
using testing::FakeClock;
using testing::FakeCodeSigning;
using testing::HeldExecution;
using testing::ManualDispatch;
using testing::temporaryNames;
using testing::writeBytes;
using Answer = HeldExecution::Answer;

constexpr std::uint32_t ana = 501;
constexpr std::uint32_t ben = 502;

// One controller over a real store, with its queue run by hand: every call below returns after
// the jobs it queued have run.
class Protection {
  public:
    Protection(fs::path storage, fs::path home)
        : storage_(std::move(storage)),
          home_(std::move(home)),
          controller_(std::make_unique<ExecutionProtectionController>(storage_, dispatch_, signing_,
                                                                      clock_)) {
        controller_->setAvailable(true);
    }

    ExecutionProtectionController& controller() { return *controller_; }
    const FakeClock& clock() const { return clock_; }
    fs::path userFile(std::uint32_t uid) const {
        return storage_ / (std::to_string(uid) + ".json");
    }
    User stored(std::uint32_t uid) const { return ProtectionStorage(storage_).load(uid); }

    ExecutionProtectionConfiguration enabledConfiguration() const {
        return ExecutionProtectionConfiguration{true, {(home_ / "bin").string()}, {}, {}, {}};
    }

    std::optional<bool> configure(std::uint32_t uid,
                                  const ExecutionProtectionConfiguration& configuration) {
        std::optional<bool> reply;
        controller_->configure(uid, home_.string(), encodeJSONText(configuration),
                               [&](bool result) { reply = result; });
        dispatch_.runPending();
        return reply;
    }

    void updateReferences(std::uint32_t uid, std::map<std::string, Date> references) {
        controller_->updateReferences(uid, std::move(references));
        dispatch_.runPending();
    }

    ExecutionProtectionState state(std::uint32_t uid) {
        std::optional<std::string> data;
        controller_->state(uid, [&](std::string bytes) { data = std::move(bytes); });
        dispatch_.runPending();
        EXPECT_TRUE(data.has_value());
        return decodeJSONText<ExecutionProtectionState>(data.value_or("{}"));
    }

    std::string exportHistory(std::uint32_t uid) {
        std::optional<std::string> data;
        controller_->exportHistory(uid, [&](std::string bytes) { data = std::move(bytes); });
        dispatch_.runPending();
        return data.value_or("no reply");
    }

    std::optional<bool> clearHistory(std::uint32_t uid) {
        return boolRequest(&ExecutionProtectionController::clearHistory, uid);
    }
    std::optional<bool> clearTrust(std::uint32_t uid) {
        return boolRequest(&ExecutionProtectionController::clearTrust, uid);
    }

    /// An execution of a new executable holding `content`, held and identified.
    HeldExecution hold(std::uint32_t uid, const std::string& name, const std::string& content) {
        const fs::path path = home_ / "bin" / name;
        fs::create_directories(path.parent_path());
        writeBytes(path, content);
        struct stat status {};
        EXPECT_EQ(::lstat(path.c_str(), &status), 0);
        HeldExecution held(*controller_, uid,
                           ExecutionCandidate{path.string(), fileVersion(status), false, false,
                                              false, "", "", "/bin/sh"});
        EXPECT_TRUE(held.prepare(clock_.now().addingTimeInterval(100)));
        dispatch_.runPending();
        return held;
    }

    std::optional<bool> decide(std::uint32_t uid, const HeldExecution& held,
                               ExecutionDecision decision) {
        std::optional<bool> reply;
        controller_->decide(uid, held.id(), decision, [&](bool result) { reply = result; });
        dispatch_.runPending();
        return reply;
    }

  private:
    std::optional<bool> boolRequest(void (ExecutionProtectionController::*request)(
                                        std::uint32_t, ExecutionProtectionController::BoolReply),
                                    std::uint32_t uid) {
        std::optional<bool> reply;
        ((*controller_).*request)(uid, [&](bool result) { reply = result; });
        dispatch_.runPending();
        return reply;
    }

    fs::path storage_;
    fs::path home_;
    ManualDispatch dispatch_;
    FakeCodeSigning signing_;
    FakeClock clock_;
    std::unique_ptr<ExecutionProtectionController> controller_;
};

// Persistence references big enough to need several pages of a file.
std::map<std::string, Date> bigReferences(Date now, char fill) {
    std::map<std::string, Date> references;
    for (int index = 0; index < 200; ++index) {
        references.emplace("/references/" + std::to_string(index) + "/" + std::string(180, fill),
                           now);
    }
    return references;
}

// ---------------------------------------------------------------------------------------------
// A store on a file system that turns read-only

class ReadOnlyStoreTest : public testing::TmpfsFaultTest {
  protected:
    void SetUp() override {
        if (!testing::isRoot()) {
            GTEST_SKIP() << "needs root to mount and remount a private file system";
        }
        if (!mountTmpfs("size=8m,mode=0700")) {
            GTEST_SKIP() << "cannot mount a tmpfs here";
        }
    }

    const fs::path storage = mountPoint / "storage";
};

TEST_F(ReadOnlyStoreTest, SavesFailWithTheirMessagesAndNothingStoredIsLost) {
    struct Case {
        std::string name;
        std::function<void(Protection&)> act;
        std::optional<std::string> error;
    };
    const std::vector<Case> cases{
        {"an outcome",
         [](Protection& protection) {
             const HeldExecution held = protection.hold(ana, "fresh", "fresh");
             EXPECT_EQ(protection.decide(ana, held, ExecutionDecision::allowOnce), true);
             EXPECT_EQ(held.answers(), (std::vector<Answer>{{true, "Allowed once"}}));
         },
         "Protection history could not be saved"},
        {"the outcome of a trusted executable",
         [](Protection& protection) {
             const HeldExecution held = protection.hold(ana, "trusted", "trusted");
             EXPECT_EQ(held.answers(), (std::vector<Answer>{{true, "Allowed by trust rule"}}));
         },
         "Protection history could not be saved"},
        {"a trust rule",
         [](Protection& protection) {
             const HeldExecution held = protection.hold(ana, "fresh", "fresh");
             EXPECT_EQ(protection.decide(ana, held, ExecutionDecision::alwaysTrust), false);
             EXPECT_EQ(held.answers(), (std::vector<Answer>{{true, "Allowed; saving trust rule"}}));
             EXPECT_EQ(protection.state(ana).trustedRuleCount, 1);
         },
         // The outcome, recorded after the rule, fails too and its message replaces the rule's.
         "Protection history could not be saved"},
        {"references",
         [](Protection& protection) {
             protection.updateReferences(ana, bigReferences(protection.clock().now(), 'r'));
         },
         "Protection references could not be updated"},
        {"a configuration",
         [](Protection& protection) {
             ExecutionProtectionConfiguration off = protection.enabledConfiguration();
             off.enabled = false;
             EXPECT_EQ(protection.configure(ana, off), false);
         },
         "Protection storage unavailable"},
        {"clearing the history",
         [](Protection& protection) {
             EXPECT_EQ(protection.clearHistory(ana), false);
             EXPECT_EQ(protection.state(ana).outcomes.size(), 1u);
         },
         std::nullopt},
        {"clearing trust",
         [](Protection& protection) {
             EXPECT_EQ(protection.clearTrust(ana), false);
             EXPECT_EQ(protection.state(ana).trustedRuleCount, 1);
         },
         std::nullopt},
    };
    for (const Case& sample : cases) {
        SCOPED_TRACE(sample.name);
        remount(false);
        fs::remove_all(storage);
        Protection protection(storage, directory.path());
        ASSERT_EQ(protection.configure(ana, protection.enabledConfiguration()), true);
        const HeldExecution trusted = protection.hold(ana, "trusted", "trusted");
        ASSERT_EQ(protection.decide(ana, trusted, ExecutionDecision::alwaysTrust), true);
        const User before = protection.stored(ana);
        ASSERT_EQ(before.rules.size(), 1u);
        ASSERT_EQ(before.outcomes.size(), 1u);
        const std::optional<std::string> bytes = contentsOf(protection.userFile(ana));

        remount(true);
        sample.act(protection);
        const ExecutionProtectionState state = protection.state(ana);
        EXPECT_EQ(state.error, sample.error);
        EXPECT_TRUE(state.enabled);  // a failed save changes nothing in memory
        EXPECT_EQ(contentsOf(protection.userFile(ana)), bytes);
        EXPECT_TRUE(temporaryNames(storage).empty());

        // Writable again: the stored record is the one from before, and saving works again.
        remount(false);
        EXPECT_EQ(protection.stored(ana), before);
        EXPECT_EQ(protection.clearHistory(ana), true);
        EXPECT_EQ(protection.state(ana).error, std::nullopt);
        EXPECT_TRUE(protection.stored(ana).outcomes.empty());
    }
}

TEST_F(ReadOnlyStoreTest, WhatIsStoredIsStillServed) {
    Protection writer(storage, directory.path());
    ASSERT_EQ(writer.configure(ben, writer.enabledConfiguration()), true);
    const HeldExecution held = writer.hold(ben, "tool", "tool");
    ASSERT_EQ(writer.decide(ben, held, ExecutionDecision::allowOnce), true);
    const std::string history = writer.exportHistory(ben);

    remount(true);
    Protection restarted(storage, directory.path());
    const ExecutionProtectionState state = restarted.state(ben);
    EXPECT_EQ(state.error, std::nullopt);
    EXPECT_FALSE(state.enabled);
    EXPECT_EQ(state.executableRoots, writer.enabledConfiguration().executableRoots);
    ASSERT_EQ(state.outcomes.size(), 1u);
    EXPECT_EQ(restarted.exportHistory(ben), history);
    EXPECT_EQ(restarted.state(ana).error, std::nullopt);  // no file: the default user
}

// ---------------------------------------------------------------------------------------------
// A store on a disk that fills up

class FullDiskTest : public testing::TmpfsFaultTest {
  protected:
    void SetUp() override {
        if (!testing::isRoot()) {
            GTEST_SKIP() << "needs root to mount a small private file system";
        }
        if (!mountTmpfs("size=64k,mode=0700")) {
            GTEST_SKIP() << "cannot mount a tmpfs here";
        }
    }

    // Fills the file system to the last page, then gives `spare` bytes back.
    void fillLeaving(std::size_t spare) {
        const std::string page(4096, 'f');
        std::size_t written = 0;
        {
            const quorin::UniqueFd file(
                ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
            ASSERT_TRUE(file.valid());
            while (true) {
                const ssize_t count = ::write(file.get(), page.data(), page.size());
                if (count <= 0) {
                    ASSERT_EQ(errno, ENOSPC);
                    break;
                }
                written += static_cast<std::size_t>(count);
            }
        }
        ASSERT_GE(written, spare);
        fs::resize_file(filler, written - spare);
    }

    const fs::path storage = mountPoint / "storage";
    const fs::path filler = mountPoint / "filler";
};

TEST_F(FullDiskTest, ASaveThatDoesNotFitFailsAndLeavesTheOldFileWhole) {
    struct Case {
        std::string name;
        std::size_t spare;  // bytes free when the save runs
        std::function<void(Protection&, bool fits)> act;
        std::string error;
    };
    const auto references = [](Protection& protection, bool) {
        protection.updateReferences(ana, bigReferences(protection.clock().now(), 'r'));
    };
    const auto outcome = [](Protection& protection, bool) {
        const HeldExecution held = protection.hold(ana, "tool", "tool");
        EXPECT_EQ(protection.decide(ana, held, ExecutionDecision::block), true);
        EXPECT_EQ(held.answers(), (std::vector<Answer>{{false, "Blocked by user"}}));
    };
    const auto configuration = [](Protection& protection, bool fits) {
        ExecutionProtectionConfiguration off = protection.enabledConfiguration();
        off.enabled = false;
        for (const auto& [path, date] : bigReferences(protection.clock().now(), 'c')) {
            off.references.emplace(path, date);
        }
        EXPECT_EQ(protection.configure(ana, off), fits);
        // A configuration that could not be stored is not applied either.
        EXPECT_EQ(protection.state(ana).enabled, !fits);
    };
    const std::vector<Case> cases{
        {"references, no room at all", 0, references, "Protection references could not be updated"},
        {"references, room for a part", 2 * 4096, references,
         "Protection references could not be updated"},
        {"an outcome, no room at all", 0, outcome, "Protection history could not be saved"},
        {"a configuration, room for a part", 2 * 4096, configuration,
         "Protection storage unavailable"},
    };
    for (const Case& sample : cases) {
        SCOPED_TRACE(sample.name);
        fs::remove_all(storage);
        fs::remove(filler);
        Protection protection(storage, directory.path());
        ASSERT_EQ(protection.configure(ana, protection.enabledConfiguration()), true);
        const User before = protection.stored(ana);
        const std::optional<std::string> bytes = contentsOf(protection.userFile(ana));
        fillLeaving(sample.spare);

        sample.act(protection, false);
        EXPECT_EQ(protection.state(ana).error, sample.error);
        EXPECT_EQ(contentsOf(protection.userFile(ana)), bytes);
        EXPECT_EQ(protection.stored(ana), before);
        EXPECT_TRUE(temporaryNames(storage).empty());

        // With room again the same save goes through.
        fs::remove(filler);
        ASSERT_EQ(protection.clearHistory(ana), true);
        const std::optional<std::string> cleared = contentsOf(protection.userFile(ana));
        sample.act(protection, true);
        EXPECT_EQ(protection.state(ana).error, std::nullopt);
        EXPECT_NE(contentsOf(protection.userFile(ana)), cleared);
        EXPECT_TRUE(temporaryNames(storage).empty());
    }
}

// ---------------------------------------------------------------------------------------------
// A user file that is not what the daemon wrote

// What is at a path, told apart well enough to see that nothing changed it.
std::string describe(const fs::path& path) {
    const fs::file_status status = fs::symlink_status(path);
    if (fs::is_symlink(status)) {
        return "link to " + fs::read_symlink(path).string();
    }
    if (fs::is_fifo(status)) {
        return "named pipe";
    }
    if (!fs::exists(status)) {
        return "nothing";
    }
    return "file " + contentsOf(path).value_or("(unreadable)");
}

class CorruptUserFileTest : public ::testing::Test {
  protected:
    struct Kind {
        std::string name;
        // Puts the bad entry in place of `file` and returns what else it points at, if anything.
        std::function<std::optional<fs::path>(const fs::path& file)> corrupt;
    };

    static std::vector<Kind> kinds() {
        const auto replaceWith = [](std::string bytes) {
            return [bytes](const fs::path& file) -> std::optional<fs::path> {
                writeBytes(file, bytes);
                return std::nullopt;
            };
        };
        const std::string configuration = encodeJSONText(ExecutionProtectionConfiguration{});
        return {
            {"an empty file", replaceWith("")},
            {"a file cut off in the middle",
             [](const fs::path& file) -> std::optional<fs::path> {
                 const std::string whole = contentsOf(file).value();
                 writeBytes(file, whole.substr(0, whole.size() / 2));
                 return std::nullopt;
             }},
            {"garbage bytes", replaceWith(std::string("\x00\xff\xfe{\"configuration\x01", 19))},
            {"an array", replaceWith("[]")},
            {"an object without outcomes",
             replaceWith(R"({"configuration":)" + configuration + R"(,"rules":[]})")},
            {"rules that are not a list", replaceWith(R"({"configuration":)" + configuration +
                                                      R"(,"rules":"all","outcomes":[]})")},
            {"arrays nested 100,000 deep",
             replaceWith(std::string(100'000, '[') + std::string(100'000, ']'))},
            {"a named pipe",
             [](const fs::path& file) -> std::optional<fs::path> {
                 fs::remove(file);
                 EXPECT_EQ(::mkfifo(file.c_str(), 0600), 0);
                 return std::nullopt;
             }},
            {"a link to another user's file",
             [](const fs::path& file) -> std::optional<fs::path> {
                 const fs::path other = file.parent_path() / "502.json";
                 fs::remove(file);
                 fs::create_symlink("502.json", file);
                 return other;
             }},
            {"a link to an account database",
             [](const fs::path& file) -> std::optional<fs::path> {
                 const fs::path accounts = file.parent_path().parent_path() / "passwd";
                 writeBytes(accounts, "root:x:0:0:root:/root:/bin/sh\n");
                 ::chmod(accounts.c_str(), 0600);
                 fs::remove(file);
                 fs::create_symlink(accounts, file);
                 return accounts;
             }},
            {"a dangling link",
             [](const fs::path& file) -> std::optional<fs::path> {
                 fs::remove(file);
                 fs::create_symlink("gone.json", file);
                 return std::nullopt;
             }},
        };
    }

    // Stores a user with something in every list, and ben's file next to it.
    void storeUsers(Protection& protection) {
        ASSERT_EQ(protection.configure(ben, protection.enabledConfiguration()), true);
        ASSERT_EQ(protection.configure(ana, protection.enabledConfiguration()), true);
        const HeldExecution held = protection.hold(ana, "tool", "tool");
        ASSERT_EQ(protection.decide(ana, held, ExecutionDecision::alwaysTrust), true);
    }

    quorin::testing::TemporaryDirectory directory;
    const fs::path storage = directory / "storage";
};

TEST_F(CorruptUserFileTest, AUserNotInMemoryIsReportedAndTheBadFileIsKept) {
    for (const Kind& kind : kinds()) {
        SCOPED_TRACE(kind.name);
        fs::remove_all(storage);
        {
            Protection writer(storage, directory.path());
            storeUsers(writer);
        }
        Protection protection(storage, directory.path());
        const std::optional<fs::path> target = kind.corrupt(protection.userFile(ana));
        const std::string bad = describe(protection.userFile(ana));
        const std::string targetBefore = target ? describe(*target) : "";

        ExecutionProtectionState state = protection.state(ana);
        EXPECT_EQ(state.error, "Protection storage unavailable");
        EXPECT_FALSE(state.enabled);
        EXPECT_TRUE(state.executableRoots.empty());
        EXPECT_EQ(state.trustedRuleCount, 0);
        EXPECT_EQ(protection.exportHistory(ana), "");
        EXPECT_EQ(protection.clearHistory(ana), false);
        EXPECT_EQ(protection.clearTrust(ana), false);
        // Every save starts from the stored record, so none replaces the bad file.
        EXPECT_EQ(protection.configure(ana, protection.enabledConfiguration()), false);
        state = protection.state(ana);
        EXPECT_EQ(state.error, "Protection storage unavailable");
        EXPECT_FALSE(state.enabled);

        EXPECT_EQ(describe(protection.userFile(ana)), bad);
        if (target) {
            EXPECT_EQ(describe(*target), targetBefore);
        }
        EXPECT_TRUE(temporaryNames(storage).empty());
        // Another user is not touched by it.
        EXPECT_EQ(protection.state(ben).error, std::nullopt);
        EXPECT_EQ(protection.state(ben).executableRoots,
                  protection.enabledConfiguration().executableRoots);
    }
}

TEST_F(CorruptUserFileTest, AUserInMemoryReplacesTheBadFileWithItsNextSave) {
    for (const Kind& kind : kinds()) {
        SCOPED_TRACE(kind.name);
        fs::remove_all(storage);
        Protection protection(storage, directory.path());
        storeUsers(protection);
        const User otherBefore = protection.stored(ben);
        const std::optional<fs::path> target = kind.corrupt(protection.userFile(ana));
        const std::string targetBefore = target ? describe(*target) : "";

        const std::map<std::string, Date> references{
            {"/references/tool", protection.clock().now()}};
        protection.updateReferences(ana, references);
        EXPECT_EQ(protection.state(ana).error, std::nullopt);

        // The link itself was replaced: a private regular file with the user's whole record.
        struct stat status {};
        ASSERT_EQ(::lstat(protection.userFile(ana).c_str(), &status), 0);
        EXPECT_TRUE(S_ISREG(status.st_mode));
        EXPECT_EQ(status.st_mode & 0777, 0600U);
        const User stored = protection.stored(ana);
        EXPECT_EQ(stored.configuration.references, references);
        EXPECT_EQ(stored.rules.size(), 1u);
        EXPECT_EQ(stored.outcomes.size(), 1u);
        if (target) {
            EXPECT_EQ(describe(*target), targetBefore);
        }
        EXPECT_EQ(protection.stored(ben), otherBefore);
        EXPECT_TRUE(temporaryNames(storage).empty());
    }
}

}  // namespace
}  // namespace quorin::daemon
