#include "QuorinDaemon/Platform/Linux/ProcessFacts.hpp"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace quorin::daemon {

std::optional<ProcessFacts> ProcessFacts::of(pid_t pid, const std::string& procRoot) {
    const std::string directory = procRoot + "/" + std::to_string(pid);
    std::ifstream status(directory + "/status");
    std::optional<std::uint32_t> realUserID;
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("Uid:")) {
            std::istringstream fields(line.substr(4));
            std::uint32_t real = 0;
            if (fields >> real) {
                realUserID = real;
            }
            break;
        }
    }
    if (!realUserID) {
        return std::nullopt;
    }
    std::error_code error;
    const std::filesystem::path executable =
        std::filesystem::read_symlink(directory + "/exe", error);
    return ProcessFacts{*realUserID, error ? std::string() : executable.string()};
}

bool ProcessFacts::isPlatformBinary(const std::string& executable) {
    const bool underSystemDirectory =
        executable.starts_with("/usr/") || executable.starts_with("/bin/") ||
        executable.starts_with("/sbin/") || executable.starts_with("/lib");
    struct stat status {};
    return underSystemDirectory && ::lstat(executable.c_str(), &status) == 0 &&
           S_ISREG(status.st_mode) && status.st_uid == 0 &&
           (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace quorin::daemon
