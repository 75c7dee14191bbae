#pragma once

#include "QuorinCore/Support/UniqueFd.hpp"
#include "QuorinDaemon/Platform/Clock.hpp"
#include "QuorinDaemon/Platform/EndpointSecurity.hpp"
#include "QuorinDaemon/Platform/Linux/Fanotify/FanotifyGroup.hpp"
#include "QuorinDaemon/Platform/Linux/Fanotify/FanotifyKernel.hpp"
#include "QuorinDaemon/Platform/Log.hpp"

#include <sys/fanotify.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace quorin::daemon::fanotify {

/// A content group shared by its reader and the messages it produced. Closing it (on a fatal
/// error, or when the client goes) makes the kernel let every exec still held through; an answer
/// after that is refused rather than written to a descriptor that may since name something else.
class ContentGroup {
  public:
    explicit ContentGroup(UniqueFd descriptor) : descriptor_(std::move(descriptor)) {}

    int descriptor() const { return descriptor_.get(); }

    bool respond(int event, bool allow);
    void close();

  private:
    std::mutex mutex_;
    UniqueFd descriptor_;
};

/// The authorization messages in flight. A message stays valid while its handler runs and while
/// it is retained; when the last holder lets go, its envelope closes the event's descriptor, and
/// denies the exec first if nobody answered.
class ExecEnvelopes {
  public:
    struct Envelope {
        Envelope(std::shared_ptr<ContentGroup> contentGroup, UniqueFd eventDescriptor)
            : group(std::move(contentGroup)), event(std::move(eventDescriptor)) {}
        ~Envelope() { answer(false); }
        Envelope(const Envelope&) = delete;
        Envelope& operator=(const Envelope&) = delete;

        /// The one answer; later ones are duplicates and change nothing.
        es_respond_result_t answer(bool allow);

        es_message_t message;
        std::shared_ptr<ContentGroup> group;
        UniqueFd event;
        std::atomic<bool> answered{false};
        int holders = 1;  // the running handler, then each retain; guarded by ExecEnvelopes::mutex_
    };

    void add(std::shared_ptr<Envelope> envelope);
    std::shared_ptr<Envelope> find(const es_message_t& message);
    void retain(const es_message_t& message);
    /// A holder (the handler, or a retain) lets go.
    void release(const es_message_t& message);

  private:
    std::mutex mutex_;
    std::map<const es_message_t*, std::shared_ptr<Envelope>> envelopes_;
};

/// Reads the content group of a client subscribed to exec authorization and hands each exec to
/// the client's handler as a message. The group covers every executable file system in the scope:
/// with "/" each whole file system, otherwise each mount at or under the scope; file systems
/// mounted later are marked as they appear. A mount that cannot be marked is logged by its mount
/// point. The group's queue is unbounded, so the kernel never lets an exec through unseen.
///
/// Should the group be lost (it can no longer be read), it is closed, which lets every exec still
/// held through, the availability handler hears false, and a new group is made, retried until it
/// works; the handler then hears true.
///
/// While checking is off the group has no marks, so no exec waits for it; execs held before still
/// take their answers. Each exec is first put to the interest question, from the event's file
/// alone; one that concerns nobody is allowed at once, before `/proc` is read for its process.
///
/// Such an answer is remembered by the kernel, as an ignore mark on the file's inode, when no
/// one but root can give the file another path (`ProcessFacts::onlyRootCanRelocate`, with hard
/// links of others' files refused by the kernel): its path, and so the answer, stays as it was
/// until the configuration changes. The kernel drops the mark when the file is modified; every
/// mark goes when the cache is cleared, when checking is turned off, and with a lost group.
class ExecAuthorizations {
  public:
    using AvailabilityHandler = std::function<void(bool)>;

    /// Files remembered at most; past it, every remembered answer is forgotten and remembering
    /// starts again, so the kernel memory the marks pin stays bounded.
    static constexpr std::size_t maximumRememberedFiles = 4'096;

    ExecAuthorizations(FanotifyKernel& kernel, std::string scope, es_client_t handle,
                       es_handler_block_t handler, const Clock& clock,
                       std::shared_ptr<ExecEnvelopes> envelopes, Log log, bool checking,
                       es_exec_interest_t interest);
    ~ExecAuthorizations();

    ExecAuthorizations(const ExecAuthorizations&) = delete;
    ExecAuthorizations& operator=(const ExecAuthorizations&) = delete;

    /// Makes and marks the group and starts reading; false when the scope cannot be covered.
    bool start();
    void stop();
    /// Runs on the reading thread, after the change.
    void setAvailabilityHandler(AvailabilityHandler handler);
    /// Marks or unmarks the group; false when checking was asked for and the scope's own mount
    /// cannot be marked (checking then stays off).
    bool setChecking(bool checking);
    void setInterest(es_exec_interest_t interest);
    /// Forgets every remembered answer; false when the kernel refused.
    bool clearCache();
    /// Answered by the reading thread whenever it is between execs, and while it makes a lost
    /// group again; not while a handler it called has yet to return.
    ReaderPing& ping() { return ping_; }

  private:
    /// Makes the group, with every executable mount of the scope marked while checking is on;
    /// false when it cannot be made or marked.
    bool replaceGroup();
    /// Marks what is mounted now; false when the scope's own mount cannot be marked. Called with
    /// `marking_` held.
    bool markMounts(int group);
    /// Removes every mark of `group`; called with `marking_` held.
    void unmark(int group);
    /// Removes the ignore marks of `group`; called with `marking_` held.
    bool forget(int group);
    /// Has the kernel remember that an exec of the event's file `file` needs no question, unless
    /// what the answer was made from changed since `generation`.
    void remember(const std::shared_ptr<ContentGroup>& group, int file, std::uint64_t generation);
    std::uint64_t generation();
    /// Marks `group` again after the mount table changed, while it is current and checking is on.
    void remark(const std::shared_ptr<ContentGroup>& group);
    bool interested(const es_process_t& target);
    void run();
    void authorize(const std::shared_ptr<ContentGroup>& group,
                   const fanotify_event_metadata& metadata);
    void announce(bool available);

    // The kernel sets no deadline; the message promises one a minute ahead.
    static constexpr std::uint64_t deadlineNanoseconds = 60'000'000'000;

    FanotifyKernel& kernel_;
    std::string scope_;
    UniqueFd mountTable_;
    es_client_t handle_;
    es_handler_block_t handler_;
    const Clock& clock_;
    std::shared_ptr<ExecEnvelopes> envelopes_;
    Log log_;
    std::mutex marking_;
    std::shared_ptr<ContentGroup> group_;  // guarded by marking_; replaced by the reading thread
    bool checking_;                        // guarded by marking_
    std::uint64_t generation_ = 0;         // guarded by marking_; each forgetting adds one
    std::size_t remembered_ = 0;           // guarded by marking_
    unsigned int ignoreFlag_ = FAN_MARK_IGNORE;  // guarded by marking_; older kernels: the mask
    const bool hardLinksProtected_;
    const pid_t self_ = ::getpid();     // asked once: a system call on every exec costs
    std::set<std::string> unmarkable_;  // mount points reported; guarded by marking_
    std::mutex mutex_;
    AvailabilityHandler availabilityHandler_;             // guarded by mutex_
    std::shared_ptr<const es_exec_interest_t> interest_;  // guarded by mutex_; none: every exec
    ReaderPing ping_;
    GroupReader reader_;
};

}  // namespace quorin::daemon::fanotify
