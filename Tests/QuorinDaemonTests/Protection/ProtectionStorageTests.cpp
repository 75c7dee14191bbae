#include "QuorinDaemon/Protection/ProtectionStorage.hpp"

#include "QuorinDaemon/Protection/ProtectionError.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using quorin::testing::TemporaryDirectory;

User sampleUser() {
    User user;
    user.configuration.enabled = true;
    user.configuration.executableRoots = {"/Users/ana/bin"};
    user.configuration.references = {{"/Users/ana/bin/tool", Date{12.5}}};
    user.rules = {Rule{"identifier \"com.example\"", std::nullopt},
                  Rule{std::nullopt, std::string(64, 'a')}};
    user.outcomes = {ExecutionOutcome{*UUID::parse("6F2A6C1E-0B5C-4D7E-9E38-1A2B3C4D5E6F"),
                                      "/Users/ana/bin/tool", Date{3}, "Allowed by user", true,
                                      ExecutionOutcomeResult::allowed, std::nullopt}};
    return user;
}

mode_t modeOf(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

std::vector<std::string> entries(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        names.push_back(entry.path().filename());
    }
    return names;
}

::testing::AssertionResult failsWith(const std::function<void()>& operation,
                                     ProtectionError::Kind kind) {
    try {
        operation();
    } catch (const ProtectionError& error) {
        if (error.kind() == kind) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "failed with " << error.what();
    }
    return ::testing::AssertionFailure() << "did not fail";
}

TEST(ProtectionStorageTest, CreatesThePrivateDirectoryAndRoundTrips) {
    const TemporaryDirectory temporary;
    const fs::path directory = temporary / "QuorinProtect";
    const ProtectionStorage storage(directory);
    EXPECT_EQ(storage.load(501), User{});  // nothing stored yet
    EXPECT_EQ(modeOf(directory), 0700U);
    const User user = sampleUser();
    storage.save(user, 501);
    EXPECT_EQ(storage.load(501), user);
    EXPECT_EQ(storage.load(502), User{});
    EXPECT_EQ(entries(directory), std::vector<std::string>{"501.json"});  // no temporary left
    EXPECT_EQ(modeOf(directory / "501.json"), 0600U);

    // A temporary file left by an interrupted save changes nothing.
    std::ofstream(directory / ("." + UUID::random().uuidString())) << "{";
    EXPECT_EQ(storage.load(501), user);
}

TEST(ProtectionStorageTest, RefusesADirectoryOthersCouldUse) {
    struct Case {
        std::string name;
        std::function<fs::path(const TemporaryDirectory&)> prepare;  // returns the directory
    };
    const std::vector<Case> cases{
        {"mode 0755",
         [](const TemporaryDirectory& t) {
             fs::create_directory(t / "store");
             ::chmod((t / "store").c_str(), 0755);
             return t / "store";
         }},
        {"a symbolic link to a private directory",
         [](const TemporaryDirectory& t) {
             fs::create_directory(t / "real");
             ::chmod((t / "real").c_str(), 0700);
             fs::create_directory_symlink(t / "real", t / "store");
             return t / "store";
         }},
        {"a regular file", [](const TemporaryDirectory& t) { return t.write("store", ""); }},
    };
    for (const Case& sample : cases) {
        const TemporaryDirectory temporary;
        const ProtectionStorage storage(sample.prepare(temporary));
        EXPECT_TRUE(failsWith([&] { storage.save(User{}, 501); }, ProtectionError::Kind::storage))
            << sample.name;
        EXPECT_TRUE(failsWith([&] { (void)storage.load(501); }, ProtectionError::Kind::storage))
            << sample.name;
    }
}

TEST(ProtectionStorageTest, RefusesAUserFileThatIsNotPrivate) {
    struct Case {
        std::string name;
        std::function<void(const fs::path& file)> change;
    };
    const std::vector<Case> cases{
        {"readable by others", [](const fs::path& file) { ::chmod(file.c_str(), 0644); }},
        {"a second link",
         [](const fs::path& file) { fs::create_hard_link(file, file.string() + ".2"); }},
        {"a symbolic link",
         [](const fs::path& file) {
             fs::rename(file, file.string() + ".real");
             fs::create_symlink(file.string() + ".real", file);
         }},
        {"a directory",
         [](const fs::path& file) {
             fs::remove(file);
             fs::create_directory(file);
             ::chmod(file.c_str(), 0700);
         }},
    };
    for (const Case& sample : cases) {
        const TemporaryDirectory temporary;
        const ProtectionStorage storage(temporary / "store");
        storage.save(sampleUser(), 501);
        sample.change(temporary / "store" / "501.json");
        EXPECT_TRUE(failsWith([&] { (void)storage.load(501); }, ProtectionError::Kind::storage))
            << sample.name;
    }
}

TEST(ProtectionStorageTest, SizeLimits) {
    const TemporaryDirectory temporary;
    const ProtectionStorage storage(temporary / "store");
    storage.save(sampleUser(), 501);
    const fs::path file = temporary / "store" / "501.json";

    // White space keeps the file valid while it grows to the limit.
    {
        std::string text = encodeJSONText(sampleUser());
        text.resize(ProtectionStorage::maximumFileBytes, ' ');
        std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    }
    EXPECT_EQ(fs::file_size(file), ProtectionStorage::maximumFileBytes);
    EXPECT_EQ(storage.load(501), sampleUser());
    std::ofstream(file, std::ios::binary | std::ios::app) << ' ';
    EXPECT_TRUE(failsWith([&] { (void)storage.load(501); }, ProtectionError::Kind::storage));

    // An encoding over the limit is not written, and the stored file stays as it was.
    storage.save(sampleUser(), 502);
    User huge = sampleUser();
    huge.rules.push_back(Rule{std::string(ProtectionStorage::maximumFileBytes, 'x'), std::nullopt});
    EXPECT_TRUE(failsWith([&] { storage.save(huge, 502); }, ProtectionError::Kind::capacity));
    EXPECT_EQ(storage.load(502), sampleUser());
}

TEST(ProtectionStorageTest, AFileThatDoesNotDecodeReportsTheDecoder) {
    const TemporaryDirectory temporary;
    const ProtectionStorage storage(temporary / "store");
    storage.save(User{}, 501);
    std::ofstream(temporary / "store" / "501.json", std::ios::trunc) << R"({"rules":[]})";
    EXPECT_THROW((void)storage.load(501), DecodingError);
}

TEST(ProtectionStorageTest, RefusesFilesOwnedBySomeoneElse) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give files to another user";
    }
    const TemporaryDirectory temporary;
    const ProtectionStorage storage(temporary / "store");
    storage.save(sampleUser(), 501);
    ASSERT_EQ(::chown((temporary / "store" / "501.json").c_str(), 65534, 65534), 0);
    EXPECT_TRUE(failsWith([&] { (void)storage.load(501); }, ProtectionError::Kind::storage));
    ASSERT_EQ(::chown((temporary / "store").c_str(), 65534, 65534), 0);
    EXPECT_TRUE(failsWith([&] { storage.save(User{}, 502); }, ProtectionError::Kind::storage));
}

}  // namespace
}  // namespace quorin::daemon
