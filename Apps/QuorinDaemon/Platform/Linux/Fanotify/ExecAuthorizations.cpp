#include "QuorinDaemon/Platform/Linux/Fanotify/ExecAuthorizations.hpp"

#include "QuorinDaemon/Platform/Linux/Fanotify/FanotifyGroup.hpp"
#include "QuorinDaemon/Platform/Linux/ProcessFacts.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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
    const bool written = group->respond(event.get(), allow);
    // Answered, the event needs its descriptors no more, however long the message is kept.
    event.reset();
    message.event.exec.target.executable.descriptor.reset();
    return written ? es_respond_result_t::ES_RESPOND_RESULT_SUCCESS
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

ExecAuthorizations::ExecAuthorizations(FanotifyKernel& kernel, std::string scope,
                                       es_client_t handle, es_handler_block_t handler,
                                       const Clock& clock, std::shared_ptr<ExecEnvelopes> envelopes,
                                       Log log, bool checking, es_exec_interest_t interest)
    : kernel_(kernel),
      scope_(std::move(scope)),
      mountTable_(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC)),
      handle_(handle),
      handler_(std::move(handler)),
      clock_(clock),
      envelopes_(std::move(envelopes)),
      log_(std::move(log)),
      checking_(checking),
      hardLinksProtected_(ProcessFacts::hardLinksProtected()) {
    setInterest(std::move(interest));
}

ExecAuthorizations::~ExecAuthorizations() {
    stop();
    const std::lock_guard lock(marking_);
    if (group_) {
        group_->close();
    }
}

bool ExecAuthorizations::start() {
    if (reader_.stopDescriptor() < 0 || ping_.descriptor() < 0 || !mountTable_.valid() ||
        !replaceGroup()) {
        return false;
    }
    reader_.start([this] { run(); });
    return true;
}

void ExecAuthorizations::stop() {
    reader_.stop();
}

void ExecAuthorizations::setAvailabilityHandler(AvailabilityHandler handler) {
    const std::lock_guard lock(mutex_);
    availabilityHandler_ = std::move(handler);
}

void ExecAuthorizations::setInterest(es_exec_interest_t interest) {
    auto shared =
        interest ? std::make_shared<const es_exec_interest_t>(std::move(interest)) : nullptr;
    const std::lock_guard lock(mutex_);
    interest_ = std::move(shared);
}

bool ExecAuthorizations::setChecking(bool checking) {
    const std::lock_guard lock(marking_);
    if (checking == checking_) {
        return true;
    }
    if (group_ && checking && !markMounts(group_->descriptor())) {
        unmark(group_->descriptor());
        return false;
    }
    if (group_ && !checking) {
        unmark(group_->descriptor());
        unmarkable_.clear();
    }
    checking_ = checking;
    return true;
}

void ExecAuthorizations::unmark(int group) {
    // Held execs stay held: only marks go, and the group with its pending answers stays.
    kernel_.fanotify_mark(group, FAN_MARK_FLUSH | FAN_MARK_MOUNT, 0, AT_FDCWD, nullptr);
    kernel_.fanotify_mark(group, FAN_MARK_FLUSH | FAN_MARK_FILESYSTEM, 0, AT_FDCWD, nullptr);
    forget(group);
}

bool ExecAuthorizations::forget(int group) {
    ++generation_;
    remembered_ = 0;
    // Without a mount or file system flag, a flush removes the marks on inodes: the ignore marks.
    return kernel_.fanotify_mark(group, FAN_MARK_FLUSH, 0, AT_FDCWD, nullptr) == 0;
}

bool ExecAuthorizations::clearCache() {
    const std::lock_guard lock(marking_);
    if (!group_) {
        ++generation_;
        return true;
    }
    return forget(group_->descriptor());
}

std::uint64_t ExecAuthorizations::generation() {
    const std::lock_guard lock(marking_);
    return generation_;
}

void ExecAuthorizations::remember(const std::shared_ptr<ContentGroup>& group, int file,
                                  std::uint64_t generation) {
    const std::lock_guard lock(marking_);
    // A change since the answer was made (a clearing, checking turned off, a new group) could
    // have changed the answer: it is not remembered.
    if (generation != generation_ || group != group_ || !checking_) {
        return;
    }
    if (remembered_ >= maximumRememberedFiles && !forget(group->descriptor())) {
        return;
    }
    const auto mark = [&] {
        return kernel_.fanotify_mark(group->descriptor(), FAN_MARK_ADD | ignoreFlag_,
                                     FAN_OPEN_EXEC_PERM, file, nullptr) == 0;
    };
    bool marked = mark();
    if (!marked && errno == EINVAL && ignoreFlag_ == FAN_MARK_IGNORE) {
        ignoreFlag_ = FAN_MARK_IGNORED_MASK;  // a kernel before 6.0
        marked = mark();
    }
    remembered_ += marked ? 1 : 0;
}

bool ExecAuthorizations::replaceGroup() {
    UniqueFd group(kernel_.fanotify_init(FAN_CLASS_CONTENT | FAN_UNLIMITED_QUEUE | FAN_CLOEXEC,
                                         O_RDONLY | O_LARGEFILE | O_CLOEXEC));
    if (!group.valid()) {
        return false;
    }
    // Made and marked under the lock that turns checking on and off, so that a group never
    // keeps marks made for a setting that has changed meanwhile.
    const std::lock_guard lock(marking_);
    if (checking_ && !markMounts(group.get())) {
        return false;
    }
    group_ = std::make_shared<ContentGroup>(std::move(group));
    ++generation_;
    remembered_ = 0;
    return true;
}

void ExecAuthorizations::remark(const std::shared_ptr<ContentGroup>& group) {
    const std::lock_guard lock(marking_);
    if (checking_ && group == group_) {
        markMounts(group->descriptor());
    }
}

bool ExecAuthorizations::markMounts(int group) {
    // Marking again what is marked already changes nothing, so every mount is marked each time:
    // a file system unmounted and another mounted in its place between two looks is covered.
    const bool wholeMachine = scope_ == "/";
    std::set<std::pair<int, int>> marked;
    for (const std::string& mountPoint : executableMounts()) {
        if (!wholeMachine && mountPoint != scope_ && !mountPoint.starts_with(scope_ + "/")) {
            continue;
        }
        struct statfs system {};
        if (::statfs(mountPoint.c_str(), &system) != 0) {
            continue;  // unmounted since it was listed
        }
        if (wholeMachine &&
            !marked.insert({system.f_fsid.__val[0], system.f_fsid.__val[1]}).second) {
            continue;
        }
        // The whole machine is marked file system by file system, so that every mount of each
        // is covered; a narrower scope mount by mount, so that nothing outside it is.
        const unsigned int kind = wholeMachine ? FAN_MARK_FILESYSTEM : FAN_MARK_MOUNT;
        if (kernel_.fanotify_mark(group, FAN_MARK_ADD | kind, FAN_OPEN_EXEC_PERM, AT_FDCWD,
                                  mountPoint.c_str()) == 0) {
            unmarkable_.erase(mountPoint);
            continue;
        }
        if (mountPoint == scope_) {
            log_.log(LogLevel::error, "cannot check execs on %{public}s: %{public}s",
                     {LogValue::public_(mountPoint), LogValue::public_(std::strerror(errno))});
            return false;  // without the scope's own file system nothing is protected
        }
        if (unmarkable_.insert(mountPoint).second) {
            log_.log(
                LogLevel::error,
                "cannot check execs on %{public}s: %{public}s file system: %{public}s",
                {LogValue::public_(mountPoint), LogValue::public_(fileSystemName(system.f_type)),
                 LogValue::public_(std::strerror(errno))});
        }
    }
    return true;
}

void ExecAuthorizations::run() {
    using namespace std::chrono_literals;
    while (true) {
        const std::shared_ptr<ContentGroup> group = [this] {
            const std::lock_guard lock(marking_);
            return group_;
        }();
        int lostError = 0;
        const GroupReading reading{
            kernel_, group->descriptor(), reader_.stopDescriptor(),          log_,
            "exec",  mountTable_.get(),   [this, &group] { remark(group); }, {},
            &ping_};
        if (readEvents(
                reading,
                [this, &group](const fanotify_event_metadata& event, std::string_view) {
                    authorize(group, event);
                },
                lostError)) {
            return;
        }
        // The group cannot be read any more: closing it lets every held exec through rather
        // than leaving the machine waiting on answers that will never come. Execs go unchecked
        // until a new group is made, and every user's state says so meanwhile.
        group->close();
        log_.log(LogLevel::error, "exec group lost: %{public}s; making a new one",
                 {LogValue::public_(std::strerror(lostError))});
        announce(false);
        std::chrono::milliseconds pause = 10ms;
        while (!replaceGroup()) {
            ping_.answer();  // still reading, between attempts
            if (pauseUnlessStopped(reader_.stopDescriptor(), pause)) {
                return;
            }
            pause = std::min(pause * 2, std::chrono::milliseconds(1s));
        }
        log_.log(LogLevel::default_, "exec group made again");
        announce(true);
    }
}

void ExecAuthorizations::announce(bool available) {
    AvailabilityHandler handler;
    {
        const std::lock_guard lock(mutex_);
        handler = availabilityHandler_;
    }
    if (handler) {
        handler(available);
    }
}

bool ExecAuthorizations::interested(const es_process_t& target) {
    std::shared_ptr<const es_exec_interest_t> interest;
    {
        const std::lock_guard lock(mutex_);
        interest = interest_;
    }
    return !interest || (*interest)(target);
}

void ExecAuthorizations::authorize(const std::shared_ptr<ContentGroup>& group,
                                   const fanotify_event_metadata& metadata) {
    if ((metadata.mask & FAN_Q_OVERFLOW) != 0) {
        // Not expected with an unbounded queue; should it come, it is said.
        log_.log(LogLevel::error, "exec event queue overflowed");
        return;
    }
    auto envelope = std::make_shared<ExecEnvelopes::Envelope>(group, UniqueFd(metadata.fd));
    if ((metadata.mask & FAN_OPEN_EXEC_PERM) == 0 || metadata.pid == self_) {
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
    es_process_t& target = message.event.exec.target;
    const std::uint64_t asked = generation();
    struct stat status {};
    std::string path;  // none when the file cannot be told
    if (::fstat(metadata.fd, &status) == 0) {
        target.executable.stat = es_stat_t{static_cast<std::int64_t>(status.st_dev),
                                           status.st_ino,
                                           status.st_mode,
                                           status.st_size,
                                           status.st_mtim,
                                           status.st_ctim};
        path = ProcessFacts::pathOfOpenFile(metadata.fd, status);
        target.is_platform_binary = ProcessFacts::isPlatformBinary(path, status);
    }
    target.executable.path = token(path);
    if (!interested(target)) {
        // Only an allow is remembered, so the folders above the file are looked at only then.
        if (hardLinksProtected_ && ProcessFacts::onlyRootCanRelocate(path, status)) {
            remember(group, metadata.fd, asked);
        }
        envelope->answer(true);
        return;
    }
    message.process = processOf(metadata.pid);
    // Identification reads the exec's own file through a descriptor of its own, which outlives
    // the answer only as long as a reader still needs it.
    if (const int copy = ::fcntl(metadata.fd, F_DUPFD_CLOEXEC, 0); copy >= 0) {
        target.executable.descriptor = std::make_shared<const UniqueFd>(copy);
    }
    target.signing_id = token("");
    target.team_id = token("");
    envelopes_->add(envelope);
    try {
        handler_(handle_, message);
    } catch (const std::exception& error) {
        // The exec is denied as its envelope goes, unless the handler answered it first.
        log_.log(LogLevel::error, "handling an exec failed: %{public}s",
                 {LogValue::public_(error.what())});
    }
    envelopes_->release(message);
}

}  // namespace quorin::daemon::fanotify
