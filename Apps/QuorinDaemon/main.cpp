// The daemon's entry point: builds the real back ends, wires the daemon in start-up order and
// hands the threads to the event loop, which never returns. Started by the service manager as
// root.

#include "QuorinDaemon/Daemon.hpp"
#include "QuorinDaemon/Platform/Linux/AsioDispatch.hpp"
#include "QuorinDaemon/Platform/Linux/FanotifyEndpointSecurity.hpp"
#include "QuorinDaemon/Platform/Linux/ProcAncestryWalking.hpp"
#include "QuorinDaemon/Platform/Linux/ProcPeerRequirement.hpp"
#include "QuorinDaemon/Platform/Linux/ProcessTerminator.hpp"
#include "QuorinDaemon/Platform/Linux/StandardErrorLogSink.hpp"
#include "QuorinDaemon/Platform/Linux/SystemClock.hpp"
#include "QuorinDaemon/Platform/Linux/SystemPasswordDatabase.hpp"
#include "QuorinDaemon/Platform/Linux/UnixSocketTransport.hpp"
#include "QuorinDaemon/Platform/Linux/UnsignedCodeSigning.hpp"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <filesystem>
#include <system_error>
#include <thread>
#include <vector>

int main() {
    using namespace quorin::daemon;

    // Identification hashes files on the controller's queue while requests and exec messages
    // keep flowing on others, so the loop runs on a few threads.
    constexpr int loopThreads = 4;
    asio::io_context loop(loopThreads);
    const auto keepRunning = asio::make_work_guard(loop);

    const auto logSink = std::make_shared<StandardErrorLogSink>();
    const std::string protectionDirectory(Daemon::protectionDirectory);
    // The storage directory itself is created (private) by the controller; its parents are
    // ordinary system folders that may not exist on this system yet.
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(protectionDirectory).parent_path(),
                                        ignored);

    const SystemClock clock;
    // The whole machine: every file system a protected path or an executable can be on.
    FanotifyEndpointSecurity endpointSecurity("/", clock);
    const ProcAncestryWalking walking;
    ProcessTerminator terminator;
    AsioDispatch dispatch(loop.get_executor());
    UnsignedCodeSigning codeSigning;
    const ProcPeerRequirement peers;
    UnixSocketTransport transport(loop.get_executor(), "/run", peers);
    const SystemPasswordDatabase passwords;

    Daemon daemon(DaemonServices{endpointSecurity, walking, logSink, terminator, dispatch, clock,
                                 codeSigning, transport, passwords, protectionDirectory});

    std::vector<std::thread> workers;
    for (int index = 1; index < loopThreads; ++index) {
        workers.emplace_back([&loop] { loop.run(); });
    }
    loop.run();  // never returns: the work guard keeps the loop alive
    for (std::thread& worker : workers) {
        worker.join();
    }
    return 0;
}
