#pragma once

#include "QuorinDaemon/Platform/Log.hpp"
#include "QuorinDaemon/Platform/ServiceManager.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quorin::daemon {

/// The questions a part was asked and whether it has answered them: `ask` from the watchdog's
/// thread, `answer` from the part's own. An answer covers every question asked before it.
class PingCount {
  public:
    void ask() { asked_.fetch_add(1); }
    void answer() { answered_.store(asked_.load()); }
    bool answered() const { return answered_.load() == asked_.load(); }

  private:
    std::atomic<std::uint64_t> asked_{0};
    std::atomic<std::uint64_t> answered_{0};
};

/// A part of the daemon the watchdog asks whether it still works. `ask` returns at once: it wakes
/// the part, which answers on its own thread; `answered` says whether it has answered since it
/// was last asked (true before the first question).
struct WatchdogProbe {
    std::string name;
    std::function<void()> ask;
    std::function<bool()> answered;
};

/// Feeds the service manager's watchdog only while every probe answers. At each check the
/// manager hears that the daemon is alive when every probe answered the previous question, and
/// then every probe is asked again. A probe that stops answering is logged once ("watchdog: NAME
/// does not answer"), and the manager ends the daemon (to start it again) once its interval passes
/// with no word; one that answers again is logged as well ("watchdog: NAME answers again").
class ServiceWatchdog {
  public:
    /// Checks per interval of the manager. A part that stops right after a check is found at the
    /// next one; the feeds before it still leave the manager two thirds of its interval to spare.
    static constexpr int checksPerInterval = 3;

    ServiceWatchdog(ServiceManager& manager, std::vector<WatchdogProbe> probes, Log log);
    /// Stops the checking thread, if it runs, and waits for it.
    ~ServiceWatchdog();

    ServiceWatchdog(const ServiceWatchdog&) = delete;
    ServiceWatchdog& operator=(const ServiceWatchdog&) = delete;

    /// One check: tells the manager when every probe answered, then asks each again.
    void check();
    /// Checks on a thread of its own `checksPerInterval` times per interval while the manager
    /// watches the daemon; does nothing when it does not.
    void start();

  private:
    ServiceManager& manager_;
    std::vector<WatchdogProbe> probes_;
    std::vector<bool> silent_;  // per probe: found not answering at the last check
    Log log_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;  // guarded by mutex_
    std::thread thread_;
};

}  // namespace quorin::daemon
