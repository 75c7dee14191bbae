// Execution protection against a store that goes wrong underneath it: a file system remounted
// read-only, a disk that fills up, and a user file that was corrupted or swapped for a link.
// The controller runs in-process on fakes (manual queue, clock, code signing); the store is
// real files.

#include "Linux/PrivateTmpfs.hpp"
#include "Protection/HeldExecution.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using testing::contentsOf;
using testing::HeldExecution;
using testing::ProtectionHarness;
using testing::temporaryNames;
using Answer = HeldExecution::Answer;
using Decision = ExecutionDecision;

constexpr std::uint32_t ana = 501;
constexpr std::uint32_t ben = 502;

fs::path userFile(const ProtectionHarness& protection, std::uint32_t uid) {
    return protection.storageDirectory / (std::to_string(uid) + ".json");
}

// An execution of a new executable `name`, held and identified.
HeldExecution holdNew(ProtectionHarness& protection, std::uint32_t uid, const std::string& name) {
    HeldExecution held =
        protection.hold(uid, ProtectionHarness::candidateFor(protection.executable(name, name)));
    protection.dispatch.runPending();
    return held;
}

void updateReferences(ProtectionHarness& protection, std::map<std::string, Date> references) {
    protection.controller->updateReferences(ana, std::move(references));
    protection.dispatch.runPending();
}

// Persistence references big enough to need several pages of a file.
std::map<std::string, Date> bigReferences(const ProtectionHarness& protection, char fill) {
    std::map<std::string, Date> references;
    for (int index = 0; index < 200; ++index) {
        references.emplace("/references/" + std::to_string(index) + "/" + std::string(180, fill),
                           protection.clock.now());
    }
    return references;
}

// A store on a file system that turns read-only or fills up

class UnwritableStoreTest : public testing::PrivateTmpfsTest {
  protected:
    UnwritableStoreTest() : PrivateTmpfsTest("size=64k,mode=0700") {}

    // Fills the file system to the last page, then gives `spare` bytes back.
    void fillLeaving(std::size_t spare) {
        const std::string page(4096, 'f');
        std::size_t written = 0;
        const int file = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(file, 0);
        for (ssize_t count = 0; (count = ::write(file, page.data(), page.size())) > 0;) {
            written += static_cast<std::size_t>(count);
        }
        EXPECT_EQ(errno, ENOSPC);
        ::close(file);
        ASSERT_GE(written, spare);
        fs::resize_file(filler, written - spare);
    }

    const fs::path storage = mountPoint / "storage";
    const fs::path filler = mountPoint / "filler";
};

TEST_F(UnwritableStoreTest, SavesFailWithTheirMessagesAndNothingStoredIsLost) {
    struct Case {
        std::string name;
        std::optional<std::size_t> spare;  // bytes free when the save runs; none: read-only
        // A save, which fails unless it `fits`.
        std::function<void(ProtectionHarness&, bool fits)> act;
        std::optional<std::string> error;
    };
    const auto outcome = [](ProtectionHarness& protection, bool) {
        const HeldExecution held = holdNew(protection, ana, "fresh");
        EXPECT_EQ(protection.decide(ana, held.id(), Decision::allowOnce), true);
        EXPECT_EQ(held.answers(), (std::vector<Answer>{{true, "Allowed once"}}));
    };
    const auto rule = [](ProtectionHarness& protection, bool fits) {
        const HeldExecution held = holdNew(protection, ana, "fresh");
        EXPECT_EQ(protection.decide(ana, held.id(), Decision::alwaysTrust), fits);
        EXPECT_EQ(held.answers(), (std::vector<Answer>{{true, "Allowed; saving trust rule"}}));
        EXPECT_EQ(protection.state(ana).trustedRuleCount, fits ? 2 : 1);
    };
    const auto references = [](ProtectionHarness& protection, bool) {
        updateReferences(protection, bigReferences(protection, 'r'));
    };
    const auto configuration = [](ProtectionHarness& protection, bool fits) {
        ExecutionProtectionConfiguration off = protection.settings(false);
        off.references = bigReferences(protection, 'c');
        EXPECT_EQ(protection.configure(ana, off), fits);
        // A configuration that could not be stored is not applied either.
        EXPECT_EQ(protection.state(ana).enabled, !fits);
    };
    const auto clearHistory = [](ProtectionHarness& protection, bool fits) {
        EXPECT_EQ(protection.clearHistory(ana), fits);
        EXPECT_EQ(protection.state(ana).outcomes.size(), fits ? 0u : 1u);
    };
    const auto clearTrust = [](ProtectionHarness& protection, bool fits) {
        EXPECT_EQ(protection.clearTrust(ana), fits);
        EXPECT_EQ(protection.state(ana).trustedRuleCount, fits ? 0 : 1);
    };
    const std::string history = "Protection history could not be saved";
    const std::string referencesError = "Protection references could not be updated";
    const std::vector<Case> cases{
        {"an outcome, read-only", std::nullopt, outcome, history},
        {"an outcome, no room at all", 0, outcome, history},
        // The outcome, recorded after the rule, fails too and its message replaces the rule's.
        {"a trust rule, read-only", std::nullopt, rule, history},
        {"references, read-only", std::nullopt, references, referencesError},
        {"references, no room at all", 0, references, referencesError},
        {"references, room for a part", 2 * 4096, references, referencesError},
        {"a configuration, read-only", std::nullopt, configuration,
         "Protection storage unavailable"},
        {"a configuration, room for a part", 2 * 4096, configuration,
         "Protection storage unavailable"},
        {"clearing the history, read-only", std::nullopt, clearHistory, std::nullopt},
        {"clearing trust, read-only", std::nullopt, clearTrust, std::nullopt},
    };
    for (const Case& sample : cases) {
        SCOPED_TRACE(sample.name);
        remount(false);
        fs::remove_all(storage);
        fs::remove(filler);
        ProtectionHarness protection(storage);
        protection.enable(ana);
        const HeldExecution trusted = holdNew(protection, ana, "trusted");
        ASSERT_EQ(protection.decide(ana, trusted.id(), Decision::alwaysTrust), true);
        const User before = protection.stored(ana);
        ASSERT_EQ(before.rules.size(), 1u);
        ASSERT_EQ(before.outcomes.size(), 1u);
        const std::optional<std::string> bytes = contentsOf(userFile(protection, ana));
        if (sample.spare) {
            fillLeaving(*sample.spare);
        } else {
            remount(true);
        }

        sample.act(protection, false);
        const ExecutionProtectionState state = protection.state(ana);
        EXPECT_EQ(state.error, sample.error);
        EXPECT_TRUE(state.enabled);  // a failed save changes nothing in memory
        EXPECT_EQ(contentsOf(userFile(protection, ana)), bytes);
        EXPECT_EQ(protection.stored(ana), before);
        EXPECT_TRUE(temporaryNames(storage).empty());

        // Writable again, with room: clearing the history clears the message, and the same
        // save goes through.
        remount(false);
        fs::remove(filler);
        ASSERT_EQ(protection.clearHistory(ana), true);
        sample.act(protection, true);
        EXPECT_EQ(protection.state(ana).error, std::nullopt);
        EXPECT_NE(protection.stored(ana), before);
        EXPECT_TRUE(temporaryNames(storage).empty());
    }

    // What is stored is still served, by a controller started on the read-only store.
    fs::remove_all(storage);
    ProtectionHarness protection(storage);
    protection.enable(ben);
    const HeldExecution held = holdNew(protection, ben, "tool");
    ASSERT_EQ(protection.decide(ben, held.id(), Decision::allowOnce), true);
    const std::string exported = protection.exportHistory(ben);
    remount(true);
    protection.restart();
    const ExecutionProtectionState state = protection.state(ben);
    EXPECT_EQ(state.error, std::nullopt);
    EXPECT_FALSE(state.enabled);
    EXPECT_EQ(state.executableRoots, protection.settings().executableRoots);
    EXPECT_EQ(protection.exportHistory(ben), exported);
    EXPECT_EQ(protection.state(ana).error, std::nullopt);  // no file: the default user
}

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
    return fs::exists(status) ? "file " + contentsOf(path).value_or("(unreadable)") : "nothing";
}

TEST(CorruptUserFileTest, IsReportedAndKeptUntilTheUserInMemorySavesAgain) {
    struct Kind {
        std::string name;
        // Puts the bad entry in place of `file` and returns what else it points at, if anything.
        std::function<std::optional<fs::path>(const fs::path& file)> corrupt;
    };
    const auto linkTo = [](std::string target) {
        return [target](const fs::path& file) -> std::optional<fs::path> {
            fs::remove(file);
            fs::create_symlink(target, file);
            return file.parent_path() / target;
        };
    };
    const std::vector<Kind> kinds{
        {"a file cut off in the middle",
         [](const fs::path& file) -> std::optional<fs::path> {
             const std::string whole = contentsOf(file).value();
             std::ofstream(file, std::ios::trunc) << whole.substr(0, whole.size() / 2);
             return std::nullopt;
         }},
        {"arrays nested 100,000 deep",
         [](const fs::path& file) -> std::optional<fs::path> {
             std::ofstream(file, std::ios::trunc)
                 << std::string(100'000, '[') << std::string(100'000, ']');
             return std::nullopt;
         }},
        {"a named pipe",
         [](const fs::path& file) -> std::optional<fs::path> {
             fs::remove(file);
             EXPECT_EQ(::mkfifo(file.c_str(), 0600), 0);
             return std::nullopt;
         }},
        {"a link to another user's file", linkTo("502.json")},
        {"a dangling link", linkTo("gone.json")},
    };
    for (const Kind& kind : kinds) {
        for (const bool loaded : {false, true}) {
            SCOPED_TRACE(kind.name + (loaded ? ", user in memory" : ", user not in memory"));
            // ana with something in every list, and ben's file next to hers.
            ProtectionHarness protection;
            protection.enable(ben);
            protection.enable(ana);
            const HeldExecution held = holdNew(protection, ana, "tool");
            ASSERT_EQ(protection.decide(ana, held.id(), Decision::alwaysTrust), true);
            if (!loaded) {
                protection.restart();
            }
            const fs::path file = userFile(protection, ana);
            const User otherBefore = protection.stored(ben);
            const std::optional<fs::path> target = kind.corrupt(file);
            const std::string bad = describe(file);
            const std::string targetBefore = target ? describe(*target) : "";

            if (loaded) {
                // The next save replaces the entry itself with a private regular file that
                // holds the user's whole record.
                const std::map<std::string, Date> references = bigReferences(protection, 't');
                updateReferences(protection, references);
                EXPECT_EQ(protection.state(ana).error, std::nullopt);
                struct stat status {};
                ASSERT_EQ(::lstat(file.c_str(), &status), 0);
                EXPECT_TRUE(S_ISREG(status.st_mode));
                EXPECT_EQ(status.st_mode & 0777, 0600U);
                const User stored = protection.stored(ana);
                EXPECT_EQ(stored.configuration.references, references);
                EXPECT_EQ(stored.rules.size(), 1u);
                EXPECT_EQ(stored.outcomes.size(), 1u);
            } else {
                ExecutionProtectionState state = protection.state(ana);
                EXPECT_EQ(state.error, "Protection storage unavailable");
                EXPECT_FALSE(state.enabled);
                EXPECT_TRUE(state.executableRoots.empty());
                EXPECT_EQ(state.trustedRuleCount, 0);
                EXPECT_EQ(protection.exportHistory(ana), "");
                EXPECT_EQ(protection.clearHistory(ana), false);
                EXPECT_EQ(protection.clearTrust(ana), false);
                // Every save starts from the stored record, so none replaces the bad file.
                EXPECT_EQ(protection.configure(ana, protection.settings()), false);
                state = protection.state(ana);
                EXPECT_EQ(state.error, "Protection storage unavailable");
                EXPECT_FALSE(state.enabled);
                EXPECT_EQ(describe(file), bad);
            }
            if (target) {
                EXPECT_EQ(describe(*target), targetBefore);
            }
            EXPECT_TRUE(temporaryNames(protection.storageDirectory).empty());
            // Another user is not touched by it.
            EXPECT_EQ(protection.stored(ben), otherBefore);
            EXPECT_EQ(protection.state(ben).error, std::nullopt);
        }
    }
}

}  // namespace
}  // namespace quorin::daemon
