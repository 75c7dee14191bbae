// Execution protection against a store that goes wrong underneath it: a file system remounted
// read-only, a disk that fills up, and a user file that was corrupted or swapped for a link.
// The controller runs in-process on fakes (manual queue, clock, code signing); the store is
// real files.

#include "Linux/PrivateTmpfs.hpp"
#include "Protection/HeldExecution.hpp"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <functional>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using testing::contentsOf;
using testing::HeldExecution;
using testing::ProtectionHarness;
using testing::temporaryNames;
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

// Persistence references big enough to need several pages of a file, saved for ana.
std::map<std::string, Date> updateReferences(ProtectionHarness& protection, char fill) {
    std::map<std::string, Date> references;
    for (int index = 0; index < 200; ++index) {
        references.emplace("/references/" + std::to_string(index) + "/" + std::string(180, fill),
                           protection.clock.now());
    }
    protection.controller->updateReferences(ana, references);
    protection.dispatch.runPending();
    return references;
}

class UnwritableStoreTest : public testing::PrivateTmpfsTest {
  protected:
    UnwritableStoreTest() : PrivateTmpfsTest("size=64k,mode=0700") {}

    // Fills the file system but for `spare` bytes.
    void fillLeaving(std::size_t spare) {
        struct statvfs space {};
        ASSERT_EQ(::statvfs(mountPoint.c_str(), &space), 0);
        const int file = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const std::size_t free = space.f_bavail * space.f_frsize;
        ASSERT_GE(free, spare);
        EXPECT_EQ(::posix_fallocate(file, 0, static_cast<off_t>(free - spare)), 0);
        ::close(file);
    }

    const fs::path storage = mountPoint / "storage";
    const fs::path filler = mountPoint / "filler";
};

TEST_F(UnwritableStoreTest, SavesFailWithTheirMessagesAndNothingStoredIsLost) {
    // Whether saves go through again once the store is writable, and the messages of a trust rule
    // and of clearing that could not be saved, are the controller's to check.
    struct Case {
        std::string name;
        std::optional<std::size_t> spare;  // bytes free when the save runs; none: read-only
        std::function<void(ProtectionHarness&)> failingSave;
        std::optional<std::string> error;
    };
    const std::vector<Case> cases{
        {"references, room for a part", 2 * 4096,
         [](ProtectionHarness& protection) { updateReferences(protection, 'r'); },
         "Protection references could not be updated"},
        // A configuration that could not be stored is not applied either.
        {"a configuration, read-only", std::nullopt,
         [](ProtectionHarness& protection) {
             EXPECT_EQ(protection.configure(ana, protection.settings(false)), false);
         },
         "Protection storage unavailable"},
        {"clearing the history and trust, read-only", std::nullopt,
         [](ProtectionHarness& protection) {
             EXPECT_EQ(protection.clearHistory(ana), false);
             EXPECT_EQ(protection.clearTrust(ana), false);
             EXPECT_EQ(protection.state(ana).outcomes.size(), 1u);
             EXPECT_EQ(protection.state(ana).trustedRuleCount, 1);
         },
         std::nullopt},
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
        const std::optional<std::string> bytes = contentsOf(userFile(protection, ana));
        if (sample.spare) {
            fillLeaving(*sample.spare);
        } else {
            remount(true);
        }
        sample.failingSave(protection);
        const ExecutionProtectionState state = protection.state(ana);
        EXPECT_EQ(state.error, sample.error);
        EXPECT_TRUE(state.enabled);  // a failed save changes nothing in memory
        EXPECT_EQ(contentsOf(userFile(protection, ana)), bytes);
        EXPECT_TRUE(temporaryNames(storage).empty());
    }
    remount(false);

    // What is stored is still served, by a controller started on the read-only store.
    fs::remove_all(storage);
    ProtectionHarness protection(storage);
    protection.enable(ben);
    const HeldExecution held = holdNew(protection, ben, "tool");
    ASSERT_EQ(protection.decide(ben, held.id(), Decision::allowOnce), true);
    const std::string exported = protection.exportHistory(ben);
    ExecutionProtectionState served = protection.state(ben);
    served.enabled = false;  // protection is off until configured again
    remount(true);
    protection.restart();
    EXPECT_EQ(protection.state(ben), served);
    EXPECT_EQ(protection.exportHistory(ben), exported);
    EXPECT_EQ(protection.state(ana).error, std::nullopt);  // no file: the default user
}

// What is at a path, told apart well enough to see that nothing changed it.
std::string describe(const fs::path& path) {
    const fs::file_status status = fs::symlink_status(path);
    return fs::is_symlink(status) ? "link to " + fs::read_symlink(path).string()
           : fs::is_fifo(status)  ? "named pipe"
                                  : "file " + contentsOf(path).value_or("(none)");
}

TEST(CorruptUserFileTest, IsReportedAndKeptUntilTheUserInMemorySavesAgain) {
    // Each puts a bad entry in place of ana's file: one that does not decode (and nests deeper
    // than any parser's stack), one that is not a regular file, one that leads to ben's file.
    const std::vector<std::pair<std::string, std::function<void(const fs::path& file)>>> kinds{
        {"arrays nested 100,000 deep",
         [](const fs::path& file) {
             std::ofstream(file, std::ios::trunc)
                 << std::string(100'000, '[') << std::string(100'000, ']');
         }},
        {"a named pipe",
         [](const fs::path& file) {
             fs::remove(file);
             EXPECT_EQ(::mkfifo(file.c_str(), 0600), 0);
         }},
        {"a link to another user's file",
         [](const fs::path& file) {
             fs::remove(file);
             fs::create_symlink("502.json", file);
         }},
    };
    for (const auto& [name, corrupt] : kinds) {
        for (const bool loaded : {false, true}) {
            SCOPED_TRACE(name + (loaded ? ", user in memory" : ", user not in memory"));
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
            const std::string otherBytes = describe(userFile(protection, ben));
            User expected = protection.stored(ana);
            corrupt(file);
            const std::string bad = describe(file);

            if (loaded) {
                // The next save replaces the entry itself with a private regular file that
                // holds the user's whole record.
                expected.configuration.references = updateReferences(protection, 't');
                EXPECT_EQ(protection.state(ana).error, std::nullopt);
                struct stat status {};
                ASSERT_EQ(::lstat(file.c_str(), &status), 0);
                EXPECT_EQ(status.st_mode & (S_IFMT | 0777), S_IFREG | 0600U);
                EXPECT_EQ(protection.stored(ana), expected);
            } else {
                const ExecutionProtectionState unavailable{
                    {}, true, false, "Protection storage unavailable", {}, {}, 0};
                EXPECT_EQ(protection.state(ana), unavailable);
                EXPECT_EQ(protection.exportHistory(ana), "");
                // Every save starts from the stored record, so none replaces the bad file.
                EXPECT_EQ(protection.configure(ana, protection.settings()), false);
                EXPECT_EQ(protection.state(ana), unavailable);
                EXPECT_EQ(describe(file), bad);
            }
            EXPECT_TRUE(temporaryNames(protection.storageDirectory).empty());
            // Another user, even one a link leads to, is not touched by it.
            EXPECT_EQ(describe(userFile(protection, ben)), otherBytes);
            EXPECT_EQ(protection.state(ben).error, std::nullopt);
        }
    }
}

}  // namespace
}  // namespace quorin::daemon
