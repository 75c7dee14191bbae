// A stand-in for the daemon, for tests and measurements that need it as a process of its own:
// the daemon's own composition on the real back ends, limited to one private mount.
//
//     QuorinScopedDaemon MOUNT SOCKET_DIRECTORY PROTECTION_DIRECTORY HOME
//
// Only MOUNT is marked, so an exec it holds never stalls the rest of the machine; MOUNT must be
// a mount point of its own, since marking a plain folder would mark the file system around it.
// Every peer is admitted and HOME is every user's home directory, so a test's files and
// client binaries may live anywhere. Like the daemon, it asks polkit on the system bus (the one
// DBUS_SYSTEM_BUS_ADDRESS names, when set). The stand-in dies with the process that started it.

#include "QuorinDaemon/Platform/Linux/DaemonProcess.hpp"

#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>

namespace {

using namespace quorin::daemon;

class AdmitAll final : public PeerRequirement {
  public:
    bool satisfies(pid_t, const std::string&) const override { return true; }
};

class SharedHome final : public PasswordDatabase {
  public:
    explicit SharedHome(std::string home) : home_(std::move(home)) {}
    std::optional<std::string> homeDirectory(std::uint32_t) const override { return home_; }

  private:
    std::string home_;
};

bool isMountOfItsOwn(const std::string& path) {
    struct stat self {};
    struct stat parent {};
    const std::string above = std::filesystem::path(path).parent_path().string();
    return path != "/" && ::stat(path.c_str(), &self) == 0 && ::stat(above.c_str(), &parent) == 0 &&
           self.st_dev != parent.st_dev;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(
            stderr, "usage: QuorinScopedDaemon MOUNT SOCKET_DIRECTORY PROTECTION_DIRECTORY HOME\n");
        return 2;
    }
    const pid_t starter = ::getppid();
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != starter) {
        return 1;  // the starter is already gone
    }
    const std::string mount = argv[1];
    if (!isMountOfItsOwn(mount)) {
        std::fprintf(stderr, "QuorinScopedDaemon: %s is not a mount point of its own\n",
                     mount.c_str());
        return 2;
    }
    const AdmitAll peers;
    const SharedHome passwords(argv[4]);
    runDaemonProcess(DaemonProcessSettings{mount, argv[2], argv[3], peers, passwords});
}
