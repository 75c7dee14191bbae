#include "QuorinDaemon/Platform/Linux/FanotifyEndpointSecurity.hpp"

#include "QuorinCore/Support/UniqueFd.hpp"
#include "QuorinDaemon/Platform/Linux/ProcessFacts.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>

namespace quorin::daemon {

namespace {

constexpr std::uint64_t notificationMask(const std::vector<es_event_type_t>& events) {
    std::uint64_t mask = 0;
    for (const es_event_type_t event : events) {
        switch (event) {
            case es_event_type_t::ES_EVENT_TYPE_NOTIFY_WRITE:
                mask |= FAN_MODIFY;
                break;
            case es_event_type_t::ES_EVENT_TYPE_NOTIFY_CLOSE:
                mask |= FAN_CLOSE_WRITE;
                break;
            case es_event_type_t::ES_EVENT_TYPE_NOTIFY_CREATE:
                mask |= FAN_CREATE;
                break;
            case es_event_type_t::ES_EVENT_TYPE_NOTIFY_RENAME:
                mask |= FAN_RENAME;
                break;
            case es_event_type_t::ES_EVENT_TYPE_NOTIFY_UNLINK:
                mask |= FAN_DELETE;
                break;
            case es_event_type_t::ES_EVENT_TYPE_AUTH_EXEC:
                break;
        }
    }
    return mask;
}

es_string_token_t token(std::string text) {
    const auto length = static_cast<std::int64_t>(text.size());
    return es_string_token_t{std::move(text), length};
}

es_file_t fileAt(std::string path) {
    return es_file_t{token(std::move(path)), {}};
}

bool contains(const std::string& prefix, const std::string& path) {
    return path.starts_with(prefix);
}

// The process behind an event, from /proc. One that has exited already has no facts: its user
// and executable stay unknown rather than guessed.
es_process_t processOf(pid_t pid) {
    es_process_t process;
    const std::optional<ProcessFacts> facts = ProcessFacts::of(pid);
    process.audit_token = audit_token_t{pid, facts ? facts->realUserID : UINT32_MAX};
    process.executable = fileAt(facts ? facts->executable : std::string());
    process.is_platform_binary = facts && ProcessFacts::isPlatformBinary(facts->executable);
    process.signing_id = token("");
    process.team_id = token("");
    return process;
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

// Reads `group` and hands each event to `onEvent` as its fixed part (copied out, so aligned) and
// all its bytes, until `stop` is signalled (true) or the group can no longer be read (false).
template <class OnEvent>
bool readEvents(int group, int stop, OnEvent&& onEvent) {
    alignas(fanotify_event_metadata) std::array<char, 64 * 1024> buffer{};
    while (true) {
        std::array<pollfd, 2> ready{pollfd{group, POLLIN, 0}, pollfd{stop, POLLIN, 0}};
        if (::poll(ready.data(), ready.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (ready[1].revents != 0) {
            return true;
        }
        const ssize_t length = ::read(group, buffer.data(), buffer.size());
        if (length < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (length <= 0) {
            return false;
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
            onEvent(metadata, std::string_view(buffer.data() + offset, metadata.event_len));
            offset += metadata.event_len;
        }
    }
}

// A wall-clock date as the time of a message.
timespec timeOf(Date date) {
    const double seconds = date.unixTime();
    return timespec{static_cast<time_t>(std::floor(seconds)),
                    static_cast<long>((seconds - std::floor(seconds)) * 1e9)};
}

// How a file system is named in the log: by its type where it is one that cannot be marked.
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

// The nearest existing directory at or above `path`.
std::string existingDirectory(std::filesystem::path path) {
    std::error_code error;
    while (!std::filesystem::is_directory(path, error) && path.has_relative_path()) {
        path = path.parent_path();
    }
    return path.string();
}

}  // namespace

// A content group shared by its reader and the messages it produced. Closing it (on a fatal
// error, or when the client goes) makes the kernel let every exec still held through; an answer
// after that is refused rather than written to a descriptor that may since name something else.
class ContentGroup {
  public:
    explicit ContentGroup(UniqueFd descriptor) : descriptor_(std::move(descriptor)) {}

    int descriptor() const { return descriptor_.get(); }

    bool respond(int event, bool allow) {
        const fanotify_response response{event, static_cast<__u32>(allow ? FAN_ALLOW : FAN_DENY)};
        const std::lock_guard lock(mutex_);
        return descriptor_.valid() && ::write(descriptor_.get(), &response, sizeof response) ==
                                          static_cast<ssize_t>(sizeof response);
    }

    void close() {
        const std::lock_guard lock(mutex_);
        descriptor_.reset();
    }

  private:
    std::mutex mutex_;
    UniqueFd descriptor_;
};

// The authorization messages in flight. A message stays valid while its handler runs and while
// it is retained; when the last holder lets go, its envelope closes the event's descriptor, and
// denies the exec first if nobody answered.
class FanotifyEndpointSecurity::Envelopes {
  public:
    struct Envelope {
        Envelope(std::shared_ptr<ContentGroup> contentGroup, UniqueFd eventDescriptor)
            : group(std::move(contentGroup)), event(std::move(eventDescriptor)) {}
        ~Envelope() { answer(false); }
        Envelope(const Envelope&) = delete;
        Envelope& operator=(const Envelope&) = delete;

        /// The one answer; later ones are duplicates and change nothing.
        es_respond_result_t answer(bool allow) {
            if (answered.exchange(true)) {
                return es_respond_result_t::ES_RESPOND_RESULT_ERR_DUPLICATE_RESPONSE;
            }
            return group->respond(event.get(), allow)
                       ? es_respond_result_t::ES_RESPOND_RESULT_SUCCESS
                       : es_respond_result_t::ES_RESPOND_RESULT_ERR_INTERNAL;
        }

        es_message_t message;
        std::shared_ptr<ContentGroup> group;
        UniqueFd event;
        std::atomic<bool> answered{false};
        int holders = 1;  // the running handler, then each retain; guarded by Envelopes::mutex_
    };

    void add(std::shared_ptr<Envelope> envelope) {
        const std::lock_guard lock(mutex_);
        const es_message_t* key = &envelope->message;
        envelopes_.emplace(key, std::move(envelope));
    }

    std::shared_ptr<Envelope> find(const es_message_t& message) {
        const std::lock_guard lock(mutex_);
        const auto found = envelopes_.find(&message);
        return found == envelopes_.end() ? nullptr : found->second;
    }

    void retain(const es_message_t& message) {
        const std::lock_guard lock(mutex_);
        if (const auto found = envelopes_.find(&message); found != envelopes_.end()) {
            ++found->second->holders;
        }
    }

    /// A holder (the handler, or a retain) lets go.
    void release(const es_message_t& message) {
        std::shared_ptr<Envelope> last;  // destroyed outside the lock
        const std::lock_guard lock(mutex_);
        const auto found = envelopes_.find(&message);
        if (found != envelopes_.end() && --found->second->holders == 0) {
            last = std::move(found->second);
            envelopes_.erase(found);
        }
    }

  private:
    std::mutex mutex_;
    std::map<const es_message_t*, std::shared_ptr<Envelope>> envelopes_;
};

namespace {

// Reads one content group and hands each exec to the client's handler as a message.
class ExecAuthorizations {
  public:
    using Envelopes = FanotifyEndpointSecurity::Envelopes;

    ExecAuthorizations(UniqueFd group, es_client_t handle, es_handler_block_t handler,
                       const Clock& clock, std::shared_ptr<Envelopes> envelopes)
        : group_(std::make_shared<ContentGroup>(std::move(group))),
          descriptor_(group_->descriptor()),
          stop_(::eventfd(0, EFD_CLOEXEC)),
          handle_(handle),
          handler_(std::move(handler)),
          clock_(clock),
          envelopes_(std::move(envelopes)) {}

    ~ExecAuthorizations() {
        stop();
        group_->close();
    }

    /// Marks the scope for exec permission and starts reading: with "/" every file system an
    /// executable can come from, otherwise the scope's mount only.
    bool start(const std::string& scope) {
        if (!stop_.valid() || !mark(scope)) {
            return false;
        }
        reader_ = std::thread([this] { run(); });
        return true;
    }

    void stop() {
        if (reader_.joinable()) {
            const std::uint64_t one = 1;
            (void)!::write(stop_.get(), &one, sizeof one);
            reader_.join();
        }
    }

  private:
    bool mark(const std::string& scope) {
        if (scope != "/") {
            return ::fanotify_mark(descriptor_, FAN_MARK_ADD | FAN_MARK_MOUNT, FAN_OPEN_EXEC_PERM,
                                   AT_FDCWD, scope.c_str()) == 0;
        }
        std::set<std::pair<int, int>> marked;
        for (const std::string& mountPoint : executableMounts()) {
            struct statfs system {};
            if (::statfs(mountPoint.c_str(), &system) != 0 ||
                !marked.insert({system.f_fsid.__val[0], system.f_fsid.__val[1]}).second) {
                continue;
            }
            if (::fanotify_mark(descriptor_, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, FAN_OPEN_EXEC_PERM,
                                AT_FDCWD, mountPoint.c_str()) != 0 &&
                mountPoint == "/") {
                return false;  // without the root file system nothing is protected
            }
        }
        return true;
    }

    void run() {
        if (!readEvents(descriptor_, stop_.get(),
                        [this](const fanotify_event_metadata& event, std::string_view) {
                            authorize(event);
                        })) {
            // The group cannot be read any more: closing it lets every held exec through rather
            // than leaving the machine waiting on answers that will never come.
            group_->close();
        }
    }

    void authorize(const fanotify_event_metadata& metadata) {
        auto envelope = std::make_shared<Envelopes::Envelope>(group_, UniqueFd(metadata.fd));
        if ((metadata.mask & FAN_OPEN_EXEC_PERM) == 0 || metadata.pid == ::getpid()) {
            envelope->answer(true);  // the daemon never holds its own execs
            return;
        }
        es_message_t& message = envelope->message;
        message.version = 1;
        message.event_type = es_event_type_t::ES_EVENT_TYPE_AUTH_EXEC;
        message.time = timeOf(clock_.now());
        const Timebase timebase = clock_.timebase();
        message.deadline = clock_.absoluteTime() +
                           deadlineNanoseconds * timebase.denominator() / timebase.numerator();
        message.process = processOf(metadata.pid);
        es_process_t& target = message.event.exec.target;
        const std::string path =
            ProcessFacts::linkTarget("/proc/self/fd/" + std::to_string(metadata.fd));
        target.executable.path = token(path);
        struct stat status {};
        if (::fstat(metadata.fd, &status) == 0) {
            target.executable.stat =
                es_stat_t{static_cast<std::int64_t>(status.st_dev), status.st_ino, status.st_size,
                          status.st_mtim, status.st_ctim};
        }
        target.is_platform_binary = ProcessFacts::isPlatformBinary(path);
        target.signing_id = token("");
        target.team_id = token("");
        envelopes_->add(envelope);
        handler_(handle_, message);
        envelopes_->release(message);
    }

    // The kernel sets no deadline; the message promises one a minute ahead.
    static constexpr std::uint64_t deadlineNanoseconds = 60'000'000'000;

    std::shared_ptr<ContentGroup> group_;
    int descriptor_;  // the group's, for reading and marking; valid until the group is closed
    UniqueFd stop_;
    es_client_t handle_;
    es_handler_block_t handler_;
    const Clock& clock_;
    std::shared_ptr<Envelopes> envelopes_;
    std::thread reader_;
};

}  // namespace

// One notification group and the thread that reads it. The selection state is shared with the
// service's callers under `mutex_`; the reading thread is the only caller of the handler.
class FanotifyEndpointSecurity::Client {
  public:
    Client(UniqueFd group, es_client_t handle, es_handler_block_t handler, const Clock& clock,
           std::string scope, std::shared_ptr<Envelopes> envelopes, Log log)
        : group_(std::move(group)),
          stop_(::eventfd(0, EFD_CLOEXEC)),
          handle_(handle),
          handler_(std::move(handler)),
          clock_(clock),
          scope_(std::move(scope)),
          envelopes_(std::move(envelopes)),
          log_(std::move(log)) {}

    ~Client() { stop(); }

    bool subscribe(const std::vector<es_event_type_t>& events) {
        if (std::find(events.begin(), events.end(), es_event_type_t::ES_EVENT_TYPE_AUTH_EXEC) !=
            events.end()) {
            return events.size() == 1 && subscribeToExecs();
        }
        {
            const std::lock_guard lock(mutex_);
            const std::uint64_t mask = notificationMask(events);
            if (mask != mask_) {
                // Marks carry the mask they were added with; they are made again with the new one.
                ::fanotify_mark(group_.get(), FAN_MARK_FLUSH | FAN_MARK_FILESYSTEM, 0, AT_FDCWD,
                                nullptr);
                mounts_.clear();
                mask_ = mask;
            }
            if (!remark()) {
                return false;
            }
        }
        if (!reader_.joinable() && stop_.valid()) {
            reader_ = std::thread([this] { run(); });
        }
        return true;
    }

    bool unmuteAll() {
        const std::lock_guard lock(mutex_);
        prefixes_.clear();
        return remark();
    }

    bool inverted() {
        const std::lock_guard lock(mutex_);
        return inverted_;
    }

    bool invert() {
        const std::lock_guard lock(mutex_);
        inverted_ = !inverted_;
        return remark();
    }

    bool mute(const std::string& prefix) {
        const std::lock_guard lock(mutex_);
        prefixes_.push_back(prefix);
        return remark();
    }

    bool unmute(const std::string& prefix) {
        const std::lock_guard lock(mutex_);
        std::erase(prefixes_, prefix);
        return remark();
    }

    void stop() {
        if (authorizations_) {
            authorizations_->stop();
        }
        if (reader_.joinable()) {
            const std::uint64_t one = 1;
            (void)!::write(stop_.get(), &one, sizeof one);
            reader_.join();
        }
    }

  private:
    bool subscribeToExecs() {
        if (authorizations_) {
            return true;
        }
        UniqueFd group(
            ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_LARGEFILE | O_CLOEXEC));
        if (!group.valid()) {
            return false;
        }
        authorizations_ = std::make_unique<ExecAuthorizations>(std::move(group), handle_, handler_,
                                                               clock_, envelopes_);
        if (!authorizations_->start(scope_)) {
            authorizations_.reset();
            return false;
        }
        return true;
    }

    using FileSystemKey = std::pair<int, int>;

    // With mutex_ held. Brings the marks to the file systems the selection needs: the whole
    // scope's without inversion; with it, the file system of each selected prefix (at its
    // nearest existing directory). Marks already in place stay, so a file system that remains
    // selected loses no event while the selection changes. A prefix that cannot be covered
    // (outside the scope, or on a file system that cannot be marked) is reported once and the
    // others are marked all the same; false only when the scope itself cannot be marked.
    bool remark() {
        std::map<FileSystemKey, UniqueFd> wanted;
        std::map<std::string, std::string> uncovered;
        if (mask_ != 0 && !inverted_) {
            if (const auto problem = cover(scope_, wanted)) {
                log_.log(LogLevel::error, "cannot watch %{private}s: %{public}s",
                         {LogValue::private_(scope_), LogValue::public_(*problem)});
                return false;
            }
        } else if (mask_ != 0) {
            for (const std::string& prefix : prefixes_) {
                if (!contains(scope_, prefix)) {
                    uncovered.emplace(prefix, "outside the watched scope");
                } else if (const auto problem = cover(existingDirectory(prefix), wanted)) {
                    uncovered.emplace(prefix, *problem);
                }
            }
        }
        for (auto& [key, mount] : mounts_) {
            if (mount.valid() && !wanted.contains(key)) {
                ::fanotify_mark(group_.get(), FAN_MARK_REMOVE | FAN_MARK_FILESYSTEM, mask_,
                                mount.get(), nullptr);
            }
        }
        mounts_ = std::move(wanted);
        for (const auto& [prefix, problem] : uncovered) {
            const auto known = uncovered_.find(prefix);
            if (known == uncovered_.end() || known->second != problem) {
                log_.log(LogLevel::error, "cannot watch %{private}s: %{public}s",
                         {LogValue::private_(prefix), LogValue::public_(problem)});
            }
        }
        uncovered_ = std::move(uncovered);
        return true;
    }

    // With mutex_ held. Marks the file system of the directory `path` unless it is marked
    // already (its descriptor then moves over from `mounts_`) and files it in `wanted`; or says
    // what went wrong.
    std::optional<std::string> cover(const std::string& path,
                                     std::map<FileSystemKey, UniqueFd>& wanted) {
        UniqueFd mount(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct statfs system {};
        if (!mount.valid() || ::fstatfs(mount.get(), &system) != 0) {
            return std::string(std::strerror(errno));
        }
        const FileSystemKey key{system.f_fsid.__val[0], system.f_fsid.__val[1]};
        if (wanted.contains(key)) {
            return std::nullopt;
        }
        if (const auto marked = mounts_.find(key);
            marked != mounts_.end() && marked->second.valid()) {
            wanted.emplace(key, std::move(marked->second));
            return std::nullopt;
        }
        if (::fanotify_mark(group_.get(), FAN_MARK_ADD | FAN_MARK_FILESYSTEM, mask_, mount.get(),
                            nullptr) != 0) {
            return fileSystemName(system.f_type) + " file system: " + std::strerror(errno);
        }
        wanted.emplace(key, std::move(mount));
        return std::nullopt;
    }

    void run() {
        readEvents(group_.get(), stop_.get(),
                   [this](const fanotify_event_metadata& event, std::string_view bytes) {
                       deliver(event, bytes);
                   });
    }

    // The path an info record names: its directory, resolved from the handle, and the name. The
    // record is copied out first, since it need not be aligned where it arrived.
    std::optional<std::string> pathOf(std::string_view record) {
        alignas(fanotify_event_info_fid) std::array<char, 1024> copy{};
        constexpr std::size_t handleOffset = sizeof(fanotify_event_info_fid);
        if (record.size() < handleOffset + sizeof(file_handle) || record.size() >= copy.size()) {
            return std::nullopt;
        }
        std::memcpy(copy.data(), record.data(), record.size());
        const auto& info = *reinterpret_cast<const fanotify_event_info_fid*>(copy.data());
        auto* handle = reinterpret_cast<file_handle*>(copy.data() + handleOffset);
        const std::size_t nameOffset = handleOffset + sizeof(file_handle) + handle->handle_bytes;
        if (nameOffset >= record.size()) {
            return std::nullopt;
        }
        const std::string name(copy.data() + nameOffset,
                               ::strnlen(copy.data() + nameOffset, record.size() - nameOffset));
        int mount = -1;
        {
            const std::lock_guard lock(mutex_);
            const auto found = mounts_.find({info.fsid.val[0], info.fsid.val[1]});
            if (found == mounts_.end()) {
                return std::nullopt;
            }
            mount = found->second.get();
        }
        const UniqueFd directory(::open_by_handle_at(mount, handle, O_PATH | O_CLOEXEC));
        if (!directory.valid()) {
            return std::nullopt;  // the directory is gone already
        }
        const std::string resolved =
            ProcessFacts::linkTarget("/proc/self/fd/" + std::to_string(directory.get()));
        if (resolved.empty()) {
            return std::nullopt;
        }
        return name == "." ? resolved : (std::filesystem::path(resolved) / name).string();
    }

    void deliver(const fanotify_event_metadata& metadata, std::string_view bytes) {
        if ((metadata.mask & FAN_Q_OVERFLOW) != 0) {
            // The kernel's queue was full and changes were dropped before they could be read.
            // Nothing says which, so it is reported rather than passed over.
            log_.log(LogLevel::error, "event queue overflowed; changes were missed");
            return;
        }
        std::optional<std::string> path;
        std::optional<std::string> destination;
        std::size_t offset = metadata.metadata_len;
        while (offset + sizeof(fanotify_event_info_header) <= bytes.size()) {
            fanotify_event_info_header header{};
            std::memcpy(&header, bytes.data() + offset, sizeof header);
            if (header.len == 0 || header.len > bytes.size() - offset) {
                break;
            }
            const std::string_view record = bytes.substr(offset, header.len);
            if (header.info_type == FAN_EVENT_INFO_TYPE_DFID_NAME ||
                header.info_type == FAN_EVENT_INFO_TYPE_OLD_DFID_NAME) {
                path = pathOf(record);
            } else if (header.info_type == FAN_EVENT_INFO_TYPE_NEW_DFID_NAME) {
                destination = pathOf(record);
            }
            offset += header.len;
        }
        if (!path) {
            return;
        }
        if (!selected(*path) && !(destination && selected(*destination))) {
            return;
        }
        es_message_t message;
        message.time = timeOf(clock_.now());
        message.process = processOf(metadata.pid);
        const std::uint64_t mask = metadata.mask;
        using enum es_event_type_t;
        if ((mask & FAN_CREATE) != 0) {
            message.event_type = ES_EVENT_TYPE_NOTIFY_CREATE;
            const std::filesystem::path created(*path);
            message.event.create.destination.destination_type =
                es_destination_type_t::ES_DESTINATION_TYPE_NEW_PATH;
            message.event.create.destination.new_path_dir = fileAt(created.parent_path().string());
            message.event.create.destination.new_path_filename = token(created.filename().string());
            handler_(handle_, message);
        }
        if ((mask & FAN_MODIFY) != 0) {
            message.event_type = ES_EVENT_TYPE_NOTIFY_WRITE;
            message.event.write.target = fileAt(*path);
            handler_(handle_, message);
        }
        if ((mask & FAN_CLOSE_WRITE) != 0) {
            message.event_type = ES_EVENT_TYPE_NOTIFY_CLOSE;
            message.event.close.target = fileAt(*path);
            message.event.close.modified = true;
            handler_(handle_, message);
        }
        if ((mask & FAN_RENAME) != 0 && destination) {
            message.event_type = ES_EVENT_TYPE_NOTIFY_RENAME;
            message.event.rename.source = fileAt(*path);
            const std::filesystem::path target(*destination);
            message.event.rename.destination.destination_type =
                es_destination_type_t::ES_DESTINATION_TYPE_NEW_PATH;
            message.event.rename.destination.new_path_dir = fileAt(target.parent_path().string());
            message.event.rename.destination.new_path_filename = token(target.filename().string());
            handler_(handle_, message);
        }
        if ((mask & FAN_DELETE) != 0) {
            message.event_type = ES_EVENT_TYPE_NOTIFY_UNLINK;
            message.event.unlink.target = fileAt(*path);
            handler_(handle_, message);
        }
    }

    bool selected(const std::string& path) {
        const std::lock_guard lock(mutex_);
        const bool underPrefix =
            std::any_of(prefixes_.begin(), prefixes_.end(),
                        [&](const auto& prefix) { return contains(prefix, path); });
        return inverted_ == underPrefix;
    }

    UniqueFd group_;
    UniqueFd stop_;
    es_client_t handle_;
    es_handler_block_t handler_;
    const Clock& clock_;
    std::string scope_;
    std::shared_ptr<Envelopes> envelopes_;
    std::unique_ptr<ExecAuthorizations> authorizations_;
    std::thread reader_;
    std::mutex mutex_;
    std::uint64_t mask_ = 0;                        // guarded by mutex_
    bool inverted_ = false;                         // guarded by mutex_
    std::vector<std::string> prefixes_;             // guarded by mutex_
    std::map<FileSystemKey, UniqueFd> mounts_;      // guarded by mutex_: one per marked file system
    std::map<std::string, std::string> uncovered_;  // guarded by mutex_: prefix, what went wrong
    Log log_;
};

FanotifyEndpointSecurity::FanotifyEndpointSecurity(std::string scope, const Clock& clock,
                                                   std::shared_ptr<LogSink> logSink)
    : scope_(std::move(scope)),
      clock_(clock),
      log_(std::move(logSink), std::string(daemonLogSubsystem), "fanotify"),
      envelopes_(std::make_shared<Envelopes>()) {}

FanotifyEndpointSecurity::~FanotifyEndpointSecurity() {
    std::map<std::uint64_t, std::shared_ptr<Client>> clients;
    {
        const std::lock_guard lock(mutex_);
        clients.swap(clients_);
    }
    for (auto& [id, client] : clients) {
        client->stop();
    }
}

std::shared_ptr<FanotifyEndpointSecurity::Client> FanotifyEndpointSecurity::find(
    es_client_t client) {
    const std::lock_guard lock(mutex_);
    const auto found = clients_.find(client.id);
    return found == clients_.end() ? nullptr : found->second;
}

es_new_client_outcome FanotifyEndpointSecurity::es_new_client(es_handler_block_t handler) {
    UniqueFd group(::fanotify_init(FAN_CLASS_NOTIF | FAN_REPORT_DFID_NAME | FAN_CLOEXEC,
                                   O_RDONLY | O_LARGEFILE | O_CLOEXEC));
    if (!group.valid()) {
        switch (errno) {
            case EPERM:
                return {es_new_client_result_t::ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED,
                        std::nullopt};
            case EMFILE:
                return {es_new_client_result_t::ES_NEW_CLIENT_RESULT_ERR_TOO_MANY_CLIENTS,
                        std::nullopt};
            default:  // no fanotify, or not with these flags
                return {es_new_client_result_t::ES_NEW_CLIENT_RESULT_ERR_INTERNAL, std::nullopt};
        }
    }
    const std::lock_guard lock(mutex_);
    const es_client_t handle{nextClient_++};
    clients_.emplace(handle.id,
                     std::make_shared<Client>(std::move(group), handle, std::move(handler), clock_,
                                              scope_, envelopes_, log_));
    return {es_new_client_result_t::ES_NEW_CLIENT_RESULT_SUCCESS, handle};
}

es_return_t FanotifyEndpointSecurity::es_delete_client(es_client_t client) {
    std::shared_ptr<Client> removed;
    {
        const std::lock_guard lock(mutex_);
        const auto found = clients_.find(client.id);
        if (found == clients_.end()) {
            return es_return_t::ES_RETURN_ERROR;
        }
        removed = std::move(found->second);
        clients_.erase(found);
    }
    removed->stop();
    return es_return_t::ES_RETURN_SUCCESS;
}

namespace {

es_return_t returned(bool success) {
    return success ? es_return_t::ES_RETURN_SUCCESS : es_return_t::ES_RETURN_ERROR;
}

}  // namespace

es_return_t FanotifyEndpointSecurity::es_subscribe(es_client_t client,
                                                   const std::vector<es_event_type_t>& events) {
    const auto found = find(client);
    return returned(found && found->subscribe(events));
}

es_return_t FanotifyEndpointSecurity::es_unmute_all_target_paths(es_client_t client) {
    const auto found = find(client);
    return returned(found && found->unmuteAll());
}

es_mute_inverted_return_t FanotifyEndpointSecurity::es_muting_inverted(es_client_t client,
                                                                       es_mute_inversion_type_t) {
    const auto found = find(client);
    if (!found) {
        return es_mute_inverted_return_t::ES_MUTE_INVERTED_ERROR;
    }
    return found->inverted() ? es_mute_inverted_return_t::ES_MUTE_INVERTED
                             : es_mute_inverted_return_t::ES_MUTE_NOT_INVERTED;
}

es_return_t FanotifyEndpointSecurity::es_invert_muting(es_client_t client,
                                                       es_mute_inversion_type_t) {
    const auto found = find(client);
    return returned(found && found->invert());
}

es_return_t FanotifyEndpointSecurity::es_mute_path(es_client_t client, const std::string& path,
                                                   es_mute_path_type_t) {
    const auto found = find(client);
    return returned(found && found->mute(path));
}

es_return_t FanotifyEndpointSecurity::es_unmute_path(es_client_t client, const std::string& path,
                                                     es_mute_path_type_t) {
    const auto found = find(client);
    return returned(found && found->unmute(path));
}

es_respond_result_t FanotifyEndpointSecurity::es_respond_auth_result(es_client_t,
                                                                     const es_message_t& message,
                                                                     es_auth_result_t result,
                                                                     bool) {
    // Answers are never cached: the kernel asks again on every exec.
    const auto envelope = envelopes_->find(message);
    if (!envelope) {
        return es_respond_result_t::ES_RESPOND_RESULT_ERR_DUPLICATE_RESPONSE;  // already let go
    }
    return envelope->answer(result == es_auth_result_t::ES_AUTH_RESULT_ALLOW);
}

void FanotifyEndpointSecurity::es_retain_message(const es_message_t& message) {
    envelopes_->retain(message);
}

void FanotifyEndpointSecurity::es_release_message(const es_message_t& message) {
    envelopes_->release(message);
}

}  // namespace quorin::daemon
