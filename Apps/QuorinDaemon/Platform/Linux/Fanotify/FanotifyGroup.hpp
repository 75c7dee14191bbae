#pragma once

// What both kinds of fanotify group share: reading a group's events, the messages built from
// them, and the file systems that can be marked.

#include "QuorinCore/Support/Date.hpp"
#include "QuorinDaemon/Platform/EndpointSecurity.hpp"

#include <sys/fanotify.h>
#include <sys/statfs.h>

#include <functional>
#include <string>
#include <string_view>
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

/// Reads `group` and hands each event to `onEvent`, until `stop` is signalled (true) or the group
/// can no longer be read (false).
bool readEvents(int group, int stop, const EventHandler& onEvent);

}  // namespace quorin::daemon::fanotify
