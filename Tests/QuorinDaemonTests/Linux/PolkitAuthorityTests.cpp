#include "QuorinDaemon/Platform/Linux/PolkitAuthority.hpp"

#include "Fakes/CapturingLogSink.hpp"
#include "TestSupport/ChildProcess.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>
#include <sstream>

namespace quorin::daemon::testing {
namespace {

const std::filesystem::path polkitDaemon = "/usr/lib/polkit-1/polkitd";
const std::filesystem::path busDaemon = "/usr/bin/dbus-daemon";
const std::filesystem::path shippedPolicy =
    std::filesystem::path(__FILE__).parent_path() / "../../../packaging/com.brenmoor.quorin.policy";

// Our rules decide two actions; the third needs the person's own password, and with no agent
// there is nobody to give it.
constexpr std::string_view privatePolkitRules = R"(polkit.addRule(function(action, subject) {
    if (action.id == "com.brenmoor.quorin.allow-execution") return polkit.Result.YES;
    if (action.id == "com.brenmoor.quorin.weaken-protection") return polkit.Result.NO;
});
)";

AuthorizationAnswer askPrivatePolkit(PolkitAuthority& authority, const AuthorizationSubject& who,
                                     std::string_view action) {
    std::promise<AuthorizationAnswer> answer;
    authority.checkAuthorization(who, std::string(action),
                                 [&](AuthorizationAnswer given) { answer.set_value(given); });
    return answer.get_future().get();
}

// In a mount namespace of its own: the shipped policy and our rules in polkit's directories, a
// system bus with a socket of its own that activates nothing, and polkitd on it. Asks about a
// process of an unprivileged user (root is always authorized) and writes one answer a line.
[[noreturn]] void runPrivatePolkit(const quorin::testing::TemporaryDirectory& directory,
                                   int results) {
    ::alarm(60);
    const auto bind = [&](const char* folder, const std::string& over) {
        return ::mount((directory / folder).c_str(), over.c_str(), nullptr, MS_BIND, nullptr);
    };
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        bind("actions", "/usr/share/polkit-1/actions") != 0 ||
        bind("rules", "/etc/polkit-1/rules.d") != 0 ||
        bind("empty", "/usr/share/polkit-1/rules.d") != 0 ||
        bind("empty", "/usr/share/dbus-1/system-services") != 0 ||
        ::mount("tmpfs", "/run/dbus", "tmpfs", 0, "mode=0755") != 0) {
        std::_Exit(2);
    }
    const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t bus =
        quorin::testing::detail::spawn(busDaemon, {"--system", "--nofork", "--nopidfile"},
                                       std::nullopt, "/dev/null", quiet, quiet);
    const pid_t polkit = quorin::testing::detail::spawn(polkitDaemon, {"--no-debug"}, std::nullopt,
                                                        "/dev/null", quiet, quiet);
    const pid_t subject = ::fork();
    if (subject == 0) {
        ::close(results);
        if (::setresgid(65534, 65534, 65534) == 0 && ::setresuid(65534, 65534, 65534) == 0) {
            ::pause();
        }
        std::_Exit(1);
    }
    std::ifstream stat("/proc/" + std::to_string(subject) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    for (int index = 3; index < 22 && fields >> field; ++index) {
    }
    AuthorizationSubject who{.pid = subject, .startTime = 0, .uid = 65534};
    fields >> who.startTime;

    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    const auto log = std::make_shared<CapturingLogSink>();
    std::ostringstream report;
    {
        PolkitAuthority authority(log);
        // Until polkitd owns its name on the bus, every check is unavailable.
        for (int attempt = 0;
             attempt < 200 && askPrivatePolkit(authority, who, allowExecutionAction) ==
                                  AuthorizationAnswer::unavailable;
             ++attempt) {
            ::usleep(50'000);
        }
        for (const std::string_view action :
             {allowExecutionAction, weakenProtectionAction, clearHistoryAction,
              std::string_view("com.brenmoor.quorin.unknown")}) {
            report << action << " " << static_cast<int>(askPrivatePolkit(authority, who, action))
                   << "\n";
        }
    }
    report << log->lines().back() << "\n";
    const std::string written = report.str();
    const bool complete =
        ::write(results, written.data(), written.size()) == static_cast<ssize_t>(written.size());
    for (const pid_t child : {subject, polkit, bus}) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    std::_Exit(complete ? 0 : 3);
}

// The real client against a private polkitd: a rule's yes is authorized, its no and an
// authentication nobody can give are refused, and an action polkit does not know is unavailable
// and logged with the service's own words.
TEST(PolkitAuthorityTest, APrivatePolkitDecidesByTheShippedPolicyAndItsRules) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run a system bus and polkitd in a mount namespace";
    }
    if (!std::filesystem::exists(polkitDaemon) || !std::filesystem::exists(busDaemon)) {
        GTEST_SKIP() << "needs " << polkitDaemon << " and " << busDaemon;
    }
    const quorin::testing::TemporaryDirectory directory;
    for (const char* folder : {"actions", "rules", "empty"}) {
        std::filesystem::create_directory(directory / folder);
    }
    std::filesystem::copy_file(shippedPolicy, directory / "actions/com.brenmoor.quorin.policy");
    directory.write("rules/10-quorin-test.rules", privatePolkitRules);
    ::chmod(directory.path().c_str(), 0755);  // readable by polkitd's own user

    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe[0]);
        runPrivatePolkit(directory, pipe[1]);
    }
    ::close(pipe[1]);
    const std::string results = quorin::testing::detail::readAll(pipe[0]);
    EXPECT_EQ(quorin::testing::detail::reap(child), 0);
    EXPECT_EQ(results,
              "com.brenmoor.quorin.allow-execution 0\n"
              "com.brenmoor.quorin.weaken-protection 1\n"
              "com.brenmoor.quorin.clear-history 1\n"
              "com.brenmoor.quorin.unknown 2\n"
              "authority error: cannot ask the authorization service: GDBus.Error:"
              "org.freedesktop.PolicyKit1.Error.Failed: Action com.brenmoor.quorin.unknown is not "
              "registered\n");
}

}  // namespace
}  // namespace quorin::daemon::testing
