// The daemon's entry point: the whole machine, the system's socket directory and storage, the
// system's peer rule and user accounts. Started by the service manager as root.

#include "QuorinDaemon/Daemon.hpp"
#include "QuorinDaemon/Platform/Linux/DaemonProcess.hpp"
#include "QuorinDaemon/Platform/Linux/ProcPeerRequirement.hpp"
#include "QuorinDaemon/Platform/Linux/SystemPasswordDatabase.hpp"

int main() {
    using namespace quorin::daemon;
    const ProcPeerRequirement peers;
    const SystemPasswordDatabase passwords;
    runDaemonProcess(DaemonProcessSettings{"/", "/run", std::string(Daemon::protectionDirectory),
                                           peers, passwords});
}
