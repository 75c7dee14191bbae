#include "QuorinDaemon/Platform/ServiceWatchdog.hpp"

namespace quorin::daemon {

ServiceWatchdog::ServiceWatchdog(ServiceManager& manager, std::vector<WatchdogProbe> probes,
                                 Log log)
    : manager_(manager),
      probes_(std::move(probes)),
      silent_(probes_.size(), false),
      log_(std::move(log)) {}

ServiceWatchdog::~ServiceWatchdog() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void ServiceWatchdog::check() {
    bool everyoneAnswered = true;
    for (std::size_t index = 0; index < probes_.size(); ++index) {
        const bool answered = probes_[index].answered();
        if (answered == silent_[index]) {
            log_.log(answered ? LogLevel::default_ : LogLevel::error,
                     answered ? "watchdog: %{public}s answers again"
                              : "watchdog: %{public}s does not answer",
                     {LogValue::public_(probes_[index].name)});
            silent_[index] = !answered;
        }
        everyoneAnswered = everyoneAnswered && answered;
    }
    if (everyoneAnswered) {
        manager_.alive();
    }
    for (const WatchdogProbe& probe : probes_) {
        probe.ask();
    }
}

void ServiceWatchdog::start() {
    const auto interval = manager_.watchdogInterval();
    if (!interval || thread_.joinable()) {
        return;
    }
    const auto period = *interval / checksPerInterval;
    thread_ = std::thread([this, period] {
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            lock.unlock();
            check();
            lock.lock();
            wake_.wait_for(lock, period, [this] { return stopping_; });
        }
    });
}

}  // namespace quorin::daemon
