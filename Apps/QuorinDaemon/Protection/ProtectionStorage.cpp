#include "QuorinDaemon/Protection/ProtectionStorage.hpp"

#include "QuorinCore/Support/UUID.hpp"
#include "QuorinCore/Support/UniqueFd.hpp"
#include "QuorinDaemon/Protection/ProtectionError.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace quorin::daemon {

namespace {

[[noreturn]] void fail(ProtectionError::Kind kind = ProtectionError::Kind::storage) {
    throw ProtectionError(kind);
}

std::string fileName(std::uint32_t uid) {
    return std::to_string(uid) + ".json";
}

bool isPrivateToUs(const struct stat& status) {
    return status.st_uid == ::geteuid() && (status.st_mode & 077) == 0;
}

// The storage directory, created when missing and accepted only when it is a real directory that
// belongs to the daemon's user and no one else may use.
UniqueFd openDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        fail();
    }
    UniqueFd directory(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!directory.valid() || ::fstat(directory.get(), &status) != 0 || !isPrivateToUs(status)) {
        fail();
    }
    return directory;
}

void writeAll(int descriptor, const std::string& bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t count = ::write(descriptor, bytes.data() + written, bytes.size() - written);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            fail();
        }
        written += static_cast<std::size_t>(count);
    }
}

}  // namespace

void ProtectionStorage::save(const User& user, std::uint32_t uid) const {
    const std::string encoded = encodeJSONText(user);
    if (encoded.size() > maximumFileBytes) {
        fail(ProtectionError::Kind::capacity);
    }
    const UniqueFd directory = openDirectory(directory_);
    const std::string temporary = "." + UUID::random().uuidString();
    UniqueFd file(::openat(directory.get(), temporary.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.valid()) {
        fail();
    }
    bool saved = false;
    try {
        writeAll(file.get(), encoded);
        saved = ::fsync(file.get()) == 0 &&
                ::renameat(directory.get(), temporary.c_str(), directory.get(),
                           fileName(uid).c_str()) == 0 &&
                ::fsync(directory.get()) == 0;
    } catch (const ProtectionError&) {
        saved = false;
    }
    // After a rename the temporary name is gone; otherwise it must not stay behind.
    file.reset();
    ::unlinkat(directory.get(), temporary.c_str(), 0);
    if (!saved) {
        fail();
    }
}

User ProtectionStorage::load(std::uint32_t uid) const {
    const UniqueFd directory = openDirectory(directory_);
    const UniqueFd file(::openat(directory.get(), fileName(uid).c_str(),
                                 O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (!file.valid()) {
        if (errno == ENOENT) {
            return User{};
        }
        fail();
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1 ||
        !isPrivateToUs(status) || status.st_size < 0 ||
        static_cast<std::uint64_t>(status.st_size) > maximumFileBytes) {
        fail();
    }
    std::string content;
    std::vector<char> chunk(readChunkBytes);
    while (true) {
        const ssize_t count = ::read(file.get(), chunk.data(), chunk.size());
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            fail();
        }
        if (count == 0) {
            break;
        }
        if (content.size() + static_cast<std::size_t>(count) > maximumFileBytes) {
            fail(ProtectionError::Kind::capacity);
        }
        content.append(chunk.data(), static_cast<std::size_t>(count));
    }
    return decodeJSONText<User>(content);
}

}  // namespace quorin::daemon
