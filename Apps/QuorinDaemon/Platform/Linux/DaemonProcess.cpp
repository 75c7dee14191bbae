#include "QuorinDaemon/Platform/Linux/DaemonProcess.hpp"

#include "QuorinDaemon/Daemon.hpp"
#include "QuorinDaemon/Platform/Linux/AsioDispatch.hpp"
#include "QuorinDaemon/Platform/Linux/FanotifyEndpointSecurity.hpp"
#include "QuorinDaemon/Platform/Linux/InstanceLock.hpp"
#include "QuorinDaemon/Platform/Linux/PolkitAuthority.hpp"
#include "QuorinDaemon/Platform/Linux/ProcAncestryWalking.hpp"
#include "QuorinDaemon/Platform/Linux/ProcessTerminator.hpp"
#include "QuorinDaemon/Platform/Linux/StandardErrorLogSink.hpp"
#include "QuorinDaemon/Platform/Linux/SystemClock.hpp"
#include "QuorinDaemon/Platform/Linux/SystemdServiceManager.hpp"
#include "QuorinDaemon/Platform/Linux/UnixSocketTransport.hpp"
#include "QuorinDaemon/Platform/Linux/UnsignedCodeSigning.hpp"
#include "QuorinDaemon/Platform/QueuedLogSink.hpp"
#include "QuorinDaemon/Platform/ServiceWatchdog.hpp"

#include <asio/error.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <sys/resource.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <variant>
#include <vector>

namespace quorin::daemon {

namespace {

// Beside the socket, the file whose lock makes a daemon the only one serving that socket.
constexpr std::string_view daemonInstanceLockName = "quorind.lock";

// Every watched folder and every connected client holds descriptors: the soft limit goes up to
// the hard one (which the service manager sets).
void raiseDescriptorLimit(const Log& log) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        if (limit.rlim_cur == limit.rlim_max) {
            return;
        }
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) == 0) {
            return;
        }
    }
    log.log(LogLevel::error, "cannot raise the descriptor limit: %{public}s",
            {LogValue::public_(std::strerror(errno))});
}

// Code run from memory (a memfd) lives on a file system of the kernel's own, which fanotify
// cannot mark: its execs never reach the daemon. Only the kernel can refuse them, when the
// administrator sets vm.memfd_noexec to 2; until then the log says so once.
void noteExecsFromMemory(const Log& log) {
    std::ifstream setting("/proc/sys/vm/memfd_noexec");
    int value = 0;
    if (!(setting >> value) || value < 2) {
        log.log(LogLevel::default_,
                "execs from memory (memfd) are not checked; vm.memfd_noexec=2 refuses them");
    }
}

// Ends the process once what it logged is written, without tearing down back ends that other
// threads may still be using.
[[noreturn]] void endDaemonProcess(QueuedLogSink& logSink, int status = EXIT_FAILURE) {
    logSink.flush();
    std::_Exit(status);
}

// A start-up that fails on a path that is missing, refused or taken by something else fails the
// same way until the administrator changes it; anything else may pass.
int startUpFailureStatus(const std::exception& error) {
    const auto* systemError = dynamic_cast<const std::system_error*>(&error);
    if (systemError == nullptr) {
        return EXIT_FAILURE;
    }
    // The socket's errors come in the loop library's own category, with errno's numbers.
    const std::error_category& category = systemError->code().category();
    if (category != std::generic_category() && category != std::system_category() &&
        category != asio::error::get_system_category()) {
        return EXIT_FAILURE;
    }
    for (const int lasting : {EACCES, EPERM, ENOENT, ENOTDIR, ELOOP, EROFS, EADDRINUSE}) {
        if (systemError->code().value() == lasting) {
            return daemonMisconfiguredStatus;
        }
    }
    return EXIT_FAILURE;
}

[[noreturn]] void failDaemonStartUp(const Log& log, QueuedLogSink& logSink,
                                    const std::exception& error) {
    log.log(LogLevel::fault, "start-up failed: %{public}s", {LogValue::public_(error.what())});
    endDaemonProcess(logSink, startUpFailureStatus(error));
}

// The lock of the only daemon on `socketDirectory`, before anything touches the socket; a second
// instance leaves it, and every exec, to the first and ends.
InstanceLock claimDaemonInstance(const std::string& socketDirectory, const Log& log,
                                 QueuedLogSink& logSink) {
    try {
        auto claim =
            InstanceLock::take(socketDirectory + "/" + std::string(daemonInstanceLockName));
        if (const auto* held = std::get_if<InstanceLock::HeldElsewhere>(&claim)) {
            log.log(LogLevel::fault, "quorin daemon already running (pid %{public}s)",
                    {LogValue::public_(held->holder ? std::to_string(*held->holder) : "unknown")});
            endDaemonProcess(logSink);
        }
        return std::move(std::get<InstanceLock>(claim));
    } catch (const std::exception& error) {
        failDaemonStartUp(log, logSink, error);
    }
}

// Runs the loop on this thread until it stops; a handler that throws is logged and the loop goes
// on.
void runDaemonLoop(asio::io_context& loop, const Log& log) {
    for (;;) {
        try {
            loop.run();
            return;
        } catch (const std::exception& error) {
            log.log(LogLevel::error, "handler failed: %{public}s",
                    {LogValue::public_(error.what())});
        }
    }
}

}  // namespace

void runDaemonProcess(const DaemonProcessSettings& settings) {
    // Every component logs through the queue, so a stalled standard error (the journal's stream)
    // never holds up a thread that answers execs.
    const auto logSink = std::make_shared<QueuedLogSink>(std::make_shared<StandardErrorLogSink>());
    const Log log(logSink, std::string(daemonLogSubsystem), "daemon");
    raiseDescriptorLimit(log);
    noteExecsFromMemory(log);
    const InstanceLock instance = claimDaemonInstance(settings.socketDirectory, log, *logSink);

    // Identification hashes files on the controller's queue while requests and exec messages
    // keep flowing on others, so the loop runs on a few threads.
    constexpr int loopThreads = 4;
    asio::io_context loop(loopThreads);
    const auto keepRunning = asio::make_work_guard(loop);

    // The storage directory itself is created (private) by the controller, when the service
    // manager has not made it; a directory a stand-in was given may lack its parents.
    std::error_code ignored;
    std::filesystem::create_directories(
        std::filesystem::path(settings.protectionDirectory).parent_path(), ignored);

    const SystemClock clock;
    fanotify::LinuxFanotifyKernel kernel;
    FanotifyEndpointSecurity endpointSecurity(settings.scope, clock, logSink, kernel);
    const ProcAncestryWalking walking;
    ProcessTerminator terminator;
    AsioDispatch dispatch(loop.get_executor());
    UnsignedCodeSigning codeSigning;
    UnixSocketTransport transport(loop.get_executor(), settings.socketDirectory, settings.peers,
                                  logSink);
    PolkitAuthority authority(logSink);

    // The daemon's construction ends with its listener making the socket.
    std::optional<Daemon> daemon;
    try {
        daemon.emplace(DaemonServices{endpointSecurity, walking, logSink, terminator, dispatch,
                                      clock, codeSigning, transport, authority, settings.passwords,
                                      settings.protectionDirectory});
    } catch (const std::exception& error) {
        failDaemonStartUp(log, *logSink, error);
    }

    std::vector<std::thread> workers;
    for (int index = 1; index < loopThreads; ++index) {
        workers.emplace_back([&loop, &log] { runDaemonLoop(loop, log); });
    }

    // The service manager hears that the daemon is up once its socket listens and its exec group
    // is marked, and its watchdog is fed only while execs are read and the loop runs handlers.
    SystemdServiceManager manager;
    manager.ready(daemon->startUpSummary());
    PingCount loopPing;
    ServiceWatchdog watchdog(
        manager,
        {WatchdogProbe{"exec reader", [&endpointSecurity] { endpointSecurity.askExecReaders(); },
                       [&endpointSecurity] { return endpointSecurity.execReadersAnswered(); }},
         WatchdogProbe{"event loop",
                       [&loop, &loopPing] {
                           loopPing.ask();
                           asio::post(loop, [&loopPing] { loopPing.answer(); });
                       },
                       [&loopPing] { return loopPing.answered(); }}},
        Log(logSink, std::string(daemonLogSubsystem), "watchdog"));
    watchdog.start();

    runDaemonLoop(loop, log);
    // The work guard keeps the loop running; should it ever stop, the process ends.
    endDaemonProcess(*logSink);
}

}  // namespace quorin::daemon
