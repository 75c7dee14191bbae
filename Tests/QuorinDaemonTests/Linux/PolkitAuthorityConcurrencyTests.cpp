#include "QuorinDaemon/Platform/Linux/PolkitAuthority.hpp"

#include "Fakes/CapturingLogSink.hpp"

#include "TestSupport/TemporaryDirectory.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <algorithm>

#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

// GLib, GIO and polkit are not built for the thread sanitizer: their threads synchronise through
// locks it cannot see, so what they do among themselves is left out. Everything the authority
// hands between threads itself is still checked.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libglib-2.0.so.0\ncalled_from_lib:libgio-2.0.so.0\n"
           "called_from_lib:libgobject-2.0.so.0\ncalled_from_lib:libpolkit-gobject-1.so.0\n";
}

namespace quorin::daemon::testing {
namespace {

// With no bus to reach, the library fails every check: the daemon hears `unavailable` once per
// check, on the authority's thread, the failure is logged once, and the checks past the bound in
// flight are answered before any of the others.
TEST(PolkitAuthorityConcurrencyTest, WithoutABusEachCheckIsUnavailableOnceAndTheBoundHolds) {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/quorin-test-bus", 1);
    const auto log = std::make_shared<CapturingLogSink>();
    std::mutex mutex;
    std::vector<std::pair<std::size_t, AuthorizationAnswer>> answers;
    std::vector<std::thread::id> threads;
    std::promise<void> blocked, released;
    std::promise<void> allAnswered;
    constexpr std::size_t checks = PolkitAuthority::maximumPendingChecks + 1;
    {
        PolkitAuthority authority(log);
        const AuthorizationSubject subject{.pid = 4242, .startTime = 7, .uid = 1000};
        // The first answer holds the authority's thread until every other check was handed over.
        authority.checkAuthorization(subject, std::string(allowExecutionAction), [&](auto) {
            blocked.set_value();
            released.get_future().wait();
        });
        blocked.get_future().wait();
        for (std::size_t index = 0; index < checks; ++index) {
            authority.checkAuthorization(subject, std::string(clearHistoryAction),
                                         [&, index](AuthorizationAnswer answer) {
                                             const std::lock_guard lock(mutex);
                                             answers.emplace_back(index, answer);
                                             threads.push_back(std::this_thread::get_id());
                                             if (answers.size() == checks) {
                                                 allAnswered.set_value();
                                             }
                                         });
        }
        released.set_value();
        allAnswered.get_future().wait();
    }
    ASSERT_EQ(answers.size(), checks);
    EXPECT_EQ(answers.front().first, checks - 1);  // the one past the bound, at once
    std::vector<std::size_t> order;
    for (const auto& [index, answer] : answers) {
        EXPECT_EQ(answer, AuthorizationAnswer::unavailable);
        order.push_back(index);
    }
    std::sort(order.begin(), order.end());
    EXPECT_EQ(std::adjacent_find(order.begin(), order.end()), order.end());
    EXPECT_THAT(threads, ::testing::Each(::testing::Ne(std::this_thread::get_id())));
    EXPECT_THAT(log->lines(), ::testing::ElementsAre(
                                  "authority error: cannot ask the authorization service: "
                                  "Could not connect: No such file or directory",
                                  "authority error: 64 authorization checks in flight: check of "
                                  "com.brenmoor.quorin.clear-history answered unavailable"));
}

// A bus that takes the connection and never says a word: the check is cancelled after its
// timeout and answered `unavailable`, and the authority still goes at once.
TEST(PolkitAuthorityConcurrencyTest, ACheckWithNoAnswerIsCancelledAfterItsTimeout) {
    const quorin::testing::TemporaryDirectory directory;
    const std::string path = directory.path() / "bus";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + path).c_str(), 1);
    const auto log = std::make_shared<CapturingLogSink>();
    std::promise<AuthorizationAnswer> answered;
    {
        PolkitAuthority authority(log, std::chrono::milliseconds(50));
        authority.checkAuthorization(
            {.pid = 1, .startTime = 2, .uid = 3}, std::string(weakenProtectionAction),
            [&](AuthorizationAnswer answer) { answered.set_value(answer); });
        EXPECT_EQ(answered.get_future().get(), AuthorizationAnswer::unavailable);
    }
    ::close(listener);
    EXPECT_THAT(log->lines(), ::testing::ElementsAre(
                                  "authority error: authorization check of "
                                  "com.brenmoor.quorin.weaken-protection unanswered after 50 ms: "
                                  "cancelled"));
}

}  // namespace
}  // namespace quorin::daemon::testing
