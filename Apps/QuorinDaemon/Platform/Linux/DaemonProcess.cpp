#include "QuorinDaemon/Platform/Linux/DaemonProcess.hpp"

#include "QuorinDaemon/Daemon.hpp"
#include "QuorinDaemon/Platform/Linux/AsioDispatch.hpp"
#include "QuorinDaemon/Platform/Linux/FanotifyEndpointSecurity.hpp"
#include "QuorinDaemon/Platform/Linux/ProcAncestryWalking.hpp"
#include "QuorinDaemon/Platform/Linux/ProcessTerminator.hpp"
#include "QuorinDaemon/Platform/Linux/StandardErrorLogSink.hpp"
#include "QuorinDaemon/Platform/Linux/SystemClock.hpp"
#include "QuorinDaemon/Platform/Linux/UnixSocketTransport.hpp"
#include "QuorinDaemon/Platform/Linux/UnsignedCodeSigning.hpp"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <thread>
#include <vector>

namespace quorin::daemon {

void runDaemonProcess(const DaemonProcessSettings& settings) {
    // Identification hashes files on the controller's queue while requests and exec messages
    // keep flowing on others, so the loop runs on a few threads.
    constexpr int loopThreads = 4;
    asio::io_context loop(loopThreads);
    const auto keepRunning = asio::make_work_guard(loop);

    const auto logSink = std::make_shared<StandardErrorLogSink>();
    // The storage directory itself is created (private) by the controller; its parents are
    // ordinary system folders that may not exist on this system yet.
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
    UnixSocketTransport transport(loop.get_executor(), settings.socketDirectory, settings.peers);

    Daemon daemon(DaemonServices{endpointSecurity, walking, logSink, terminator, dispatch, clock,
                                 codeSigning, transport, settings.passwords,
                                 settings.protectionDirectory});

    std::vector<std::thread> workers;
    for (int index = 1; index < loopThreads; ++index) {
        workers.emplace_back([&loop] { loop.run(); });
    }
    loop.run();
    // The work guard keeps the loop running; should it ever stop, the process ends here rather
    // than tearing down back ends that other threads may still be using.
    std::_Exit(EXIT_FAILURE);
}

}  // namespace quorin::daemon
