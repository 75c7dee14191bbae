#pragma once

// What both kinds of fanotify group share: reading a group's events, the messages built from
// them, and the file systems that can be marked.

#include "QuorinCore/Support/Date.hpp"
#include "QuorinCore/Support/UniqueFd.hpp"
#include "QuorinDaemon/Platform/EndpointSecurity.hpp"
#include "QuorinDaemon/Platform/Linux/Fanotify/FanotifyKernel.hpp"
#include "QuorinDaemon/Platform/Log.hpp"
#include "QuorinDaemon/Platform/ServiceWatchdog.hpp"

#include <sys/fanotify.h>
#include <sys/statfs.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quorin::daemon::fanotify {

/// Text handed to the daemon logic as the service would hand it over.
es_string_token_t token(std::string text);
es_file_t fileAt(std::string path);

/// The process behind an event, from /proc. One that has exited already has no facts: its user
/// and executable stay unknown rather than guessed.
es_process_t processOf(pid_t pid);

/// A wall-clock date as the time of a message.
timespec timeOf(Date date);

/// The mount points of every file system an executable can be run from: all but the kernel's own
/// interfaces.
std::vector<std::string> executableMounts();

/// How a file system is named in the log: by its type where it is one that cannot be marked.
std::string fileSystemName(__fsword_t type);

/// One event as read: its fixed part (copied out, so aligned) and all its bytes.
using EventHandler = std::function<void(const fanotify_event_metadata&, std::string_view)>;

/// How a reader shows that it still reads: `ask`, from any thread, wakes the reader, which
/// answers between events; `answered` says whether it has since the last question.
class ReaderPing {
  public:
    ReaderPing();
    ReaderPing(const ReaderPing&) = delete;
    ReaderPing& operator=(const ReaderPing&) = delete;

    /// Readable while a question waits; -1 when it could not be made.
    int descriptor() const { return wake_.get(); }
    void ask();
    /// On the reader's thread: takes the waiting questions and answers them.
    void answer();
    bool answered() const { return count_.answered(); }

  private:
    UniqueFd wake_;
    PingCount count_;
};

/// One group's reading: the group, the event descriptor that ends it, and how its lines are named
/// in the log ("exec", "file"). With `mounts` (an open /proc/self/mountinfo), `onMountsChanged`
/// runs whenever a file system is mounted or unmounted. With a `gathering` time, events that
/// arrive within it after the first are read with it, so that a burst is handled in one pass and
/// what follows each event (a log line, a delivery) is handed on together. With `ping`, the
/// reader answers its questions whenever it is between events.
struct GroupReading {
    FanotifyKernel& kernel;
    int group;
    int stop;
    const Log& log;
    std::string_view name;
    int mounts = -1;
    std::function<void()> onMountsChanged;
    std::chrono::microseconds gathering{0};
    ReaderPing* ping = nullptr;
};

/// Reads events and hands each to `onEvent` until `stop` is signalled (true) or the group is
/// lost (false, with the error in `lostError`). Errors that pass with the load (no descriptor,
/// no memory left for a moment) are retried after a pause that grows to a second, logged once
/// per burst: a group is never given up for them. An event whose handling throws is logged and
/// the next one read.
bool readEvents(const GroupReading& reading, const EventHandler& onEvent, int& lostError);

/// The thread that reads a group, and the event descriptor that tells it to end.
class GroupReader {
  public:
    GroupReader();
    ~GroupReader() { stop(); }
    GroupReader(const GroupReader&) = delete;
    GroupReader& operator=(const GroupReader&) = delete;

    /// The descriptor that becomes readable once reading must end; -1 when it could not be made.
    int stopDescriptor() const { return stop_.get(); }
    bool running() const { return thread_.joinable(); }
    /// Runs `read` on the reader's own thread.
    void start(std::function<void()> read) { thread_ = std::thread(std::move(read)); }
    /// Signals the end and waits for the thread.
    void stop();

  private:
    UniqueFd stop_;
    std::thread thread_;
};

/// Waits `duration`, or less when `stop` is signalled first: true then.
bool pauseUnlessStopped(int stop, std::chrono::milliseconds duration);

}  // namespace quorin::daemon::fanotify
