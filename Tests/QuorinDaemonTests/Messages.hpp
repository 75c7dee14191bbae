#pragma once

// Builders of security-event messages for tests.

#include "QuorinDaemon/Platform/EndpointSecurity.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace quorin::daemon::testing {

inline es_string_token_t token(const std::string& text) {
    return es_string_token_t{text, static_cast<std::int64_t>(text.size())};
}

inline es_file_t file(const std::string& path) {
    return es_file_t{token(path), {}, nullptr};
}

inline es_destination_t newPath(const std::string& directory, const std::string& name) {
    return {es_destination_type_t::ES_DESTINATION_TYPE_NEW_PATH, {}, file(directory), token(name)};
}

inline es_destination_t existingFile(const std::string& path) {
    return {es_destination_type_t::ES_DESTINATION_TYPE_EXISTING_FILE, file(path), {}, {}};
}

/// A message of `type` from pid 4242 running /usr/bin/tee (signing identifier "com.example.tee",
/// no team), at 1,700,000,000.25 s after 1970; its payload is left for the caller.
inline es_message_t message(es_event_type_t type) {
    es_message_t result;
    result.event_type = type;
    result.time = timespec{1'700'000'000, 250'000'000};
    result.process.audit_token = audit_token_t{4242, 501};
    result.process.executable = file("/usr/bin/tee");
    result.process.signing_id = token("com.example.tee");
    result.process.team_id = token("");
    return result;
}

/// The file at `path` opened for reading, as the exec hands it over; nothing when it cannot be.
inline std::shared_ptr<const UniqueFd> openFile(const std::string& path) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    return descriptor < 0 ? nullptr : std::make_shared<const UniqueFd>(descriptor);
}

/// The file at `path`, open, with its current status, as an exec message reports it.
inline es_file_t statFile(const std::string& path) {
    struct stat status {};
    std::shared_ptr<const UniqueFd> opened = openFile(path);
    if (opened) {
        ::fstat(opened->get(), &status);
    }
    return es_file_t{token(path),
                     es_stat_t{static_cast<std::int64_t>(status.st_dev), status.st_ino,
                               status.st_mode, status.st_size, status.st_mtim, status.st_ctim},
                     std::move(opened)};
}

/// An exec authorization by user `uid` (from /bin/zsh) of `target`, unsigned and not a platform
/// binary, with the script of a script exec when given (message version 2), to be answered by
/// tick `deadline`.
inline es_message_t execMessage(std::uint32_t uid, const std::string& target,
                                std::optional<std::string> script, std::uint64_t deadline) {
    es_message_t result = message(es_event_type_t::ES_EVENT_TYPE_AUTH_EXEC);
    result.version = 2;
    result.deadline = deadline;
    result.process.audit_token = audit_token_t{4242, uid};
    result.process.executable = file("/bin/zsh");
    result.event.exec.target.executable = statFile(target);
    if (script) {
        result.event.exec.script = statFile(*script);
    }
    return result;
}

}  // namespace quorin::daemon::testing
