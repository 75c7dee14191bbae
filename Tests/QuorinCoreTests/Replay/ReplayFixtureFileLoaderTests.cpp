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

using testing::TemporaryDirectory;
namespace fs = std::filesystem;

constexpr auto maximumBytes = static_cast<std::size_t>(ReplayFixtureLimits::maximumDataBytes);

const std::string validFixture =
    R"({"schemaVersion":2,"protectedPaths":[],"processes":[],"events":[]})";

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

std::string loadOutcome(const fs::path& file) {
    return outcome([&file] { (void)ReplayFixture::load(file); });
}

// A valid fixture padded with blanks to exactly `size` bytes.
std::string paddedFixture(std::size_t size) {
    std::string bytes = validFixture;
    bytes.resize(size, ' ');
    return bytes;
}

const std::string tooLarge =
    "validation: Replay fixture is too large (10485761 bytes; maximum 10485760)";

// `file` opened with `flags`; fails the test when it cannot be opened.
UniqueFd openFile(const fs::path& file, int flags = O_RDONLY) {
    UniqueFd descriptor(::open(file.c_str(), flags | O_CLOEXEC));
    EXPECT_TRUE(descriptor.valid()) << file;
    return descriptor;
}

std::size_t openDescriptorCount() {
    const fs::directory_iterator entries("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(entries, fs::directory_iterator()));
}

// Files of every kind the loader must reject, plus a valid one.
struct Scene {
    TemporaryDirectory directory;
    fs::path valid = directory.write("valid.json", validFixture);
    fs::path link = directory / "link.json";
    fs::path subdirectory = directory / "directory";
    fs::path fifo = directory / "fifo";
    fs::path linkedDirectory = directory / "linked-directory";

    Scene() {
        fs::create_symlink(valid, link);
        fs::create_directory(subdirectory);
        fs::create_directory_symlink(directory.path(), linkedDirectory);
        if (::mkfifo(fifo.c_str(), 0600) != 0) {
            throw std::system_error(errno, std::generic_category(), "mkfifo");
        }
    }
};

TEST(ReplayFixtureFileLoader, AcceptsOnlyRegularFilesReachedWithoutAFinalLink) {
    const Scene scene;
    const struct {
        fs::path file;
        std::string outcome;
    } cases[] = {
        {scene.valid, "loaded"},
        // Links in earlier components are followed; only the last one is refused.
        {scene.linkedDirectory / "valid.json", "loaded"},
        {scene.link, "file: Replay fixture must not be a symbolic link"},
        {scene.linkedDirectory / "link.json", "file: Replay fixture must not be a symbolic link"},
        {scene.subdirectory, "file: Replay fixture must be a regular file"},
        // Opened non-blocking, so a FIFO without a writer is refused rather than waited on.
        {scene.fifo, "file: Replay fixture must be a regular file"},
        {scene.directory / "missing.json", "file: Could not open replay fixture (errno 2)"},
        {scene.valid / "child.json", "file: Could not open replay fixture (errno 20)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(loadOutcome(c.file), c.outcome) << c.file;
    }
}

TEST(ReplayFixtureFileLoader, ErrorsCompareByCaseAndErrorNumber) {
    using Error = ReplayFixtureFileError;
    EXPECT_EQ(Error::openFailed(ENOENT), Error::openFailed(ENOENT));
    EXPECT_FALSE(Error::openFailed(ENOENT) == Error::openFailed(ENOTDIR));
    EXPECT_FALSE(Error::openFailed(ENOENT) == Error::readFailed(ENOENT));
}

TEST(ReplayFixtureFileLoader, PassesTheContentToTheStrictDecoder) {
    const TemporaryDirectory directory;
    const struct {
        std::string name, bytes, outcome;
    } cases[] = {
        {"empty.json", "", "validation: Malformed replay JSON at byte 0"},
        // Latin-1 "café": the string is not UTF-8, which is found after its closing quote.
        {"latin1.json", "[\"caf\xE9\"]", "validation: Malformed replay JSON at byte 7"},
        {"at-limit.json", paddedFixture(maximumBytes), "loaded"},
        {"over-limit.json", paddedFixture(maximumBytes + 1), tooLarge},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(loadOutcome(directory.write(c.name, c.bytes)), c.outcome) << c.name;
    }
    // /proc files report a size of 0 yet have content: the size is only a hint, the content is
    // read to its end and then judged (here it is not JSON: it begins with "Name:").
    EXPECT_EQ(loadOutcome("/proc/self/status"), "validation: Malformed replay JSON at byte 0");
}

TEST(ReplayFixtureFileLoader, RejectsAnOversizedFileFromItsReportedSizeWithoutReading) {
    const TemporaryDirectory directory;
    const UniqueFd file = openFile(directory.write("large.json", paddedFixture(maximumBytes + 1)));
    EXPECT_EQ(outcome([&] { (void)ReplayFixtureFileLoader::readOpenFile(file.get()); }), tooLarge);
    EXPECT_EQ(::lseek(file.get(), 0, SEEK_CUR), 0);
}

TEST(ReplayFixtureFileLoader, NeverReadsMoreThanOneByteBeyondTheLimit) {
    // Content beyond what the size reported, as from a file that grew while it was read.
    const TemporaryDirectory directory;
    const UniqueFd growing =
        openFile(directory.write("growing.json", std::string(maximumBytes + 70'000, ' ')));
    EXPECT_EQ(outcome([&] { (void)ReplayFixtureFileLoader::readContents(growing.get(), 10); }),
              tooLarge);
    EXPECT_EQ(::lseek(growing.get(), 0, SEEK_CUR), static_cast<off_t>(maximumBytes + 1));

    // Exactly the limit is read whole, whatever size was reported.
    const UniqueFd atLimit =
        openFile(directory.write("at-limit.json", std::string(maximumBytes, 'x')));
    EXPECT_EQ(ReplayFixtureFileLoader::readContents(atLimit.get(), 0).size(), maximumBytes);
}

TEST(ReplayFixtureFileLoader, ReportsTheErrnoOfAFailedInspectionOrRead) {
    const TemporaryDirectory directory;
    const UniqueFd writeOnly = openFile(directory.write("fixture.json", validFixture), O_WRONLY);
    EXPECT_EQ(outcome([&] { (void)ReplayFixtureFileLoader::readOpenFile(writeOnly.get()); }),
              "file: Could not read replay fixture (errno 9)");
    EXPECT_EQ(outcome([] { (void)ReplayFixtureFileLoader::readOpenFile(-1); }),
              "file: Could not inspect replay fixture (errno 9)");
}

TEST(ReplayFixtureFileLoader, ClosesTheDescriptorOnEveryPath) {
    const Scene scene;
    const fs::path malformed = scene.directory.write("malformed.json", "{");
    const fs::path oversized = scene.directory.write("over.json", paddedFixture(maximumBytes + 1));
    const fs::path unknownKey = scene.directory.write("unknown.json", R"({"x":1})");

    const std::size_t before = openDescriptorCount();
    for (int round = 0; round < 20; ++round) {
        for (const fs::path& file : {scene.valid, scene.link, scene.subdirectory, scene.fifo,
                                     malformed, oversized, unknownKey}) {
            (void)loadOutcome(file);
        }
    }
    EXPECT_EQ(openDescriptorCount(), before);
}

}  // namespace
}  // namespace quorin
