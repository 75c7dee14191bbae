#include "QuorinDaemon/Platform/Linux/Fanotify/FileNotifications.hpp"

#include "QuorinCore/Attribution/DaemonPathAuthorization.hpp"
#include "QuorinDaemon/Platform/Linux/Fanotify/FanotifyGroup.hpp"
#include "QuorinDaemon/Platform/Linux/ProcessFacts.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace quorin::daemon::fanotify {

namespace {

// The kernel events each subscribed message type is made from.
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

// What the kernel is asked for: the reported events, on directories too; and modifications
// whenever closes are reported, since they tell a modified close from an unchanged one.
constexpr std::uint64_t markedMask(std::uint64_t reported) {
    if (reported == 0) {
        return 0;
    }
    return reported | FAN_ONDIR | ((reported & FAN_CLOSE_WRITE) != 0 ? FAN_MODIFY : 0);
}

// Where a renamed file ends up. An unknown destination is of neither type, which makes a rename
// a record of its source alone.
es_destination_t destinationAt(const std::optional<std::string>& path) {
    es_destination_t destination;
    if (!path) {
        destination.destination_type = es_destination_type_t::ES_DESTINATION_TYPE_UNKNOWN;
        return destination;
    }
    const std::filesystem::path at(*path);
    destination.destination_type = es_destination_type_t::ES_DESTINATION_TYPE_NEW_PATH;
    destination.new_path_dir = fileAt(at.parent_path().string());
    destination.new_path_filename = token(at.filename().string());
    return destination;
}

// Which file an info record names, as the kernel identifies it: its file system, its
// directory's handle and its name (the record without its header and trailing padding).
std::string fileNamedBy(std::string_view record) {
    if (record.size() <= sizeof(fanotify_event_info_header)) {
        return {};
    }
    record.remove_prefix(sizeof(fanotify_event_info_header));
    return std::string(record.substr(0, record.find_last_not_of('\0') + 1));
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

FileNotifications::FileNotifications(FanotifyKernel& kernel, UniqueFd group, es_client_t handle,
                                     es_handler_block_t handler, const Clock& clock,
                                     std::string scope, Log log)
    : kernel_(kernel),
      group_(std::move(group)),
      handle_(handle),
      handler_(std::move(handler)),
      clock_(clock),
      scope_(std::move(scope)),
      log_(std::move(log)) {}

FileNotifications::~FileNotifications() {
    stop();
}

bool FileNotifications::subscribe(const std::vector<es_event_type_t>& events) {
    {
        const std::lock_guard lock(mutex_);
        reported_ = notificationMask(events);
        const std::uint64_t mask = markedMask(reported_);
        if (mask != mask_) {
            // Marks carry the mask they were added with; they are made again with the new one.
            kernel_.fanotify_mark(group_.get(), FAN_MARK_FLUSH | FAN_MARK_FILESYSTEM, 0, AT_FDCWD,
                                  nullptr);
            mounts_.clear();
            mask_ = mask;
        }
        if (!remark()) {
            return false;
        }
    }
    if (!reader_.running() && reader_.stopDescriptor() >= 0) {
        reader_.start([this] { run(); });
    }
    return true;
}

void FileNotifications::stop() {
    reader_.stop();
}

bool FileNotifications::unmuteAll() {
    const std::lock_guard lock(mutex_);
    prefixes_.clear();
    return remark();
}

bool FileNotifications::inverted() {
    const std::lock_guard lock(mutex_);
    return inverted_;
}

bool FileNotifications::invert() {
    const std::lock_guard lock(mutex_);
    inverted_ = !inverted_;
    return remark();
}

bool FileNotifications::mute(const std::string& prefix) {
    const std::lock_guard lock(mutex_);
    prefixes_.push_back(prefix);
    return remark();
}

bool FileNotifications::unmute(const std::string& prefix) {
    const std::lock_guard lock(mutex_);
    std::erase(prefixes_, prefix);
    return remark();
}

// With mutex_ held. Brings the marks to the file systems the selection needs: the whole
// scope's without inversion; with it, the file system of each selected prefix (at its
// nearest existing directory). Marks already in place stay, so a file system that remains
// selected loses no event while the selection changes. A prefix that cannot be covered
// (outside the scope, or on a file system that cannot be marked) is reported once and the
// others are marked all the same; false only when the scope itself cannot be marked.
bool FileNotifications::remark() {
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
            if (!DaemonPathAuthorization::contains(prefix, scope_)) {
                uncovered.emplace(prefix, "outside the watched scope");
            } else if (const auto problem = cover(existingDirectory(prefix), wanted)) {
                uncovered.emplace(prefix, *problem);
            }
        }
    }
    for (auto& [key, mount] : mounts_) {
        if (mount.valid() && !wanted.contains(key)) {
            kernel_.fanotify_mark(group_.get(), FAN_MARK_REMOVE | FAN_MARK_FILESYSTEM, mask_,
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
std::optional<std::string> FileNotifications::cover(const std::string& path,
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
    if (const auto marked = mounts_.find(key); marked != mounts_.end() && marked->second.valid()) {
        wanted.emplace(key, std::move(marked->second));
        return std::nullopt;
    }
    if (kernel_.fanotify_mark(group_.get(), FAN_MARK_ADD | FAN_MARK_FILESYSTEM, mask_, mount.get(),
                              nullptr) != 0) {
        return fileSystemName(system.f_type) + " file system: " + std::strerror(errno);
    }
    wanted.emplace(key, std::move(mount));
    return std::nullopt;
}

void FileNotifications::run() {
    int lostError = 0;
    if (!readEvents(
            GroupReading{kernel_,
                         group_.get(),
                         reader_.stopDescriptor(),
                         log_,
                         "file",
                         -1,
                         {},
                         eventGathering},
            [this](const fanotify_event_metadata& event, std::string_view bytes) {
                deliver(event, bytes);
            },
            lostError)) {
        log_.log(LogLevel::error, "file event group lost: %{public}s; changes are no longer seen",
                 {LogValue::public_(std::strerror(lostError))});
    }
}

// The path an info record names: its directory, resolved from the handle, and the name. The
// record is copied out first, since it need not be aligned where it arrived.
std::optional<std::string> FileNotifications::pathOf(std::string_view record) {
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

void FileNotifications::deliver(const fanotify_event_metadata& metadata, std::string_view bytes) {
    if ((metadata.mask & FAN_Q_OVERFLOW) != 0) {
        // The kernel's queue was full and changes were dropped before they could be read.
        // Nothing says which, so it is reported rather than passed over.
        log_.log(LogLevel::error, "event queue overflowed; changes were missed");
        return;
    }
    std::string_view named;
    std::string_view renamedTo;
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
            named = record;
        } else if (header.info_type == FAN_EVENT_INFO_TYPE_NEW_DFID_NAME) {
            renamedTo = record;
        }
        offset += header.len;
    }
    // What is remembered follows the file first, whether or not its path can still be resolved.
    const std::uint64_t mask = metadata.mask & reported_;
    const std::string file = fileNamedBy(named);
    bool closedModified = false;
    if ((mask & FAN_CLOSE_WRITE) != 0) {
        closedModified =
            modifiedWhileOpen_.erase(file) > 0 || (metadata.mask & FAN_MODIFY) != 0 || pastBound_;
    }
    if ((mask & FAN_RENAME) != 0) {
        if (auto moved = modifiedWhileOpen_.extract(file)) {
            moved.value() = fileNamedBy(renamedTo);
            modifiedWhileOpen_.insert(std::move(moved));
        }
    }
    const std::optional<std::string> path = pathOf(named);
    const std::optional<std::string> destination = pathOf(renamedTo);
    if (!path || (!selected(*path) && !(destination && selected(*destination)))) {
        return;
    }
    if ((metadata.mask & (FAN_MODIFY | FAN_CLOSE_WRITE)) == FAN_MODIFY &&
        (reported_ & FAN_CLOSE_WRITE) != 0) {
        remember(file);
    }
    es_message_t message;
    message.time = timeOf(clock_.now());
    message.process = processOf(metadata.pid);
    // The file the event is about: its type is known only for a directory.
    es_file_t target = fileAt(*path);
    if ((metadata.mask & FAN_ONDIR) != 0) {
        target.stat.st_mode = S_IFDIR;
    }
    using enum es_event_type_t;
    if ((mask & FAN_CREATE) != 0) {
        // The file exists by the time its creation is told.
        message.event_type = ES_EVENT_TYPE_NOTIFY_CREATE;
        message.event.create.destination.destination_type =
            es_destination_type_t::ES_DESTINATION_TYPE_EXISTING_FILE;
        message.event.create.destination.existing_file = target;
        handler_(handle_, message);
    }
    if ((mask & FAN_MODIFY) != 0) {
        message.event_type = ES_EVENT_TYPE_NOTIFY_WRITE;
        message.event.write.target = target;
        handler_(handle_, message);
    }
    if ((mask & FAN_CLOSE_WRITE) != 0) {
        message.event_type = ES_EVENT_TYPE_NOTIFY_CLOSE;
        message.event.close.target = target;
        message.event.close.modified = closedModified;
        handler_(handle_, message);
    }
    if ((mask & FAN_RENAME) != 0) {
        message.event_type = ES_EVENT_TYPE_NOTIFY_RENAME;
        message.event.rename.source = target;
        message.event.rename.destination = destinationAt(destination);
        handler_(handle_, message);
    }
    if ((mask & FAN_DELETE) != 0) {
        message.event_type = ES_EVENT_TYPE_NOTIFY_UNLINK;
        message.event.unlink.target = target;
        handler_(handle_, message);
    }
}

// A file modified while open is remembered until its close. Past the bound nothing more is
// remembered, and from then on every close counts as modified: a close is reported modified
// when it need not be, never unchanged when it was not.
void FileNotifications::remember(const std::string& file) {
    if (modifiedWhileOpen_.size() < maximumFilesModifiedWhileOpen) {
        modifiedWhileOpen_.insert(file);
    } else if (!modifiedWhileOpen_.contains(file)) {
        pastBound_ = true;
    }
}

bool FileNotifications::selected(const std::string& path) {
    const std::lock_guard lock(mutex_);
    const bool underPrefix = std::any_of(
        prefixes_.begin(), prefixes_.end(),
        [&](const auto& prefix) { return DaemonPathAuthorization::contains(path, prefix); });
    return inverted_ == underPrefix;
}

}  // namespace quorin::daemon::fanotify
