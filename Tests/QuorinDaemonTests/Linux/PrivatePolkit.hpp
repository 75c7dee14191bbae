#pragma once

// A system bus and polkitd of a test's own, for root tests: polkit's answers come from the shipped
// policy and the test's rules, and nothing of the machine's own bus or polkit is touched.

#include "Fakes/CapturingLogSink.hpp"
#include "QuorinDaemon/Platform/Linux/PolkitAuthority.hpp"
#include "QuorinDaemon/Platform/Linux/ProcessFacts.hpp"
#include "TestSupport/ChildProcess.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <string_view>

namespace quorin::daemon::testing {

inline const std::filesystem::path polkitDaemon = "/usr/lib/polkit-1/polkitd";
inline const std::filesystem::path busDaemon = "/usr/bin/dbus-daemon";

/// Asks `authority` and waits for its answer.
inline AuthorizationAnswer askAuthority(Authority& authority, const AuthorizationSubject& who,
                                        std::string_view action) {
    std::promise<AuthorizationAnswer> answer;
    authority.checkAuthorization(who, std::string(action),
                                 [&](AuthorizationAnswer given) { answer.set_value(given); });
    return answer.get_future().get();
}

/// Why a private polkit cannot run here, or nothing when it can.
inline std::optional<std::string> privatePolkitUnavailable() {
    if (::geteuid() != 0) {
        return "needs root to run a system bus and polkitd in a mount namespace";
    }
    if (!std::filesystem::exists(polkitDaemon) || !std::filesystem::exists(busDaemon)) {
        return "needs " + polkitDaemon.string() + " and " + busDaemon.string();
    }
    return std::nullopt;
}

/// While it lives: a `dbus-daemon --system` whose socket is `socket()` in `folder`, and a
/// `polkitd` on it, both in a mount namespace of their own in which the shipped policy and
/// `rules` are polkit's only actions and rules and the bus activates nothing. The constructor
/// returns once polkitd answers; DBUS_SYSTEM_BUS_ADDRESS names the bus meanwhile, for the test
/// and every process it starts. The namespace's first process ends the bus and polkitd when the
/// object goes or the test process dies. `folder` must lie outside mounts the test makes later
/// and be reachable by polkitd's own user.
class PrivatePolkit {
  public:
    PrivatePolkit(const std::filesystem::path& folder, std::string_view rules) : folder_(folder) {
        for (const char* name : {"actions", "rules", "empty"}) {
            std::filesystem::create_directories(folder_ / name);
            ::chmod((folder_ / name).c_str(), 0755);
        }
        ::chmod(folder_.c_str(), 0755);
        std::filesystem::copy_file(shippedPolicy(), folder_ / "actions/com.brenmoor.quorin.policy");
        std::ofstream(folder_ / "rules/10-quorin-test.rules") << rules;
        ::chmod((folder_ / "rules/10-quorin-test.rules").c_str(), 0644);
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address().c_str(), 1);

        int ready[2];
        int alive[2];
        quorin::testing::detail::check(::pipe2(ready, O_CLOEXEC), "pipe2");
        quorin::testing::detail::check(::pipe2(alive, O_CLOEXEC), "pipe2");
        holder_ = ::fork();
        if (holder_ == 0) {
            ::close(ready[0]);
            ::close(alive[1]);
            hold(ready[1], alive[0]);
        }
        ::close(ready[1]);
        ::close(alive[0]);
        alive_ = alive[1];
        const std::string said = quorin::testing::detail::readAll(ready[0]);
        if (said != "ready\n") {
            stop();
            throw std::runtime_error("the private polkit did not come up: " + said +
                                     "\nThe bus and polkitd said:\n" +
                                     quorin::testing::detail::readAll(
                                         ::open(serviceLog().c_str(), O_RDONLY | O_CLOEXEC)));
        }
    }
    ~PrivatePolkit() {
        stop();
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    PrivatePolkit(const PrivatePolkit&) = delete;
    PrivatePolkit& operator=(const PrivatePolkit&) = delete;

    /// Ends the bus and polkitd: from then on, polkit cannot be reached.
    void stop() {
        if (holder_ > 0) {
            ::close(alive_);
            quorin::testing::detail::reap(holder_);
            holder_ = -1;
        }
    }

    std::filesystem::path socket() const { return folder_ / "bus"; }
    /// What the bus and polkitd write to their standard output and error.
    std::filesystem::path serviceLog() const { return folder_ / "services.log"; }
    std::string address() const { return "unix:path=" + socket().string(); }

    static std::filesystem::path shippedPolicy() {
        return std::filesystem::path(__FILE__).parent_path() /
               "../../../packaging/com.brenmoor.quorin.policy";
    }

  private:
    // The namespace's first process: sets the namespace up, starts the bus and polkitd, says
    // "ready" once polkitd answers (it authorizes root, the holder itself, once it is on the
    // bus), and ends both once `alive` reads its end.
    [[noreturn]] void hold(int ready, int alive) {
        const auto bind = [&](const char* name, const char* over) {
            return ::mount((folder_ / name).c_str(), over, nullptr, MS_BIND, nullptr) == 0;
        };
        const auto say = [ready](std::string_view text) {
            return ::write(ready, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        };
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            !bind("actions", "/usr/share/polkit-1/actions") ||
            !bind("rules", "/etc/polkit-1/rules.d") ||
            !bind("empty", "/usr/share/polkit-1/rules.d") ||
            !bind("empty", "/usr/share/dbus-1/system-services") ||
            ::mount("tmpfs", "/run/dbus", "tmpfs", 0, "mode=0755") != 0) {
            say("cannot set up the mount namespace");
            std::_Exit(2);
        }
        const int output =
            ::open(serviceLog().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        // polkitd ends at once when it finds no bus: it starts once the bus says its address,
        // which it does when it listens.
        int listening[2];
        quorin::testing::detail::check(::pipe2(listening, O_CLOEXEC), "pipe2");
        const pid_t bus = quorin::testing::detail::spawn(
            busDaemon,
            {"--system", "--nofork", "--nopidfile", "--print-address=1", "--address=" + address()},
            std::nullopt, "/dev/null", listening[1], output);
        ::close(listening[1]);
        char first = 0;
        while (::read(listening[0], &first, 1) < 0 && errno == EINTR) {
        }
        ::close(listening[0]);
        const pid_t polkit = quorin::testing::detail::spawn(
            polkitDaemon, {"--no-debug"}, std::nullopt, "/dev/null", output, output);
        bool answered = false;
        std::vector<std::string> failures;
        {
            const auto log = std::make_shared<CapturingLogSink>();
            PolkitAuthority authority(log);
            const AuthorizationSubject self{::getpid(), ProcessFacts::startTime(::getpid()).value(),
                                            0};
            // (Up to 30 s: a loaded machine running the sanitizer builds starts it slowly.)
            for (int attempt = 0; attempt < 600 && !answered; ++attempt) {
                answered = askAuthority(authority, self, allowExecutionAction) ==
                           AuthorizationAnswer::authorized;
                if (!answered) {
                    ::usleep(50'000);
                }
            }
            failures = log->lines();
        }
        if (answered && say("ready\n")) {
            ::close(ready);
            char ignored = 0;
            while (::read(alive, &ignored, 1) < 0 && errno == EINTR) {
            }
        } else {
            std::string why = "polkitd did not answer on the private bus";
            for (const std::string& line : failures) {
                why += "\n" + line;
            }
            say(why);
            ::close(ready);
        }
        for (const pid_t child : {polkit, bus}) {
            ::kill(child, SIGKILL);
            quorin::testing::detail::reap(child);
        }
        std::_Exit(answered ? 0 : 3);
    }

    std::filesystem::path folder_;
    pid_t holder_ = -1;
    int alive_ = -1;
};

}  // namespace quorin::daemon::testing
