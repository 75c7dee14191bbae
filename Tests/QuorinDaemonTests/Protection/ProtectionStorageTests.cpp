#include "QuorinDaemon/Protection/ProtectionStorage.hpp"

#include "QuorinDaemon/Protection/ProtectionError.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using quorin::testing::TemporaryDirectory;
constexpr auto refused = ProtectionError::Kind::storage;

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

// How `operation` failed, if it did.
std::optional<ProtectionError::Kind> failure(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const ProtectionError& error) {
        return error.kind();
    }
    return std::nullopt;
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
    EXPECT_EQ(std::distance(fs::directory_iterator(directory), {}), 1);  // no temporary left
    EXPECT_EQ(modeOf(directory / "501.json"), 0600U);
    // A temporary file left by an interrupted save changes nothing.
    std::ofstream(directory / ("." + UUID::random().uuidString())) << "{";
    EXPECT_EQ(storage.load(501), sample);
}

TEST(ProtectionStorageTest, RefusesADirectoryOrAUserFileThatIsNotPrivateToTheDaemon) {
    using Spoil = std::function<void(const fs::path&)>;
    const auto withMode = [](mode_t mode) -> Spoil {
        return [mode](const fs::path& path) { ::chmod(path.c_str(), mode); };
    };
    const Spoil throughALink = [](const fs::path& path) {
        fs::rename(path, path.string() + ".real");
        fs::create_symlink(path.string() + ".real", path);
    };
    const Spoil hardLink = [](const fs::path& path) {
        fs::create_hard_link(path, path.string() + ".2");
    };
    const Spoil directory = [](const fs::path& path) {
        fs::remove(path);
        fs::create_directory(path);
        ::chmod(path.c_str(), 0700);
    };
    struct Case {
        const char* name;
        bool directory;  // the directory is at fault, and saving is refused too
        Spoil spoil;
    };
    std::vector<Case> cases{
        {"directory of mode 0755", true, withMode(0755)},
        {"directory a symbolic link to a private directory", true, throughALink},
        {"file readable by others", false, withMode(0644)},
        {"file with a second link", false, hardLink},
        {"file a symbolic link", false, throughALink},
        {"file a directory", false, directory},
    };
    if (::geteuid() == 0) {  // only root can give files to another user
        const Spoil given = [](const fs::path& path) { ::chown(path.c_str(), 65534, 65534); };
        cases.insert(cases.end(), {{"directory of another user", true, given},
                                   {"file of another user", false, given}});
    }
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const TemporaryDirectory temporary;
        const ProtectionStorage storage(temporary / "store");
        storage.save(sample, 501);
        test.spoil(test.directory ? temporary / "store" : temporary / "store" / "501.json");
        EXPECT_EQ(failure([&] { (void)storage.load(501); }), refused);
        if (test.directory) {
            EXPECT_EQ(failure([&] { storage.save(User{}, 501); }), refused);
        }
    }
}

TEST(ProtectionStorageTest, SizeLimitsAndCorruptFiles) {
    const TemporaryDirectory temporary;
    const ProtectionStorage storage(temporary / "store");
    storage.save(sample, 501);
    const fs::path file = temporary / "store" / "501.json";
    // White space keeps the file valid while it grows to the limit.
    std::string text = encodeJSONText(sample);
    text.resize(ProtectionStorage::maximumFileBytes, ' ');
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    EXPECT_EQ(storage.load(501), sample);
    std::ofstream(file, std::ios::binary | std::ios::app) << ' ';
    EXPECT_EQ(failure([&] { (void)storage.load(501); }), refused);
    // An encoding over the limit is not written, and the stored file stays as it was.
    storage.save(sample, 502);
    User huge = sample;
    huge.rules.push_back(Rule{std::string(ProtectionStorage::maximumFileBytes, 'x'), std::nullopt});
    EXPECT_EQ(failure([&] { storage.save(huge, 502); }), ProtectionError::Kind::capacity);
    EXPECT_EQ(storage.load(502), sample);
    // A file that does not decode reports the decoder.
    std::ofstream(file, std::ios::trunc) << R"({"rules":[]})";
    EXPECT_THROW((void)storage.load(501), DecodingError);
}

}  // namespace
}  // namespace quorin::daemon
