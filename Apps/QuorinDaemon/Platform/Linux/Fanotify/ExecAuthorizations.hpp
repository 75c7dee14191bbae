#pragma once

#include "QuorinCore/Support/UniqueFd.hpp"
#include "QuorinDaemon/Platform/Clock.hpp"
#include "QuorinDaemon/Platform/EndpointSecurity.hpp"

#include <sys/fanotify.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

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

/// Reads one content group and hands each exec to the client's handler as a message.
class ExecAuthorizations {
  public:
    ExecAuthorizations(UniqueFd group, es_client_t handle, es_handler_block_t handler,
                       const Clock& clock, std::shared_ptr<ExecEnvelopes> envelopes);
    ~ExecAuthorizations();

    ExecAuthorizations(const ExecAuthorizations&) = delete;
    ExecAuthorizations& operator=(const ExecAuthorizations&) = delete;

    /// Marks the scope for exec permission and starts reading: with "/" every file system an
    /// executable can come from, otherwise the scope's mount only.
    bool start(const std::string& scope);
    void stop();

  private:
    bool mark(const std::string& scope);
    void run();
    void authorize(const fanotify_event_metadata& metadata);

    // The kernel sets no deadline; the message promises one a minute ahead.
    static constexpr std::uint64_t deadlineNanoseconds = 60'000'000'000;

    std::shared_ptr<ContentGroup> group_;
    int descriptor_;  // the group's, for reading and marking; valid until the group is closed
    UniqueFd stop_;
    es_client_t handle_;
    es_handler_block_t handler_;
    const Clock& clock_;
    std::shared_ptr<ExecEnvelopes> envelopes_;
    std::thread reader_;
};

}  // namespace quorin::daemon::fanotify
