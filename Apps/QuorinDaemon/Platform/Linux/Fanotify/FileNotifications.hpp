#pragma once

#include "QuorinCore/Support/UniqueFd.hpp"
#include "QuorinDaemon/Platform/Clock.hpp"
#include "QuorinDaemon/Platform/EndpointSecurity.hpp"
#include "QuorinDaemon/Platform/Linux/Fanotify/FanotifyGroup.hpp"
#include "QuorinDaemon/Platform/Linux/Fanotify/FanotifyKernel.hpp"
#include "QuorinDaemon/Platform/Log.hpp"

#include <sys/fanotify.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace quorin::daemon::fanotify {

/// One notification group and the thread that reads it. The selection state is shared with the
/// service's callers under `mutex_`; the reading thread is the only caller of the handler. A
/// prefix selects itself and what lies under it, never a sibling that only begins with its text.
/// Directories are reported as files are, with a directory's mode in the file's status; a close
/// is reported modified only when the file was modified while open.
class FileNotifications {
  public:
    /// Files under the selection modified and not yet closed that are remembered; past it every
    /// close from then on is reported modified.
    static constexpr std::size_t maximumFilesModifiedWhileOpen = 1024;
    /// How long events may gather once one has arrived, so that a burst of changes is read,
    /// logged and delivered in one pass: a record arrives at most this much later.
    static constexpr std::chrono::microseconds eventGathering{1'000};

    FileNotifications(FanotifyKernel& kernel, UniqueFd group, es_client_t handle,
                      es_handler_block_t handler, const Clock& clock, std::string scope, Log log);
    ~FileNotifications();

    FileNotifications(const FileNotifications&) = delete;
    FileNotifications& operator=(const FileNotifications&) = delete;

    /// Marks what the selection needs for `events` (file notifications only) and starts reading.
    bool subscribe(const std::vector<es_event_type_t>& events);
    bool unmuteAll();
    bool inverted();
    bool invert();
    bool mute(const std::string& prefix);
    bool unmute(const std::string& prefix);
    void stop();

  private:
    using FileSystemKey = std::pair<int, int>;

    bool remark();
    std::optional<std::string> cover(const std::string& path,
                                     std::map<FileSystemKey, UniqueFd>& wanted);
    void run();
    std::optional<std::string> pathOf(std::string_view record);
    void deliver(const fanotify_event_metadata& metadata, std::string_view bytes);
    bool selected(const std::string& path);
    void remember(const std::string& file);

    FanotifyKernel& kernel_;
    UniqueFd group_;
    es_client_t handle_;
    es_handler_block_t handler_;
    const Clock& clock_;
    std::string scope_;
    GroupReader reader_;
    std::mutex mutex_;
    std::atomic<std::uint64_t> reported_ = 0;       // set under mutex_: the subscribed events
    std::uint64_t mask_ = 0;                        // guarded by mutex_
    bool inverted_ = false;                         // guarded by mutex_
    std::vector<std::string> prefixes_;             // guarded by mutex_
    std::map<FileSystemKey, UniqueFd> mounts_;      // guarded by mutex_: one per marked file system
    std::map<std::string, std::string> uncovered_;  // guarded by mutex_: prefix, what went wrong
    Log log_;
    // The reading thread's own: the files modified while open (by their directory's handle and
    // their name), and whether one went unremembered past the bound.
    std::set<std::string> modifiedWhileOpen_;
    bool pastBound_ = false;
};

}  // namespace quorin::daemon::fanotify
