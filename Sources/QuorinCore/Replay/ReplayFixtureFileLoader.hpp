#pragma once

// The bounded, defensive read of a replay fixture file, and the errors of that read.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>

namespace quorin {

/// Why a replay fixture file could not be read. The three call failures carry the errno of the
/// failed call; the message, which is also `what()`, is a complete sentence naming the failure.
/// Two errors are equal when they are the same case with the same errno. Built only through the
/// factory of its case.
class ReplayFixtureFileError : public std::exception {
  public:
    enum class Kind {
        openFailed,
        metadataFailed,
        readFailed,
        symbolicLinkNotAllowed,
        nonRegularFile,
    };

    static ReplayFixtureFileError openFailed(std::int32_t errorNumber);
    static ReplayFixtureFileError metadataFailed(std::int32_t errorNumber);
    static ReplayFixtureFileError readFailed(std::int32_t errorNumber);
    static ReplayFixtureFileError symbolicLinkNotAllowed();
    static ReplayFixtureFileError nonRegularFile();

    Kind kind() const noexcept { return kind_; }
    /// The errno of the failed call; present exactly for `openFailed`, `metadataFailed` and
    /// `readFailed`.
    std::optional<std::int32_t> errorNumber() const noexcept { return errorNumber_; }
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

    friend bool operator==(const ReplayFixtureFileError& lhs, const ReplayFixtureFileError& rhs) {
        return lhs.kind_ == rhs.kind_ && lhs.errorNumber_ == rhs.errorNumber_;
    }

  private:
    ReplayFixtureFileError(Kind kind, std::optional<std::int32_t> errorNumber, std::string message)
        : kind_(kind), errorNumber_(errorNumber), message_(std::move(message)) {}

    Kind kind_;
    std::optional<std::int32_t> errorNumber_;
    std::string message_;
};

/// Reads a fixture file's bytes without trusting the file: it must be a regular file reached
/// without following a final symbolic link (links in earlier components are followed), a file
/// reported larger than `ReplayFixtureLimits::maximumDataBytes` is rejected before any byte is
/// read, and no more than that limit plus one byte is ever read, so a file that grows while it is
/// read (or that reports a size of 0, as /proc files do) cannot make the read unbounded. The
/// descriptor is opened non-blocking, so FIFOs and devices are rejected without waiting on them,
/// and it is closed on every path. Throws `ReplayFixtureFileError`, or
/// `ReplayFixtureValidationError::dataTooLarge`.
class ReplayFixtureFileLoader {
  public:
    ReplayFixtureFileLoader() = delete;

    /// The most bytes one read call asks for.
    static constexpr std::size_t chunkBytes = 65'536;

    /// Bytes past the end of the text that every read leaves allocated and set (a NUL, then
    /// spaces): a parser that reads blocks of bytes may read that far without the text being
    /// copied into a larger buffer first.
    static constexpr std::size_t readableSlack = 64;

    /// Opens `file` and reads it with `readOpenFile`.
    static std::string read(const std::filesystem::path& file);

    /// Everything after the open: inspects `descriptor`, which the caller owns and keeps open,
    /// rejects it unless it is a regular file whose reported size is within the limit, and reads
    /// it with `readContents`.
    static std::string readOpenFile(int descriptor);

    /// The read itself: reads `descriptor` from its current offset to its end in chunks of at
    /// most `chunkBytes`, with room reserved for `reportedSize` bytes, asking for no more than the
    /// limit plus one byte in all. Fails with `dataTooLarge` when that extra byte arrives. The
    /// text is followed by `readableSlack` bytes of capacity.
    static std::string readContents(int descriptor, std::size_t reportedSize);
};

}  // namespace quorin
