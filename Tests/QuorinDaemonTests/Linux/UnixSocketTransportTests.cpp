#include "QuorinDaemon/Platform/Linux/UnixSocketTransport.hpp"

#include "Fakes/CapturingLogSink.hpp"
#include "Fakes/FakeAccounts.hpp"
#include "Service/SocketPeer.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <asio/thread_pool.hpp>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <fstream>
#include <thread>

namespace quorin::daemon {
namespace {

using testing::CapturingLogSink;
using testing::SocketPeer;
using Budget = UserConnectionBudget;

// Exports an object that answers the status request with `status` and the history export with
// `history`, fails to clear the history, sends a callback too large for a frame when its
// references are updated, and lets every other reply go unanswered.
class ForgetfulService final : public QuorinDaemonXPCProtocol, public XPCListenerDelegate {
  public:
    explicit ForgetfulService(const Transport& transport) : transport_(transport) {}

    bool shouldAcceptNewConnection(std::shared_ptr<XPCConnection> connection) override {
        connection->setExportedInterface(QuorinDaemonXPCInterfaces::daemonInterface());
        connection->setExportedObject(*this);
        connection->setRemoteObjectInterface(QuorinDaemonXPCInterfaces::eventsInterface());
        connection->resume();
        return true;
    }
    void setProtectedPaths(std::vector<std::string>) override {}
    void statusWithReply(TextReply reply) override { reply(status); }
    void configureProtection(std::string, BoolReply) override {}
    void updateProtectionReferences(std::string) override {
        transport_.currentConnection()->remoteObjectProxyWithErrorHandler({})->deliver(
            std::string(maximumFrameBytes, 'x'));
    }
    void protectionStateWithReply(DataReply) override {}
    void decideExecution(std::string, std::string, BoolReply) override {}
    void exportExecutionHistoryWithReply(DataReply reply) override { reply(history); }
    void clearExecutionHistoryWithReply(BoolReply) override {
        throw std::runtime_error("history is locked");
    }
    void clearExecutionTrustWithReply(BoolReply) override {}

    const std::string status = std::string(1024, 's');
    // Its base64 fills the reply to request 10 up to a frame's largest body.
    const std::string history =
        std::string((maximumFrameBytes - encodeReply(XPCReply{10, XPCData{}}).size()) / 4 * 3, 'h');

  private:
    const Transport& transport_;
};

// Each user's connections take their share up to each bound and not a byte past it, another
// user has their own, and what a connection held is given back when it goes.
TEST(UserConnectionBudgetTest, BoundsEachUserAndReleasesWhatAConnectionHeld) {
    constexpr std::size_t perConnection = UnixSocketTransport::maximumQueuedBytesPerConnection;
    constexpr std::size_t partial = UnixSocketTransport::maximumPartialFrameBytesPerUser;
    constexpr std::size_t bound = UnixSocketTransport::maximumConnectionsPerUser;
    const auto budget = std::make_shared<Budget>(
        Budget::Limits{UnixSocketTransport::maximumConnectionsPerUser, perConnection,
                       UnixSocketTransport::maximumQueuedBytesPerUser, partial});
    std::vector<std::optional<Budget::Share>> shares;  // `bound` of user 501, then user 502's
    const auto open = [&](uid_t user) {
        auto admission = budget->open(user);
        if (auto* share = std::get_if<Budget::Share>(&admission)) {
            shares.emplace_back(std::move(*share));
            return std::pair(0UL, false);
        }
        return std::pair(std::get<Budget::Refusal>(admission).open,
                         std::get<Budget::Refusal>(admission).firstOfBurst);
    };
    while (shares.size() < UnixSocketTransport::maximumConnectionsPerUser) {
        open(501);
    }
    EXPECT_EQ(open(501), std::pair(bound, true));
    EXPECT_EQ(open(501), std::pair(bound, false));
    EXPECT_EQ(open(502), std::pair(0UL, false));
    const std::vector<std::tuple<std::size_t, bool, std::size_t, std::string_view>> steps{
        // share, in an incomplete frame (or else unsent), bytes, the bound passed
        {0, false, perConnection, ""},
        {0, false, 1, "its unsent bytes"},
        {1, false, perConnection, ""},
        {2, false, 1, "the user's unsent bytes"},
        {bound, false, perConnection, ""},
        {3, true, partial - 1, ""},
        {4, true, 1, ""},
        {5, true, 1, "the user's bytes in incomplete frames"},
        {bound, true, partial, ""},
        {3, true, partial - 2, ""},  // replaces what the connection held
        {5, true, 1, ""},
    };
    for (const auto& [share, partialFrame, bytes, overrun] : steps) {
        SCOPED_TRACE(overrun);
        const auto passed = partialFrame ? shares.at(share)->holdPartialFrame(bytes)
                                         : shares.at(share)->queue(bytes);
        EXPECT_EQ(passed ? passed->holding : "", overrun);
    }
    shares[1]->unqueue(1);
    EXPECT_FALSE(shares[2]->queue(1));
    shares[0].reset();
    shares[1].reset();
    shares[3].reset();
    EXPECT_FALSE(shares[2]->queue(perConnection - 1));
    EXPECT_FALSE(shares[6]->holdPartialFrame(partial - 2));
    for (int again = 0; again < 3; ++again) {
        EXPECT_EQ(open(501), std::pair(0UL, false));
    }
    EXPECT_EQ(open(501), std::pair(bound, true));  // below the bound in between
}

// A listener served by two threads, logging to the test, on a socket an earlier run left.
class UnixSocketTransportBoundsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        listener->setDelegate(service);
        listener->resume();
    }
    void TearDown() override {
        pool.stop();
        pool.join();
    }

    SocketPeer connect() { return SocketPeer(path); }

    const std::string user = std::to_string(::geteuid());
    const quorin::testing::TemporaryDirectory directory;
    const std::string path = (directory / "quorin.test").string();
    const int leftOver = ::mknod(path.c_str(), S_IFSOCK | 0600, 0);
    asio::thread_pool pool{2};
    testing::FakePeerRequirement peers;
    const std::shared_ptr<CapturingLogSink> log = std::make_shared<CapturingLogSink>();
    UnixSocketTransport transport{pool.get_executor(), directory.path().string(), peers, log};
    ForgetfulService service{transport};
    std::unique_ptr<XPCListener> listener = transport.makeListener("quorin.test");
};
class UnixSocketTransportTest : public UnixSocketTransportBoundsTest {};

// The socket an earlier run left is replaced by one every user can reach; each request is
// answered once, also while peers leave with their replies on the way; the socket goes with its
// listener.
TEST_F(UnixSocketTransportTest, ServesEveryUserAnswersEveryRequestOnceAndOutlivesLeavingPeers) {
    ASSERT_EQ(leftOver, 0);
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0666U);

    SocketPeer peer = connect();
    peer.call("clearExecutionTrustWithReply:", {}, 1);
    peer.call("statusWithReply:", {}, 2);
    EXPECT_EQ(peer.reply(1, XPCValueKind::boolean), XPCValue(false));
    EXPECT_EQ(peer.reply(2, XPCValueKind::text), XPCValue(service.status));

    // Each reply is on its way out when the end of the peer's stream arrives: the connection
    // closes while a write may be in flight, or complete but not yet handled.
    for (std::uint64_t id = 1; id <= 300; ++id) {
        SocketPeer leaving = connect();
        leaving.call("statusWithReply:", {}, id);
        leaving.close();
    }
    EXPECT_EQ(connect().status(), service.status);
    // The pool stops before what it serves goes.
    pool.stop();
    pool.join();
    listener.reset();
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(UnixSocketTransportBoundsTest, ClosesAUsersConnectionsPastItsBoundAndServesTheOpenOnes) {
    std::vector<SocketPeer> open;
    while (open.size() < UnixSocketTransport::maximumConnectionsPerUser) {
        open.push_back(connect());
    }
    EXPECT_EQ(open.back().status(), service.status);
    EXPECT_TRUE(connect().closedByDaemon());
    EXPECT_TRUE(connect().closedByDaemon());
    EXPECT_EQ(open.front().status(), service.status);
    EXPECT_EQ(log->lines(),
              std::vector<std::string>{
                  "xpc error: refusing connections of user " + user + ": " +
                  std::to_string(UnixSocketTransport::maximumConnectionsPerUser) + " open"});
}

// Each request gets one reply and the connection goes on: a reply of a frame's largest body is
// sent, one a byte longer becomes the failure reply, and so does the reply to a request whose
// handling threw. A callback too large for a frame is dropped.
TEST_F(UnixSocketTransportBoundsTest, AnswersRequestsWhoseReplyCannotBeSentWithTheFailureReply) {
    SocketPeer peer = connect();
    peer.call("updateProtectionReferences:", {XPCData{"{}"}});
    const std::vector<std::tuple<std::string, std::uint64_t, XPCValueKind, XPCValue>> requests{
        {"exportExecutionHistoryWithReply:", 10, XPCValueKind::data, XPCData{service.history}},
        {"exportExecutionHistoryWithReply:", 100, XPCValueKind::data, XPCData{}},
        {"clearExecutionHistoryWithReply:", 11, XPCValueKind::boolean, false},
        {"statusWithReply:", 12, XPCValueKind::text, service.status},
    };
    for (const auto& [selector, id, kind, expected] : requests) {
        SCOPED_TRACE(id);
        peer.call(selector, {}, id);
        EXPECT_EQ(peer.reply(id, kind), expected);
    }
    const std::size_t callback =
        encodeInvocation(
            XPCInvocation{std::nullopt, "deliver:", {XPCData{std::string(maximumFrameBytes, 'x')}}})
            .size();
    EXPECT_EQ(log->lines(),
              (std::vector<std::string>{
                  "xpc error: deliver: to user " + user + " dropped: a frame body of " +
                      std::to_string(callback) + " bytes exceeds the maximum of 8388608",
                  "xpc error: reply to exportExecutionHistoryWithReply: not sent: a frame body of "
                  "8388609 bytes exceeds the maximum of 8388608; sent the failure reply",
                  "xpc error: serving clearExecutionHistoryWithReply: failed: history is locked"}));
}

// Under a sanitizer, resident memory also holds its shadow and the freed blocks it keeps back.
constexpr bool residentMemoryIsTheProgramsOwn =
#if defined(__has_feature)
    !__has_feature(address_sanitizer) && !__has_feature(thread_sanitizer);
#else
    true;
#endif

std::size_t residentKilobytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line) && !line.starts_with("VmRSS:")) {
    }
    return std::stoul(line.substr(6));
}

// A peer that pipelines requests and reads nothing is disconnected once its unsent replies would
// pass its bound; the daemon's memory stays bounded meanwhile and another peer is served.
TEST_F(UnixSocketTransportBoundsTest, DisconnectsAPeerThatDoesNotReadWhileServingTheOthers) {
    SocketPeer other = connect();
    SocketPeer hog = connect();
    std::string requests;
    for (std::uint64_t id = 0; id < 1000; ++id) {
        requests += framed(encodeInvocation(XPCInvocation{id, "statusWithReply:", {}}));
    }
    const std::size_t before = residentKilobytes();
    try {
        for (int batch = 0; batch < 100; ++batch) {
            hog.sendRaw(requests);
            ASSERT_EQ(other.status(), service.status);
        }
    } catch (const std::runtime_error&) {  // the daemon closed the connection
    }
    const std::size_t after = residentKilobytes();
    if (residentMemoryIsTheProgramsOwn) {
        EXPECT_LT(after - std::min(before, after), 64U * 1024);
    }
    EXPECT_TRUE(hog.closedByDaemon());
    EXPECT_EQ(log->lines(),
              std::vector<std::string>{"xpc error: closing a connection of user " + user +
                                       ": its unsent bytes would pass 16777216 bytes"});
}

// With no descriptor left, accepting fails and is tried again after a pause, logged once for the
// whole run of failures; once descriptors are free again, the waiting peer is served.
TEST_F(UnixSocketTransportBoundsTest, PausesAcceptingWhileDescriptorsRunOut) {
    SocketPeer first = connect();  // its descriptor in the daemon stays taken
    ASSERT_EQ(first.status(), service.status);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const std::shared_ptr<void> restore(nullptr,
                                        [&](void*) { ::setrlimit(RLIMIT_NOFILE, &saved); });
    const rlimit tight{256, saved.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::vector<UniqueFd> filling;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
        filling.emplace_back(fd);
    }
    filling.pop_back();  // for the peer's own end
    SocketPeer waiting = connect();
    for (int attempt = 0; attempt < 500 && log->lines().empty(); ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(400));  // a few more failures
    filling.clear();
    EXPECT_EQ(waiting.status(), service.status);
    EXPECT_EQ(log->lines(), std::vector<std::string>{"xpc error: accepting connections failed: "
                                                     "Too many open files; retrying"});
}

}  // namespace
}  // namespace quorin::daemon
