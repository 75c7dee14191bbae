#include "Linux/PrivatePolkit.hpp"

#include <sys/stat.h>

#include <sstream>

namespace quorin::daemon::testing {
namespace {

// Our rules decide two actions; the third needs the person's own password, and with no agent
// there is nobody to give it.
constexpr std::string_view privatePolkitRules = R"(polkit.addRule(function(action, subject) {
    if (action.id == "com.brenmoor.quorin.allow-execution") return polkit.Result.YES;
    if (action.id == "com.brenmoor.quorin.weaken-protection") return polkit.Result.NO;
});
)";

// The real client against a private polkitd, asking about a process of an unprivileged user
// (root is always authorized): a rule's yes is authorized, its no and an authentication nobody
// can give are refused, and an action polkit does not know is unavailable and logged with the
// service's own words.
TEST(PolkitAuthorityTest, APrivatePolkitDecidesByTheShippedPolicyAndItsRules) {
    if (const std::optional<std::string> reason = privatePolkitUnavailable()) {
        GTEST_SKIP() << *reason;
    }
    const quorin::testing::TemporaryDirectory directory;
    ::chmod(directory.path().c_str(), 0711);  // polkitd reaches its bus through it
    const PrivatePolkit polkit(directory / "polkit", privatePolkitRules);
    const pid_t subject = ::fork();
    if (subject == 0) {
        if (::setresgid(65534, 65534, 65534) == 0 && ::setresuid(65534, 65534, 65534) == 0) {
            ::pause();
        }
        std::_Exit(1);
    }
    const AuthorizationSubject who{subject, ProcessFacts::startTime(subject).value_or(0), 65534};
    const auto log = std::make_shared<CapturingLogSink>();
    std::ostringstream report;
    {
        PolkitAuthority authority(log);
        for (const std::string_view action :
             {allowExecutionAction, weakenProtectionAction, clearHistoryAction,
              std::string_view("com.brenmoor.quorin.unknown")}) {
            report << action << " " << static_cast<int>(askAuthority(authority, who, action))
                   << "\n";
        }
    }
    ::kill(subject, SIGKILL);
    quorin::testing::detail::reap(subject);
    EXPECT_EQ(report.str(),
              "com.brenmoor.quorin.allow-execution 0\n"
              "com.brenmoor.quorin.weaken-protection 1\n"
              "com.brenmoor.quorin.clear-history 1\n"
              "com.brenmoor.quorin.unknown 2\n");
    EXPECT_EQ(log->lines().back(),
              "authority error: cannot ask the authorization service: GDBus.Error:"
              "org.freedesktop.PolicyKit1.Error.Failed: Action com.brenmoor.quorin.unknown is not "
              "registered");
}

}  // namespace
}  // namespace quorin::daemon::testing
