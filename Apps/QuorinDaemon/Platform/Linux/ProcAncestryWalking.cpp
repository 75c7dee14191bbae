#include "QuorinDaemon/Platform/Linux/ProcAncestryWalking.hpp"

#include "QuorinCore/Support/UniqueFd.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <unicode/unistr.h>

#include <array>
#include <charconv>
#include <string>

namespace quorin::daemon {

namespace {

// The stat file is one short line; its fields up to the parent pid fit easily.
std::optional<std::string> readStat(std::int32_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    const UniqueFd descriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!descriptor.valid()) {
        return std::nullopt;
    }
    std::array<char, 1024> buffer{};
    const ssize_t count = ::read(descriptor.get(), buffer.data(), buffer.size());
    if (count <= 0) {
        return std::nullopt;
    }
    return std::string(buffer.data(), static_cast<std::size_t>(count));
}

std::optional<std::string> executablePath(std::int32_t pid) {
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    std::array<char, 4096> buffer{};
    const ssize_t count = ::readlink(link.c_str(), buffer.data(), buffer.size());
    if (count < 1) {
        return std::nullopt;
    }
    std::string path;
    icu::UnicodeString::fromUTF8(icu::StringPiece(buffer.data(), static_cast<std::int32_t>(count)))
        .toUTF8String(path);
    return path;
}

}  // namespace

std::optional<std::int32_t> ProcAncestryWalking::parentPid(std::string_view stat) {
    // "pid (comm) state ppid ...": the command name ends at the last ")".
    const std::size_t close = stat.rfind(')');
    if (close == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view rest = stat.substr(close + 1);
    // Skip " state ".
    const std::size_t state = rest.find_first_not_of(' ');
    if (state == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t afterState = rest.find(' ', state);
    if (afterState == std::string_view::npos) {
        return std::nullopt;
    }
    rest = rest.substr(afterState + 1);
    std::int32_t ppid = 0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), ppid);
    if (error != std::errc() || end == rest.data() ||
        (end != rest.data() + rest.size() && *end != ' ')) {
        return std::nullopt;
    }
    return ppid;
}

std::optional<ParentProcess> ProcAncestryWalking::parent(std::int32_t of) const {
    const std::optional<std::string> stat = readStat(of);
    if (!stat) {
        return std::nullopt;
    }
    const std::optional<std::int32_t> ppid = parentPid(*stat);
    if (!ppid || *ppid <= 0) {
        return std::nullopt;
    }
    std::optional<std::string> path = executablePath(*ppid);
    if (!path) {
        return std::nullopt;
    }
    return ParentProcess{*ppid, std::move(*path)};
}

}  // namespace quorin::daemon
