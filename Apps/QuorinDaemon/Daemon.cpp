#include "QuorinDaemon/Daemon.hpp"

namespace quorin::daemon {

namespace {

Log announced(std::shared_ptr<LogSink> sink) {
    Log lifecycle(std::move(sink), std::string(daemonLogSubsystem), "lifecycle");
    lifecycle.log(LogLevel::default_, "quorin daemon started");
    return lifecycle;
}

}  // namespace

Daemon::Daemon(const DaemonServices& services)
    : lifecycle_(announced(services.logSink)),
      protection_(services.protectionDirectory, services.dispatch, services.codeSigning,
                  services.clock),
      listener_(services.transport, services.passwords, protection_, services.authority,
                services.logSink),
      attribution_(services.endpointSecurity, services.walking, services.logSink,
                   services.terminator),
      executions_(services.endpointSecurity, services.dispatch, services.clock, services.logSink) {
    ESAttributionClient::StartResult fileEvents =
        attribution_.start([this](const AttributionRecord& record) {
            protection_.observedChange(record.path);
            listener_.broadcast(record);
        });
    listener_.setFileEventClient(std::move(fileEvents.status),
                                 std::move(fileEvents.protectedPathsHandler));
    executions_.start(protection_);
    listener_.resume();
}

std::string Daemon::startUpSummary() const {
    return "started; file events: " + listener_.fileEventStatus() +
           "; exec checking: " + (protection_.available() ? "available" : "unavailable");
}

}  // namespace quorin::daemon
