#include "quorin/ExecutableRootScan.hpp"

#include "QuorinCore/Support/JSON.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>

namespace quorin::cli {

namespace {

struct DirectoryCloser {
    void operator()(DIR* directory) const { ::closedir(directory); }
};
using DirectoryStream = std::unique_ptr<DIR, DirectoryCloser>;

std::optional<std::string> resolved(const std::string& path) {
    char buffer[PATH_MAX];
    if (::realpath(path.c_str(), buffer) == nullptr) {
        return std::nullopt;
    }
    return std::string(buffer);
}

// The text a link holds, as `readlink` gives it.
std::string linkText(int directory, const char* name) {
    std::string text(PATH_MAX, '\0');
    const ssize_t length = ::readlinkat(directory, name, text.data(), text.size());
    text.resize(length < 0 ? 0 : static_cast<std::size_t>(length));
    return text;
}

// JSON carries only UTF-8 text; any other name would reach the daemon as another path.
bool isUTF8(const std::string& text) {
    try {
        (void)Json(text).dump();
        return true;
    } catch (const Json::type_error&) {
        return false;
    }
}

std::string child(const std::string& directory, const char* name) {
    return directory == "/" ? "/" + std::string(name) : directory + "/" + name;
}

class Scanner {
  public:
    Scanner(ExecutableRootScan& scan, const ExecutableRootScanLimits& limits)
        : scan_(scan), limits_(limits) {}

    // Depth first with a stack of its own, so a deep tree cannot exhaust the call stack.
    void walk(const std::string& root) {
        std::vector<std::string> directories{root};
        while (!directories.empty()) {
            const std::string directory = std::move(directories.back());
            directories.pop_back();
            list(directory, directories);
        }
    }

  private:
    void list(const std::string& directory, std::vector<std::string>& directories) {
        // O_NOFOLLOW: a directory replaced by a link since it was listed is not entered.
        const int directoryFd =
            ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (directoryFd < 0) {
            omitUnreadable(directory, errno);
            return;
        }
        // The stream owns the descriptor from here on.
        const DirectoryStream stream(::fdopendir(directoryFd));
        if (!stream) {
            const int error = errno;
            ::close(directoryFd);
            omitUnreadable(directory, error);
            return;
        }
        while (true) {
            errno = 0;
            const dirent* entry = ::readdir(stream.get());
            if (entry == nullptr) {
                if (errno != 0) {
                    omitUnreadable(directory, errno);
                }
                return;
            }
            const std::string_view name = entry->d_name;
            if (name == "." || name == "..") {
                continue;
            }
            visit(directoryFd, directory, entry->d_name, directories);
        }
    }

    void visit(int directoryFd, const std::string& directory, const char* name,
               std::vector<std::string>& directories) {
        struct stat status {};
        if (::fstatat(directoryFd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            return;  // removed since it was listed
        }
        const bool executable = S_ISREG(status.st_mode) && (status.st_mode & 0111) != 0;
        if (!executable && !S_ISLNK(status.st_mode) && !S_ISDIR(status.st_mode)) {
            return;
        }
        const std::string path = child(directory, name);
        if (!isUTF8(path)) {
            scan_.omissions.push_back(path + ": the name is not UTF-8 text");
            return;
        }
        if (S_ISDIR(status.st_mode)) {
            directories.push_back(path);
        } else if (executable) {
            scan_.baseline.insert_or_assign(path, fileVersion(status));
            if (scan_.baseline.size() > limits_.baselineEntries) {
                throw std::runtime_error(
                    "the roots hold more than " + std::to_string(limits_.baselineEntries) +
                    " executables, more than the daemon accepts in the baseline");
            }
        } else {
            // The daemon resolves each link again when it stores the configuration.
            scan_.aliases.insert_or_assign(path,
                                           resolved(path).value_or(linkText(directoryFd, name)));
            if (scan_.aliases.size() > limits_.aliases) {
                throw std::runtime_error(
                    "the roots hold more than " + std::to_string(limits_.aliases) +
                    " symbolic links, more than the daemon accepts as aliases");
            }
        }
    }

    void omitUnreadable(const std::string& directory, int error) {
        scan_.omissions.push_back(directory + ": could not be read (" + std::strerror(error) + ")");
    }

    ExecutableRootScan& scan_;
    const ExecutableRootScanLimits& limits_;
};

std::string canonicalRoot(const std::string& root) {
    char buffer[PATH_MAX];
    if (::realpath(root.c_str(), buffer) == nullptr) {
        throw std::runtime_error("cannot protect " + root + ": " + std::strerror(errno));
    }
    const std::string path = buffer;
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        throw std::runtime_error("cannot protect " + root + ": it is not a directory");
    }
    if (!isUTF8(path)) {
        throw std::runtime_error("cannot protect " + root + ": its path is not UTF-8 text");
    }
    return path;
}

}  // namespace

ExecutableRootScan ExecutableRootScan::scanning(const std::vector<std::string>& roots,
                                                const ExecutableRootScanLimits& limits) {
    ExecutableRootScan scan;
    for (const std::string& root : roots) {
        std::string path = canonicalRoot(root);
        if (std::find(scan.roots.begin(), scan.roots.end(), path) == scan.roots.end()) {
            scan.roots.push_back(std::move(path));
        }
    }
    if (scan.roots.size() > limits.roots) {
        throw std::runtime_error("more than " + std::to_string(limits.roots) +
                                 " roots, more than the daemon accepts");
    }
    Scanner scanner(scan, limits);
    for (const std::string& root : scan.roots) {
        scanner.walk(root);
    }
    return scan;
}

}  // namespace quorin::cli
