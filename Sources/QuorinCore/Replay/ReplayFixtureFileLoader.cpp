#include "QuorinCore/Replay/ReplayFixtureFileLoader.hpp"

#include "QuorinCore/Replay/ReplayFixtureLimits.hpp"
#include "QuorinCore/Replay/ReplayFixtureValidationError.hpp"
#include "QuorinCore/Support/UniqueFd.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace quorin {

namespace {

using FileError = ReplayFixtureFileError;

std::string withErrorNumber(std::string_view sentence, std::int32_t errorNumber) {
    return std::string(sentence) + " (errno " + std::to_string(errorNumber) + ")";
}

}  // namespace

FileError FileError::openFailed(std::int32_t errorNumber) {
    return FileError(Kind::openFailed, errorNumber,
                     withErrorNumber("Could not open replay fixture", errorNumber));
}

FileError FileError::metadataFailed(std::int32_t errorNumber) {
    return FileError(Kind::metadataFailed, errorNumber,
                     withErrorNumber("Could not inspect replay fixture", errorNumber));
}

FileError FileError::readFailed(std::int32_t errorNumber) {
    return FileError(Kind::readFailed, errorNumber,
                     withErrorNumber("Could not read replay fixture", errorNumber));
}

FileError FileError::symbolicLinkNotAllowed() {
    return FileError(Kind::symbolicLinkNotAllowed, std::nullopt,
                     "Replay fixture must not be a symbolic link");
}

FileError FileError::nonRegularFile() {
    return FileError(Kind::nonRegularFile, std::nullopt, "Replay fixture must be a regular file");
}

std::string ReplayFixtureFileLoader::read(const std::filesystem::path& file) {
    const int opened = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    const int openError = errno;
    const UniqueFd descriptor(opened);
    if (!descriptor.valid()) {
        // O_NOFOLLOW reports a final symbolic link as ELOOP.
        if (openError == ELOOP) {
            throw FileError::symbolicLinkNotAllowed();
        }
        throw FileError::openFailed(openError);
    }
    return readOpenFile(descriptor.get());
}

std::string ReplayFixtureFileLoader::readOpenFile(int descriptor) {
    constexpr std::int64_t maximum = ReplayFixtureLimits::maximumDataBytes;

    struct stat status {};
    if (::fstat(descriptor, &status) != 0) {
        throw FileError::metadataFailed(errno);
    }
    if (!S_ISREG(status.st_mode)) {
        throw FileError::nonRegularFile();
    }
    if (status.st_size > maximum) {
        throw ReplayFixtureValidationError::dataTooLarge(status.st_size, maximum);
    }
    return readContents(descriptor, static_cast<std::size_t>(status.st_size));
}

std::string ReplayFixtureFileLoader::readContents(int descriptor, std::size_t reportedSize) {
    constexpr std::int64_t maximum = ReplayFixtureLimits::maximumDataBytes;
    // The reported size is only a hint: the file may grow while it is read, and /proc files
    // report 0. One byte more than the limit is enough to tell that the content is too large.
    const auto limit = static_cast<std::size_t>(maximum) + 1;
    std::string bytes;
    bytes.reserve(std::min(reportedSize, limit) + readableSlack);
    std::vector<char> buffer(chunkBytes);
    while (bytes.size() < limit) {
        const std::size_t wanted = std::min(chunkBytes, limit - bytes.size());
        const ssize_t count = ::read(descriptor, buffer.data(), wanted);
        if (count == 0) {
            break;
        }
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw FileError::readFailed(errno);
        }
        bytes.append(buffer.data(), static_cast<std::size_t>(count));
    }
    if (bytes.size() > static_cast<std::size_t>(maximum)) {
        throw ReplayFixtureValidationError::dataTooLarge(static_cast<std::int64_t>(bytes.size()),
                                                         maximum);
    }
    // Shrinking keeps the capacity and leaves the slack as it was written.
    const std::size_t size = bytes.size();
    bytes.append(readableSlack, ' ');
    bytes.resize(size);
    return bytes;
}

}  // namespace quorin
