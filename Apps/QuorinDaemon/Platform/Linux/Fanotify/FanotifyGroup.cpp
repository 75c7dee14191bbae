#include "QuorinDaemon/Platform/Linux/Fanotify/FanotifyGroup.hpp"

#include "QuorinDaemon/Platform/Linux/ProcessFacts.hpp"

#include <linux/magic.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>

namespace quorin::daemon::fanotify {

es_string_token_t token(std::string text) {
    const auto length = static_cast<std::int64_t>(text.size());
    return es_string_token_t{std::move(text), length};
}

es_file_t fileAt(std::string path) {
    return es_file_t{token(std::move(path)), {}, nullptr};
}

es_process_t processOf(pid_t pid) {
    es_process_t process;
    const std::optional<ProcessFacts> facts = ProcessFacts::of(pid);
    process.audit_token = audit_token_t{pid, facts ? facts->realUserID : UINT32_MAX};
    process.executable = fileAt(facts ? facts->executable : std::string());
    // The executable's own status, through the process's link to it.
    struct stat status {};
    process.is_platform_binary =
        facts && ::stat(("/proc/" + std::to_string(pid) + "/exe").c_str(), &status) == 0 &&
        ProcessFacts::isPlatformBinary(facts->executable, status);
    process.signing_id = token("");
    process.team_id = token("");
    return process;
}

timespec timeOf(Date date) {
    const double seconds = date.unixTime();
    return timespec{static_cast<time_t>(std::floor(seconds)),
                    static_cast<long>((seconds - std::floor(seconds)) * 1e9)};
}

// The mount points of every file system an executable can be run from: all but the kernel's own
// interfaces. Mount points are written with octal escapes for blanks.
std::vector<std::string> executableMounts() {
    static const std::set<std::string> interfaces{
        "proc",      "sysfs",       "cgroup", "cgroup2",    "devpts",   "mqueue",   "debugfs",
        "tracefs",   "securityfs",  "pstore", "bpf",        "autofs",   "configfs", "fusectl",
        "hugetlbfs", "binfmt_misc", "nsfs",   "rpc_pipefs", "efivarfs", "selinuxfs"};
    std::vector<std::string> mountPoints;
    std::ifstream mounts("/proc/self/mounts");
    std::string device;
    std::string mountPoint;
    std::string type;
    std::string rest;
    while (mounts >> device >> mountPoint >> type && std::getline(mounts, rest)) {
        if (interfaces.contains(type)) {
            continue;
        }
        std::string decoded;
        for (std::size_t index = 0; index < mountPoint.size(); ++index) {
            if (mountPoint[index] == '\\' && index + 3 < mountPoint.size()) {
                decoded +=
                    static_cast<char>(std::stoi(mountPoint.substr(index + 1, 3), nullptr, 8));
                index += 3;
            } else {
                decoded += mountPoint[index];
            }
        }
        mountPoints.push_back(decoded);
    }
    return mountPoints;
}

std::string fileSystemName(__fsword_t type) {
    switch (type) {
        case FUSE_SUPER_MAGIC:
            return "fuse";
        case NFS_SUPER_MAGIC:
            return "nfs";
        case SMB_SUPER_MAGIC:
        case CIFS_SUPER_MAGIC:
        case SMB2_SUPER_MAGIC:
            return "smb";
        case OVERLAYFS_SUPER_MAGIC:
            return "overlay";
        case PROC_SUPER_MAGIC:
            return "proc";
        case SYSFS_MAGIC:
            return "sysfs";
        default: {
            char text[32];
            std::snprintf(text, sizeof text, "type 0x%lx", static_cast<unsigned long>(type));
            return text;
        }
    }
}

namespace {

bool passesWithTheLoad(int error) {
    return error == EMFILE || error == ENFILE || error == ENOMEM || error == ENOBUFS;
}

}  // namespace

GroupReader::GroupReader() : stop_(::eventfd(0, EFD_CLOEXEC)) {}

ReaderPing::ReaderPing() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void ReaderPing::ask() {
    count_.ask();
    const std::uint64_t one = 1;
    (void)!::write(wake_.get(), &one, sizeof one);
}

void ReaderPing::answer() {
    // Taken before the count is read: a question asked meanwhile wakes the reader once more
    // rather than being lost.
    std::uint64_t waiting = 0;
    (void)!::read(wake_.get(), &waiting, sizeof waiting);
    count_.answer();
}

void GroupReader::stop() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        (void)!::write(stop_.get(), &one, sizeof one);
        thread_.join();
    }
}

bool pauseUnlessStopped(int stop, std::chrono::milliseconds duration) {
    pollfd ready{stop, POLLIN, 0};
    return ::poll(&ready, 1, static_cast<int>(duration.count())) > 0;
}

bool readEvents(const GroupReading& reading, const EventHandler& onEvent, int& lostError) {
    using namespace std::chrono_literals;
    alignas(fanotify_event_metadata) std::array<char, 64 * 1024> buffer{};
    int failedReads = 0;
    std::chrono::milliseconds pause = 10ms;
    while (true) {
        // A descriptor of -1 is left out by poll.
        std::array<pollfd, 4> ready{
            pollfd{reading.group, POLLIN, 0}, pollfd{reading.stop, POLLIN, 0},
            pollfd{reading.mounts, POLLPRI, 0},
            pollfd{reading.ping ? reading.ping->descriptor() : -1, POLLIN, 0}};
        if (::poll(ready.data(), ready.size(), -1) < 0) {
            continue;  // interrupted, or short of memory for a moment
        }
        if (ready[1].revents != 0) {
            return true;
        }
        if ((ready[2].revents & (POLLPRI | POLLERR)) != 0) {
            reading.onMountsChanged();
        }
        if (ready[3].revents != 0) {
            reading.ping->answer();
        }
        if ((ready[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            lostError = EIO;
            return false;
        }
        if ((ready[0].revents & POLLIN) == 0) {
            continue;
        }
        if (reading.gathering.count() > 0) {
            const auto seconds =
                std::chrono::duration_cast<std::chrono::seconds>(reading.gathering);
            const timespec gathering{
                seconds.count(),
                std::chrono::duration_cast<std::chrono::nanoseconds>(reading.gathering - seconds)
                    .count()};
            pollfd stop{reading.stop, POLLIN, 0};
            if (::ppoll(&stop, 1, &gathering, nullptr) > 0) {
                return true;
            }
        }
        const ssize_t length = reading.kernel.read(reading.group, buffer.data(), buffer.size());
        if (length < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (length < 0 && passesWithTheLoad(errno)) {
            if (failedReads++ == 0) {
                reading.log.log(LogLevel::error,
                                "reading %{public}s events failed: %{public}s; retrying",
                                {LogValue::public_(std::string(reading.name)),
                                 LogValue::public_(std::strerror(errno))});
            }
            if (pauseUnlessStopped(reading.stop, pause)) {
                return true;
            }
            pause = std::min(pause * 2, std::chrono::milliseconds(1s));
            continue;
        }
        if (length <= 0) {
            lostError = length == 0 ? EIO : errno;
            return false;
        }
        if (failedReads > 0) {
            reading.log.log(LogLevel::default_,
                            "reading %{public}s events again after %{public}d failed reads",
                            {LogValue::public_(std::string(reading.name)),
                             LogValue::public_(std::to_string(failedReads))});
            failedReads = 0;
            pause = 10ms;
        }
        // Events follow one another at their own lengths, which need not keep the next one
        // aligned: each is copied out before its fields are read.
        const auto total = static_cast<std::size_t>(length);
        std::size_t offset = 0;
        while (total - offset >= sizeof(fanotify_event_metadata)) {
            fanotify_event_metadata metadata{};
            std::memcpy(&metadata, buffer.data() + offset, sizeof metadata);
            if (metadata.event_len < sizeof metadata || metadata.event_len > total - offset) {
                break;
            }
            try {
                onEvent(metadata, std::string_view(buffer.data() + offset, metadata.event_len));
            } catch (const std::exception& error) {
                reading.log.log(LogLevel::error, "handling a %{public}s event failed: %{public}s",
                                {LogValue::public_(std::string(reading.name)),
                                 LogValue::public_(error.what())});
            }
            offset += metadata.event_len;
        }
    }
}

}  // namespace quorin::daemon::fanotify
