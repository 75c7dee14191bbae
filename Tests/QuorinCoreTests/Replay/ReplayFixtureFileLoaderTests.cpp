#include "QuorinCore/Replay/ReplayFixtureFileLoader.hpp"

#include "QuorinCore/Replay/ReplayFixture.hpp"
#include "QuorinCore/Replay/ReplayFixtureLimits.hpp"
#include "QuorinCore/Replay/ReplayFixtureValidationError.hpp"
#include "QuorinCore/Support/UniqueFd.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string>
#include <system_error>

namespace quorin {
namespace {

namespace fs = std::filesystem;

constexpr auto maximumBytes = static_cast<std::size_t>(ReplayFixtureLimits::maximumDataBytes);
const std::string tooLarge =
    "validation: Replay fixture is too large (10485761 bytes; maximum 10485760)";

// What `body` gives: "loaded", or the error thrown, tagged with its family.
std::string outcome(const std::function<void()>& body) {
    try {
        body();
        return "loaded";
    } catch (const ReplayFixtureFileError& error) {
        return std::string("file: ") + error.what();
    } catch (const ReplayFixtureValidationError& error) {
        return std::string("validation: ") + error.what();
    }
}

std::size_t openDescriptorCount() {
    const fs::directory_iterator entries("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(entries, fs::directory_iterator()));
}

TEST(ReplayFixtureFileLoader, LoadsOnlyRegularFilesReachedWithoutAFinalLinkAndClosesThem) {
    const testing::TemporaryDirectory directory;
    const fs::path valid = directory.write(
        "valid.json", R"({"schemaVersion":2,"protectedPaths":[],"processes":[],"events":[]})");
    const fs::path link = directory / "link.json", fifo = directory / "fifo",
                   linkedDirectory = directory / "linked-directory";
    fs::create_symlink(valid, link);
    fs::create_directory_symlink(directory.path(), linkedDirectory);
    fs::create_directory(directory / "directory");
    if (::mkfifo(fifo.c_str(), 0600) != 0) {
        throw std::system_error(errno, std::generic_category(), "mkfifo");
    }
    const struct {
        fs::path file;
        std::string outcome;
    } cases[] = {
        {valid, "loaded"},
        // Links in earlier components are followed; only the last one is refused.
        {linkedDirectory / "valid.json", "loaded"},
        {link, "file: Replay fixture must not be a symbolic link"},
        {directory / "directory", "file: Replay fixture must be a regular file"},
        // Opened non-blocking, so a FIFO without a writer is refused rather than waited on.
        {fifo, "file: Replay fixture must be a regular file"},
        {directory / "missing.json", "file: Could not open replay fixture (errno 2)"},
        // The content goes to the strict decoder.
        {directory.write("empty.json", ""), "validation: Malformed replay JSON at byte 0"},
        {directory.write("over.json", std::string(maximumBytes + 1, ' ')), tooLarge},
        // /proc files report a size of 0 yet have content: the size is only a hint, the content
        // is read to its end and then judged (it begins with "Name:").
        {"/proc/self/status", "validation: Malformed replay JSON at byte 0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(outcome([&] { (void)ReplayFixture::load(c.file); }), c.outcome) << c.file;
    }
    const std::size_t before = openDescriptorCount();
    for (int round = 0; round < 20; ++round) {
        for (const auto& c : cases) {
            (void)outcome([&] { (void)ReplayFixture::load(c.file); });
        }
    }
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(ReplayFixtureFileLoader, ReadsAtMostOneByteBeyondTheLimitAndReportsErrnos) {
    const testing::TemporaryDirectory directory;
    const auto openWith = [&](const std::string& bytes, int flags = O_RDONLY) {
        UniqueFd descriptor(::open(
            directory.write("f" + std::to_string(bytes.size()), bytes).c_str(), flags | O_CLOEXEC));
        EXPECT_TRUE(descriptor.valid());
        return descriptor;
    };
    const UniqueFd large = openWith(std::string(maximumBytes + 1, ' '));
    // Content beyond what the size reported, as from a file that grew while it was read.
    const UniqueFd growing = openWith(std::string(maximumBytes + 70'000, ' '));
    const UniqueFd writeOnly = openWith("{}", O_WRONLY);
    const struct {
        const char* name;
        std::function<void()> read;
        std::string outcome;
    } cases[] = {
        {"too large by its reported size",
         [&] { (void)ReplayFixtureFileLoader::readOpenFile(large.get()); }, tooLarge},
        {"grown past the limit",
         [&] { (void)ReplayFixtureFileLoader::readContents(growing.get(), 10); }, tooLarge},
        {"write-only", [&] { (void)ReplayFixtureFileLoader::readOpenFile(writeOnly.get()); },
         "file: Could not read replay fixture (errno 9)"},
        {"no descriptor", [] { (void)ReplayFixtureFileLoader::readOpenFile(-1); },
         "file: Could not inspect replay fixture (errno 9)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(outcome(c.read), c.outcome) << c.name;
    }
    EXPECT_EQ(::lseek(large.get(), 0, SEEK_CUR), 0);
    EXPECT_EQ(::lseek(growing.get(), 0, SEEK_CUR), static_cast<off_t>(maximumBytes + 1));
    // Exactly the limit is read whole, whatever size was reported.
    const UniqueFd atLimit = openWith(std::string(maximumBytes, 'x'));
    EXPECT_EQ(ReplayFixtureFileLoader::readContents(atLimit.get(), 0).size(), maximumBytes);
}

}  // namespace
}  // namespace quorin
