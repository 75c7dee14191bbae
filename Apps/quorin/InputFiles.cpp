#include "quorin/InputFiles.hpp"

#include "QuorinCore/Replay/ReplayTerminalOutput.hpp"
#include "QuorinCore/Support/UniqueFd.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace quorin::cli {

namespace {

[[noreturn]] void fail(const std::string& what, const std::string& name, int error) {
    throw std::runtime_error(what + " " + ReplayTerminalOutput::sanitize(name) + ": " +
                             std::strerror(error));
}

std::string readAll(int descriptor, const std::string& name) {
    struct stat status {};
    if (::fstat(descriptor, &status) != 0) {
        fail("Could not read", name, errno);
    }
    if (S_ISDIR(status.st_mode)) {
        fail("Could not read", name, EISDIR);
    }
    std::string content;
    char buffer[64 * 1024];
    while (true) {
        const ssize_t count = ::read(descriptor, buffer, sizeof buffer);
        if (count == 0) {
            return content;
        }
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail("Could not read", name, errno);
        }
        if (content.size() + static_cast<std::size_t>(count) > maximumInputBytes) {
            throw std::runtime_error(ReplayTerminalOutput::sanitize(name) +
                                     " is larger than 64 MiB");
        }
        content.append(buffer, static_cast<std::size_t>(count));
    }
}

}  // namespace

std::string readInputFile(const std::string& path) {
    const UniqueFd descriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!descriptor.valid()) {
        fail("Could not open", path, errno);
    }
    return readAll(descriptor.get(), path);
}

std::string readStandardInput() {
    return readAll(STDIN_FILENO, "standard input");
}

}  // namespace quorin::cli
