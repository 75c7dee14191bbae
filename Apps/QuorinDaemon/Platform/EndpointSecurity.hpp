#pragma once

// The operating system's security-event service as the daemon sees it: clients that receive
// file notifications and exec authorizations, the muting that selects which paths reach a client,
// and the answer to an authorization. Operations and result codes carry the service's own names;
// where a value is fixed below, the daemon relies on it (a logged or compared raw code). On Linux
// the back end is built on fanotify; tests use a scripted fake.

#include "QuorinCore/Support/UniqueFd.hpp"

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorin::daemon {

enum class es_new_client_result_t : std::uint32_t {
    ES_NEW_CLIENT_RESULT_SUCCESS = 0,
    ES_NEW_CLIENT_RESULT_ERR_INVALID_ARGUMENT = 1,
    ES_NEW_CLIENT_RESULT_ERR_INTERNAL = 2,
    ES_NEW_CLIENT_RESULT_ERR_NOT_ENTITLED = 3,
    ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED = 4,
    ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED = 5,
    ES_NEW_CLIENT_RESULT_ERR_TOO_MANY_CLIENTS = 6,
};

enum class es_return_t : std::uint32_t {
    ES_RETURN_SUCCESS = 0,
    ES_RETURN_ERROR = 1,
};

/// The status of an answer to an authorization message; 0 is success.
enum class es_respond_result_t : std::uint32_t {
    ES_RESPOND_RESULT_SUCCESS = 0,
    ES_RESPOND_RESULT_ERR_INTERNAL,
    ES_RESPOND_RESULT_ERR_DUPLICATE_RESPONSE,
};

enum class es_clear_cache_result_t : std::uint32_t {
    ES_CLEAR_CACHE_RESULT_SUCCESS = 0,
    ES_CLEAR_CACHE_RESULT_ERR_INTERNAL = 1,
};

enum class es_mute_inverted_return_t : std::uint32_t {
    ES_MUTE_INVERTED,
    ES_MUTE_NOT_INVERTED,
    ES_MUTE_INVERTED_ERROR,
};

enum class es_mute_inversion_type_t : std::uint32_t {
    ES_MUTE_INVERSION_TYPE_TARGET_PATH,
};

enum class es_mute_path_type_t : std::uint32_t {
    ES_MUTE_PATH_TYPE_TARGET_PREFIX,
};

enum class es_auth_result_t : std::uint32_t {
    ES_AUTH_RESULT_ALLOW = 0,
    ES_AUTH_RESULT_DENY = 1,
};

/// The events the daemon subscribes to; a message may carry any other value, which the daemon
/// ignores.
enum class es_event_type_t : std::uint32_t {
    ES_EVENT_TYPE_AUTH_EXEC = 0,
    ES_EVENT_TYPE_NOTIFY_CLOSE,
    ES_EVENT_TYPE_NOTIFY_CREATE,
    ES_EVENT_TYPE_NOTIFY_RENAME,
    ES_EVENT_TYPE_NOTIFY_UNLINK,
    ES_EVENT_TYPE_NOTIFY_WRITE,
};

enum class es_destination_type_t : std::uint32_t {
    ES_DESTINATION_TYPE_EXISTING_FILE = 0,
    ES_DESTINATION_TYPE_NEW_PATH = 1,
    // A back end that could not learn where the file went: only its source changed.
    ES_DESTINATION_TYPE_UNKNOWN = 0xFFFF'FFFF,
};

/// Text as the service hands it over: bytes that need not be UTF-8, possibly missing. Read it with
/// `text`, which applies the reading rules.
struct es_string_token_t {
    std::optional<std::string> data;  // absent: the service gave no data
    std::int64_t length = 0;          // the length the service reports; below 1 reads as empty

    /// The token as UTF-8 text: invalid sequences become U+FFFD; a missing token, or one whose
    /// length is below 1, is the empty text. At most `length` bytes of the data are read.
    std::string text() const;
};

/// The file status: the exec client reads it to tell versions of an executable apart, the
/// attribution side reads the file type from the mode (0: the service did not say).
struct es_stat_t {
    std::int64_t st_dev = 0;
    std::uint64_t st_ino = 0;
    std::uint32_t st_mode = 0;
    std::int64_t st_size = 0;
    timespec st_mtimespec{};
    timespec st_ctimespec{};
};

struct es_file_t {
    es_string_token_t path;
    es_stat_t stat;
    /// The file itself, open for reading, where the service hands it over (the Linux back end,
    /// for an exec's target): what the exec runs, whatever the path names by now. Once the exec
    /// is answered the message lets it go; whoever still reads it holds its own reference.
    std::shared_ptr<const UniqueFd> descriptor;
};

/// The real user id of a process whose user the service could not learn (it had exited, or the
/// system had no resources left to say). No account has it.
inline constexpr std::uint32_t es_unknown_ruid = UINT32_MAX;

/// Who a process is: the facts the service's audit token yields.
struct audit_token_t {
    std::int32_t pid = 0;
    std::uint32_t ruid = 0;
};

inline std::int32_t audit_token_to_pid(const audit_token_t& token) {
    return token.pid;
}
inline std::uint32_t audit_token_to_ruid(const audit_token_t& token) {
    return token.ruid;
}

struct es_process_t {
    audit_token_t audit_token;
    es_file_t executable;
    es_string_token_t signing_id;
    es_string_token_t team_id;
    bool is_platform_binary = false;
    std::uint32_t codesigning_flags = 0;
};

/// Where a created or renamed file ends up: an existing file, or a new name in a directory. A
/// destination of any other type is one the service could not learn.
struct es_destination_t {
    es_destination_type_t destination_type = es_destination_type_t::ES_DESTINATION_TYPE_NEW_PATH;
    es_file_t existing_file;  // for ES_DESTINATION_TYPE_EXISTING_FILE
    es_file_t new_path_dir;   // for ES_DESTINATION_TYPE_NEW_PATH
    es_string_token_t new_path_filename;
};

struct es_event_write_t {
    es_file_t target;
};
struct es_event_unlink_t {
    es_file_t target;
};
struct es_event_close_t {
    es_file_t target;
    bool modified = false;
};
struct es_event_create_t {
    es_destination_t destination;
};
struct es_event_rename_t {
    es_file_t source;
    es_destination_t destination;
};
struct es_event_exec_t {
    es_process_t target;
    std::optional<es_file_t> script;  // only for script execs, and only from message version 2
};

/// The payload of a message. Only the member that `event_type` names is meaningful.
struct es_events_t {
    es_event_write_t write;
    es_event_unlink_t unlink;
    es_event_close_t close;
    es_event_create_t create;
    es_event_rename_t rename;
    es_event_exec_t exec;
};

/// One message from the service. `time` is wall-clock time since 1970; `deadline` is in monotonic
/// ticks and matters only for authorization messages.
struct es_message_t {
    std::uint32_t version = 1;
    timespec time{};
    std::uint64_t deadline = 0;
    es_event_type_t event_type = es_event_type_t::ES_EVENT_TYPE_NOTIFY_WRITE;
    es_process_t process;
    es_events_t event;
};

/// A client of the service, as an opaque handle the daemon passes back to it. Copies name the
/// same client, so a handle may be captured and used from other threads.
struct es_client_t {
    std::uint64_t id = 0;

    friend bool operator==(const es_client_t&, const es_client_t&) = default;
};

/// Whether an exec of the file `target` describes (its path, status and platform flag; nothing
/// of the executing process is known yet) could concern anyone: the question asked before any
/// other, so that the execs nobody's protection concerns cost the least.
using es_exec_interest_t = std::function<bool(const es_process_t& target)>;

/// Called for every message a client receives, one message at a time, on the client's own
/// delivery queue. The message stays valid until the handler returns, or until it is released
/// when it was retained.
using es_handler_block_t = std::function<void(es_client_t, const es_message_t&)>;

struct es_new_client_outcome {
    es_new_client_result_t result;
    std::optional<es_client_t> client;  // with success, normally present
};

/// The service's operations. Every operation may be called from any thread.
class EndpointSecurity {
  public:
    virtual ~EndpointSecurity() = default;

    virtual es_new_client_outcome es_new_client(es_handler_block_t handler) = 0;
    virtual es_return_t es_delete_client(es_client_t client) = 0;
    virtual es_return_t es_subscribe(es_client_t client,
                                     const std::vector<es_event_type_t>& events) = 0;
    virtual es_return_t es_unmute_all_target_paths(es_client_t client) = 0;
    virtual es_mute_inverted_return_t es_muting_inverted(es_client_t client,
                                                         es_mute_inversion_type_t type) = 0;
    virtual es_return_t es_invert_muting(es_client_t client, es_mute_inversion_type_t type) = 0;
    /// `path` is UTF-8 without NUL; with inversion on, a muted prefix selects messages.
    virtual es_return_t es_mute_path(es_client_t client, const std::string& path,
                                     es_mute_path_type_t type) = 0;
    /// Undoes `es_mute_path` of exactly `path`; the other muted paths stay as they are.
    virtual es_return_t es_unmute_path(es_client_t client, const std::string& path,
                                       es_mute_path_type_t type) = 0;
    /// One answer per authorization message; `cache` false asks the service not to remember it.
    virtual es_respond_result_t es_respond_auth_result(es_client_t client,
                                                       const es_message_t& message,
                                                       es_auth_result_t result, bool cache) = 0;
    /// `handler` hears false when the service can no longer deliver the client's authorizations
    /// (execs then run unchecked) and true once it can again; it runs on the service's own
    /// thread. Only a Linux back end loses a subscription this way.
    virtual void setAvailabilityHandler(es_client_t client, std::function<void(bool)> handler) = 0;
    /// Whether the client's execs are checked at all (a new client's are). Off, no exec waits for
    /// the daemon, and held ones still take their answers; on again, execs are held as before.
    /// Only a Linux back end can leave execs unasked this way.
    virtual es_return_t setExecChecking(es_client_t client, bool checking) = 0;
    /// Execs of files for which `interest` says no are allowed by the service itself, before the
    /// executing process is looked at, and never reach the client's handler. Only a Linux back
    /// end asks; it may remember such an answer for a file until the file is modified or the
    /// cache is cleared.
    virtual void setExecInterest(es_client_t client, es_exec_interest_t interest) = 0;
    /// Forgets every remembered answer: called whenever what the interest question reads has
    /// changed. An exec that started being answered before the call is not remembered after it.
    virtual es_clear_cache_result_t es_clear_cache(es_client_t client) = 0;
    /// Keeps a message valid after its handler returns, until the matching release.
    virtual void es_retain_message(const es_message_t& message) = 0;
    virtual void es_release_message(const es_message_t& message) = 0;
};

}  // namespace quorin::daemon
