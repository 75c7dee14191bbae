#include "QuorinDaemon/Platform/Linux/ProcessFacts.hpp"

#include "QuorinCore/Attribution/DaemonPathAuthorization.hpp"
#include "QuorinCore/Support/UniqueFd.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string_view>

namespace quorin::daemon {

namespace {

// The real user id on the "Uid:" line of a status file (real, effective, saved, file system).
std::optional<std::uint32_t> realUserIDIn(std::string_view status) {
    constexpr std::string_view label = "Uid:";
    std::size_t start = status.starts_with(label) ? 0 : status.find("\n" + std::string(label));
    if (start == std::string_view::npos) {
        return std::nullopt;
    }
    start += status[start] == '\n' ? label.size() + 1 : label.size();
    while (start < status.size() && (status[start] == '\t' || status[start] == ' ')) {
        ++start;
    }
    std::uint32_t real = 0;
    const char* end = status.data() + status.size();
    const auto [next, error] = std::from_chars(status.data() + start, end, real);
    if (error != std::errc() || next == status.data() + start ||
        (next != end && *next != '\t' && *next != ' ' && *next != '\n')) {
        return std::nullopt;
    }
    return real;
}

}  // namespace

std::optional<ProcessFacts> ProcessFacts::of(pid_t pid, const std::string& procRoot) {
    // Every exec on the machine waits while this runs: one read of the status file (the "Uid:"
    // line comes early in it) and one of the executable link, without stream machinery.
    const std::string directory = procRoot + "/" + std::to_string(pid);
    const UniqueFd status(::open((directory + "/status").c_str(), O_RDONLY | O_CLOEXEC));
    if (!status.valid()) {
        return std::nullopt;
    }
    std::array<char, 4096> buffer{};
    const ssize_t length = ::read(status.get(), buffer.data(), buffer.size());
    if (length <= 0) {
        return std::nullopt;
    }
    const std::optional<std::uint32_t> realUserID =
        realUserIDIn(std::string_view(buffer.data(), static_cast<std::size_t>(length)));
    if (!realUserID) {
        return std::nullopt;
    }
    return ProcessFacts{*realUserID, linkTarget(directory + "/exe")};
}

std::optional<std::uint64_t> ProcessFacts::startTime(pid_t pid, const std::string& procRoot) {
    std::ifstream file(procRoot + "/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(file, line)) {
        return std::nullopt;
    }
    // "pid (comm) state ppid ...": the command name, which may hold anything, ends at the last
    // ")"; the start time is the twentieth field after it.
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(line.substr(close + 1));
    std::string field;
    for (int index = 0; index < 20 && fields >> field; ++index) {
    }
    std::uint64_t ticks = 0;
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), ticks);
    if (error != std::errc() || end != field.data() + field.size() || fields.fail()) {
        return std::nullopt;
    }
    return ticks;
}

std::string ProcessFacts::linkTarget(const std::string& link) {
    std::array<char, PATH_MAX> target{};
    const ssize_t length = ::readlink(link.c_str(), target.data(), target.size());
    if (length <= 0 || static_cast<std::size_t>(length) == target.size()) {
        return std::string();  // unreadable, or cut short
    }
    return std::string(target.data(), static_cast<std::size_t>(length));
}

std::string ProcessFacts::pathOfOpenFile(int descriptor, const struct stat& status) {
    // The kernel names an open file by the path it was reached through, or makes one up: "
    // (deleted)" appended once it is unlinked, "/memfd:name (deleted)" for memory. Only a path
    // that names this very file now is its path; anything else (too long to read, unlinked, made
    // up, or already naming another file) is none.
    const std::string path = linkTarget("/proc/self/fd/" + std::to_string(descriptor));
    struct stat named {};
    if (!path.starts_with('/') || status.st_nlink == 0 || ::lstat(path.c_str(), &named) != 0 ||
        named.st_dev != status.st_dev || named.st_ino != status.st_ino) {
        return "";
    }
    return path;
}

bool ProcessFacts::isPlatformBinary(const std::string& path, const struct stat& status) {
    const bool underSystemDirectory = path.starts_with("/usr/") || path.starts_with("/bin/") ||
                                      path.starts_with("/sbin/") || path.starts_with("/lib");
    const bool installedByHand =
        DaemonPathAuthorization::contains(path, "/usr/local") ||
        std::any_of(DaemonPathAuthorization::sharedRoots.begin(),
                    DaemonPathAuthorization::sharedRoots.end(), [&path](std::string_view root) {
                        return DaemonPathAuthorization::contains(path, root);
                    });
    return underSystemDirectory && !installedByHand && S_ISREG(status.st_mode) &&
           status.st_uid == 0 && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool ProcessFacts::onlyRootCanRelocate(const std::string& path, const struct stat& status) {
    const auto othersMayWrite = [](const struct stat& entry) {
        return (entry.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    };
    if (!path.starts_with('/') || !S_ISREG(status.st_mode) || status.st_uid != 0 ||
        othersMayWrite(status)) {
        return false;
    }
    std::string directory = path;
    do {
        const std::size_t slash = directory.rfind('/');
        directory.resize(slash == 0 ? 1 : slash);
        struct stat entry {};
        if (::lstat(directory.c_str(), &entry) != 0 || !S_ISDIR(entry.st_mode) ||
            entry.st_uid != 0 || (othersMayWrite(entry) && (entry.st_mode & S_ISVTX) == 0)) {
            return false;
        }
    } while (directory != "/");
    return true;
}

bool ProcessFacts::hardLinksProtected() {
    std::ifstream setting("/proc/sys/fs/protected_hardlinks");
    int value = 0;
    return setting >> value && value == 1;
}

}  // namespace quorin::daemon
