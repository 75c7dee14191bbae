#pragma once

// Serial work queues and one-shot delayed work, the daemon's unit of concurrency: every component
// that owns mutable machinery runs its jobs on a queue of its own, so jobs of one queue never
// overlap and run in submission order, while different queues run side by side. The Linux back
// end runs queues as Asio strands on the daemon's event loop; tests use a fake they run by hand.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace quorin::daemon {

/// One serial queue. Jobs may be submitted from any thread; each runs once, after every job
/// submitted to the same queue before it has finished, and never at the same time as another job
/// of this queue.
class DispatchQueue {
  public:
    virtual ~DispatchQueue() = default;

    /// The queue's name, for diagnostics ("quorin.protect.storage").
    virtual const std::string& label() const = 0;

    virtual void async(std::function<void()> job) = 0;

    /// Runs `job` on this queue once, no earlier than `delay` from now. It cannot be cancelled:
    /// a job that may outlive its purpose checks that purpose when it runs.
    virtual void asyncAfter(std::chrono::nanoseconds delay, std::function<void()> job) = 0;
};

/// Makes serial queues. The queues share the back end's threads; a queue lives as long as a job
/// or an owner holds it.
class Dispatch {
  public:
    virtual ~Dispatch() = default;

    virtual std::shared_ptr<DispatchQueue> makeQueue(std::string label) = 0;
};

}  // namespace quorin::daemon
