#include "QuorinDaemon/Platform/Linux/ProcAncestryWalking.hpp"

#include "QuorinCore/Support/UniqueFd.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <unicode/unistr.h>

#include <algorithm>
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

// Field `number` of a stat file's text, counted from 1 as proc(5) counts them and at least 3: the
// fields after the command name, which ends at the last ")" and may itself hold spaces and
// parentheses, each follow one space.
std::optional<std::string_view> statField(std::string_view stat, std::size_t number) {
    const std::size_t close = stat.rfind(')');
    if (close == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view rest = stat.substr(close + 1);
    for (std::size_t field = 3;; ++field) {
        if (!rest.starts_with(' ')) {
            return std::nullopt;
        }
        rest.remove_prefix(1);
        const std::size_t end = std::min(rest.find(' '), rest.size());
        if (field == number) {
            return rest.substr(0, end);
        }
        rest.remove_prefix(end);
    }
}

// The field read as a number, when all of it is one.
template <class Number>
std::optional<Number> wholeNumber(std::optional<std::string_view> field) {
    Number value{};
    if (!field || field->empty()) {
        return std::nullopt;
    }
    const char* end = field->data() + field->size();
    const auto [stop, error] = std::from_chars(field->data(), end, value);
    if (error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<std::int32_t> ProcAncestryWalking::parentPid(std::string_view stat) {
    return wholeNumber<std::int32_t>(statField(stat, 4));
}

std::optional<ProcessStatus> ProcAncestryWalking::statusIn(std::string_view stat) {
    const std::optional<std::int32_t> ppid = parentPid(stat);
    const std::optional<std::uint64_t> started = wholeNumber<std::uint64_t>(statField(stat, 22));
    if (!ppid || !started) {
        return std::nullopt;
    }
    return ProcessStatus{*started, *ppid};
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

std::optional<ProcessStatus> ProcAncestryWalking::status(std::int32_t pid) const {
    const std::optional<std::string> stat = readStat(pid);
    return stat ? statusIn(*stat) : std::nullopt;
}

}  // namespace quorin::daemon
