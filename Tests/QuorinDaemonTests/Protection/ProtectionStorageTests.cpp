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

const User sample{
    {true, {"/Users/ana/bin"}, {}, {}, {{"/Users/ana/bin/tool", Date{12.5}}}},
    {Rule{"identifier \"com.example\"", std::nullopt}, Rule{std::nullopt, std::string(64, 'a')}},
    {ExecutionOutcome{UUID::random(), "/Users/ana/bin/tool", Date{3}, "Allowed by user", true,
                      ExecutionOutcomeResult::allowed, std::nullopt}}};

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
    storage.save(sample, 501);
    EXPECT_EQ(storage.load(501), sample);
    EXPECT_EQ(storage.load(502), User{});
    EXPECT_EQ(entries(directory), std::vector<std::string>{"501.json"});  // no temporary left
    EXPECT_EQ(modeOf(directory / "501.json"), 0600U);

    // A temporary file left by an interrupted save changes nothing.
    std::ofstream(directory / ("." + UUID::random().uuidString())) << "{";
    EXPECT_EQ(storage.load(501), sample);
}

TEST(ProtectionStorageTest, RefusesADirectoryOrAUserFileThatIsNotPrivate) {
    using Spoil = std::function<void(const fs::path&)>;
    const auto withMode = [](mode_t mode) -> Spoil {
        return [mode](const fs::path& path) { ::chmod(path.c_str(), mode); };
    };
    const Spoil throughALink = [](const fs::path& path) {
        fs::rename(path, path.string() + ".real");
        fs::create_symlink(path.string() + ".real", path);
    };
    struct Case {
        std::string name;
        bool directory;  // the directory is at fault, and saving is refused too
        Spoil spoil;
    };
    const std::vector<Case> cases{
        {"directory of mode 0755", true, withMode(0755)},
        {"directory a symbolic link to a private directory", true, throughALink},
        {"directory a regular file", true,
         [](const fs::path& path) {
             fs::remove_all(path);
             std::ofstream{path};
         }},
        {"file readable by others", false, withMode(0644)},
        {"file with a second link", false,
         [](const fs::path& path) { fs::create_hard_link(path, path.string() + ".2"); }},
        {"file a symbolic link", false, throughALink},
        {"file a directory", false,
         [](const fs::path& path) {
             fs::remove(path);
             fs::create_directory(path);
             ::chmod(path.c_str(), 0700);
         }},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        const TemporaryDirectory temporary;
        const ProtectionStorage storage(temporary / "store");
        storage.save(sample, 501);
        test.spoil(test.directory ? temporary / "store" : temporary / "store" / "501.json");
        EXPECT_TRUE(failsWith([&] { (void)storage.load(501); }, ProtectionError::Kind::storage));
        if (test.directory) {
            EXPECT_TRUE(
                failsWith([&] { storage.save(User{}, 501); }, ProtectionError::Kind::storage));
        }
    }
}

TEST(ProtectionStorageTest, SizeLimitsAndCorruptFiles) {
    const TemporaryDirectory temporary;
    const ProtectionStorage storage(temporary / "store");
    storage.save(sample, 501);
    const fs::path file = temporary / "store" / "501.json";

    // White space keeps the file valid while it grows to the limit.
    {
        std::string text = encodeJSONText(sample);
        text.resize(ProtectionStorage::maximumFileBytes, ' ');
        std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    }
    EXPECT_EQ(fs::file_size(file), ProtectionStorage::maximumFileBytes);
    EXPECT_EQ(storage.load(501), sample);
    std::ofstream(file, std::ios::binary | std::ios::app) << ' ';
    EXPECT_TRUE(failsWith([&] { (void)storage.load(501); }, ProtectionError::Kind::storage));

    // An encoding over the limit is not written, and the stored file stays as it was.
    storage.save(sample, 502);
    User huge = sample;
    huge.rules.push_back(Rule{std::string(ProtectionStorage::maximumFileBytes, 'x'), std::nullopt});
    EXPECT_TRUE(failsWith([&] { storage.save(huge, 502); }, ProtectionError::Kind::capacity));
    EXPECT_EQ(storage.load(502), sample);

    // A file that does not decode reports the decoder.
    std::ofstream(file, std::ios::trunc) << R"({"rules":[]})";
    EXPECT_THROW((void)storage.load(501), DecodingError);
}

TEST(ProtectionStorageTest, RefusesFilesOwnedBySomeoneElse) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give files to another user";
    }
    const TemporaryDirectory temporary;
    const ProtectionStorage storage(temporary / "store");
    storage.save(sample, 501);
    ASSERT_EQ(::chown((temporary / "store" / "501.json").c_str(), 65534, 65534), 0);
    EXPECT_TRUE(failsWith([&] { (void)storage.load(501); }, ProtectionError::Kind::storage));
    ASSERT_EQ(::chown((temporary / "store").c_str(), 65534, 65534), 0);
    EXPECT_TRUE(failsWith([&] { storage.save(User{}, 502); }, ProtectionError::Kind::storage));
}

}  // namespace
}  // namespace quorin::daemon
