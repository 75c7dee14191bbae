#include "QuorinDaemon/Platform/Linux/ProcPeerRequirement.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace quorin::daemon {

namespace {

bool ownedByRootAndClosed(const struct stat& status) {
    return status.st_uid == 0 && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

bool ProcPeerRequirement::isProtectedExecutable(const std::string& path) {
    std::filesystem::path current(path);
    if (!current.is_absolute()) {
        return false;
    }
    struct stat status {};
    if (::lstat(current.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
        !ownedByRootAndClosed(status)) {
        return false;
    }
    // The link target from /proc has no links left in it; every directory up to "/" counts.
    while (current.has_relative_path()) {
        current = current.parent_path();
        if (::lstat(current.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
            !ownedByRootAndClosed(status)) {
            return false;
        }
    }
    return true;
}

bool ProcPeerRequirement::satisfies(pid_t pid, const std::string&) const {
    std::error_code error;
    const std::filesystem::path executable =
        std::filesystem::read_symlink(procRoot_ + "/" + std::to_string(pid) + "/exe", error);
    return !error && isProtectedExecutable(executable.string());
}

}  // namespace quorin::daemon
