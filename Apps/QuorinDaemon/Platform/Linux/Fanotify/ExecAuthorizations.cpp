#include "QuorinDaemon/Platform/Linux/Fanotify/ExecAuthorizations.hpp"

#include "QuorinDaemon/Platform/Linux/Fanotify/FanotifyGroup.hpp"
#include "QuorinDaemon/Platform/Linux/ProcessFacts.hpp"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <set>

namespace quorin::daemon::fanotify {

bool ContentGroup::respond(int event, bool allow) {
    const fanotify_response response{event, static_cast<__u32>(allow ? FAN_ALLOW : FAN_DENY)};
    const std::lock_guard lock(mutex_);
    return descriptor_.valid() && ::write(descriptor_.get(), &response, sizeof response) ==
                                      static_cast<ssize_t>(sizeof response);
}

void ContentGroup::close() {
    const std::lock_guard lock(mutex_);
    descriptor_.reset();
}

es_respond_result_t ExecEnvelopes::Envelope::answer(bool allow) {
    if (answered.exchange(true)) {
        return es_respond_result_t::ES_RESPOND_RESULT_ERR_DUPLICATE_RESPONSE;
    }
    return group->respond(event.get(), allow) ? es_respond_result_t::ES_RESPOND_RESULT_SUCCESS
                                              : es_respond_result_t::ES_RESPOND_RESULT_ERR_INTERNAL;
}

void ExecEnvelopes::add(std::shared_ptr<Envelope> envelope) {
    const std::lock_guard lock(mutex_);
    const es_message_t* key = &envelope->message;
    envelopes_.emplace(key, std::move(envelope));
}

std::shared_ptr<ExecEnvelopes::Envelope> ExecEnvelopes::find(const es_message_t& message) {
    const std::lock_guard lock(mutex_);
    const auto found = envelopes_.find(&message);
    return found == envelopes_.end() ? nullptr : found->second;
}

void ExecEnvelopes::retain(const es_message_t& message) {
    const std::lock_guard lock(mutex_);
    if (const auto found = envelopes_.find(&message); found != envelopes_.end()) {
        ++found->second->holders;
    }
}

void ExecEnvelopes::release(const es_message_t& message) {
    std::shared_ptr<Envelope> last;  // destroyed outside the lock
    const std::lock_guard lock(mutex_);
    const auto found = envelopes_.find(&message);
    if (found != envelopes_.end() && --found->second->holders == 0) {
        last = std::move(found->second);
        envelopes_.erase(found);
    }
}

ExecAuthorizations::ExecAuthorizations(UniqueFd group, es_client_t handle,
                                       es_handler_block_t handler, const Clock& clock,
                                       std::shared_ptr<ExecEnvelopes> envelopes)
    : group_(std::make_shared<ContentGroup>(std::move(group))),
      descriptor_(group_->descriptor()),
      stop_(::eventfd(0, EFD_CLOEXEC)),
      handle_(handle),
      handler_(std::move(handler)),
      clock_(clock),
      envelopes_(std::move(envelopes)) {}

ExecAuthorizations::~ExecAuthorizations() {
    stop();
    group_->close();
}

bool ExecAuthorizations::start(const std::string& scope) {
    if (!stop_.valid() || !mark(scope)) {
        return false;
    }
    reader_ = std::thread([this] { run(); });
    return true;
}

void ExecAuthorizations::stop() {
    if (reader_.joinable()) {
        const std::uint64_t one = 1;
        (void)!::write(stop_.get(), &one, sizeof one);
        reader_.join();
    }
}

bool ExecAuthorizations::mark(const std::string& scope) {
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

void ExecAuthorizations::run() {
    if (!readEvents(
            descriptor_, stop_.get(),
            [this](const fanotify_event_metadata& event, std::string_view) { authorize(event); })) {
        // The group cannot be read any more: closing it lets every held exec through rather
        // than leaving the machine waiting on answers that will never come.
        group_->close();
    }
}

void ExecAuthorizations::authorize(const fanotify_event_metadata& metadata) {
    auto envelope = std::make_shared<ExecEnvelopes::Envelope>(group_, UniqueFd(metadata.fd));
    if ((metadata.mask & FAN_OPEN_EXEC_PERM) == 0 || metadata.pid == ::getpid()) {
        envelope->answer(true);  // the daemon never holds its own execs
        return;
    }
    es_message_t& message = envelope->message;
    message.version = 1;
    message.event_type = es_event_type_t::ES_EVENT_TYPE_AUTH_EXEC;
    message.time = timeOf(clock_.now());
    const Timebase timebase = clock_.timebase();
    message.deadline =
        clock_.absoluteTime() + deadlineNanoseconds * timebase.denominator() / timebase.numerator();
    message.process = processOf(metadata.pid);
    es_process_t& target = message.event.exec.target;
    const std::string path =
        ProcessFacts::linkTarget("/proc/self/fd/" + std::to_string(metadata.fd));
    target.executable.path = token(path);
    struct stat status {};
    if (::fstat(metadata.fd, &status) == 0) {
        target.executable.stat = es_stat_t{static_cast<std::int64_t>(status.st_dev), status.st_ino,
                                           status.st_size, status.st_mtim, status.st_ctim};
    }
    target.is_platform_binary = ProcessFacts::isPlatformBinary(path);
    target.signing_id = token("");
    target.team_id = token("");
    envelopes_->add(envelope);
    handler_(handle_, message);
    envelopes_->release(message);
}

}  // namespace quorin::daemon::fanotify
