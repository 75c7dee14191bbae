#include "QuorinDaemon/Service/DaemonXPCListener.hpp"

#include "Fakes/FakeClock.hpp"
#include "Fakes/FakeCodeSigning.hpp"
#include "Fakes/FakeTransport.hpp"
#include "Fakes/ManualDispatch.hpp"
#include "Protection/HeldExecution.hpp"
#include "QuorinCore/Protection/ExecutionProtectionState.hpp"
#include "QuorinCore/Service/QuorinDaemonXPCInterfaces.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using testing::FakeClock;
using testing::FakeCodeSigning;
using testing::FakeConnection;
using testing::FakeTransport;
using testing::HeldExecution;
using testing::ManualDispatch;
using Interfaces = QuorinDaemonXPCInterfaces;

constexpr std::uint32_t ana = 501;
constexpr std::uint32_t ben = 502;

class TablePasswordDatabase final : public PasswordDatabase {
  public:
    explicit TablePasswordDatabase(std::map<std::uint32_t, std::string> homes)
        : homes_(std::move(homes)) {}
    std::optional<std::string> homeDirectory(std::uint32_t uid) const override {
        const auto found = homes_.find(uid);
        return found == homes_.end() ? std::nullopt : std::optional(found->second);
    }

  private:
    std::map<std::uint32_t, std::string> homes_;
};

AttributionRecord recordAbout(const std::string& path) {
    return AttributionRecord(path, Date{1}, AttributionProcess{42, "/bin/sh", {}, {}}, true, {},
                             EventOperation::fileModified);
}

class DaemonXPCListenerTest : public ::testing::Test {
  protected:
    void SetUp() override { listener.resume(); }

    // Starts the file-event client as subscribed, its prefixes going to `installed`.
    void subscribe() {
        listener.setFileEventClient("subscribed", [this](const std::vector<std::string>& paths) {
            if (failPrefixUpdates) {
                throw std::runtime_error("muting failed");
            }
            installed.push_back(paths);
        });
    }

    std::shared_ptr<FakeConnection> connect(std::uint32_t uid) {
        auto connection = transport.connect(uid);
        EXPECT_NE(connection, nullptr);
        return connection;
    }

    void setPaths(const std::shared_ptr<FakeConnection>& connection,
                  std::vector<std::string> paths) {
        transport.on(connection, [&] { listener.setProtectedPaths(std::move(paths)); });
    }

    std::string status(const std::shared_ptr<XPCConnection>& connection) {
        std::optional<std::string> reply;
        transport.on(connection, [&] {
            listener.statusWithReply([&](std::string text) { reply = std::move(text); });
        });
        return reply.value_or("<no reply>");
    }

    std::optional<bool> decide(const std::shared_ptr<XPCConnection>& connection,
                               const std::string& id, const std::string& decision) {
        std::optional<bool> reply;
        transport.on(connection, [&] {
            listener.decideExecution(id, decision, [&](bool result) { reply = result; });
        });
        dispatch.runPending();
        return reply;
    }

    quorin::testing::TemporaryDirectory storage;
    FakeTransport transport;
    TablePasswordDatabase passwords{{{ana, "/home/ana"}, {ben, "/home/ben"}}};
    ManualDispatch dispatch;
    FakeCodeSigning signing;
    FakeClock clock;
    ExecutionProtectionController controller{(storage / "protect").string(), dispatch, signing,
                                             clock};
    DaemonXPCListener listener{transport, passwords, controller};
    std::vector<std::vector<std::string>> installed;
    bool failPrefixUpdates = false;
};

TEST_F(DaemonXPCListenerTest, AcceptsConnectionsOfKnownUsersWithTheServiceInterfaces) {
    EXPECT_EQ(transport.serviceNames(), std::vector<std::string>{"com.brenmoor.quorin.daemon.xpc"});
    EXPECT_EQ(transport.connect(4'000), nullptr);       // no password-database entry
    EXPECT_EQ(transport.connect(ana, false), nullptr);  // the peer's side cannot be reached
    const auto connection = connect(ana);
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(connection->requirement(), std::string(Interfaces::appCodeSigningRequirement));
    ASSERT_TRUE(connection->exportedInterface().has_value());
    EXPECT_EQ(connection->exportedInterface()->methods().size(), 9u);
    ASSERT_TRUE(connection->remoteInterface().has_value());
    EXPECT_EQ(connection->remoteInterface()->methods().at(0).selector, "deliver:");
    EXPECT_EQ(connection->exported(), &listener);
    EXPECT_TRUE(connection->resumed());
}

TEST_F(DaemonXPCListenerTest, ReportsStatusPerClient) {
    const auto first = connect(ana);
    const auto second = connect(ana);      // the same user, another client
    EXPECT_EQ(status(first), "starting");  // the file-event client has not reported
    EXPECT_EQ(status(nullptr), "es-error:unknown-client");

    subscribe();
    EXPECT_EQ(status(first), "starting");  // no paths yet
    setPaths(first, {"/home/ana/.zshrc", "/home/ana/.ssh", "/home/ana/.zshrc"});
    const std::string expected = Interfaces::subscribedStatus(
        Interfaces::protectedPathsFingerprint({"/home/ana/.ssh", "/home/ana/.zshrc"}));
    EXPECT_EQ(status(first), expected);
    EXPECT_EQ(status(second), "starting");

    // A refused list withdraws the accepted paths too.
    setPaths(first, {"/home/ben/.zshrc"});
    EXPECT_EQ(status(first), "es-error:unauthorized-paths");
    EXPECT_EQ(installed.back(), std::vector<std::string>{});
    setPaths(first, {"/home/ana/.ssh"});
    EXPECT_EQ(status(first), Interfaces::subscribedStatus(
                                 Interfaces::protectedPathsFingerprint({"/home/ana/.ssh"})));

    // A failed prefix update shows for every client until one succeeds.
    failPrefixUpdates = true;
    setPaths(second, {"/home/ana/.zshrc"});
    EXPECT_EQ(status(first), "es-error:configuration");
    EXPECT_EQ(status(second), "es-error:configuration");
    failPrefixUpdates = false;
    setPaths(second, {"/home/ana/.zshrc"});
    EXPECT_EQ(status(second), Interfaces::subscribedStatus(
                                  Interfaces::protectedPathsFingerprint({"/home/ana/.zshrc"})));
}

TEST_F(DaemonXPCListenerTest, AFailedFileEventClientIsEveryClientsStatus) {
    listener.setFileEventClient("es-error:not-privileged", std::nullopt);
    const auto connection = connect(ana);
    setPaths(connection, {"/home/ana/.zshrc"});
    EXPECT_EQ(status(connection), "es-error:not-privileged");
    setPaths(connection, {"/etc"});
    EXPECT_EQ(status(connection), "es-error:unauthorized-paths");
}

TEST_F(DaemonXPCListenerTest, InstallsTheUnionOfAllClientsPaths) {
    subscribe();
    EXPECT_EQ(installed, std::vector<std::vector<std::string>>{{}});  // before any client
    const auto first = connect(ana);
    const auto second = connect(ben);
    setPaths(first, {"/home/ana/b", "/usr/local/bin"});
    setPaths(second, {"/usr/local/bin", "/home/ben/a"});
    EXPECT_EQ(installed.back(),
              (std::vector<std::string>{"/home/ana/b", "/home/ben/a", "/usr/local/bin"}));
    first->invalidate();
    EXPECT_EQ(installed.back(), (std::vector<std::string>{"/home/ben/a", "/usr/local/bin"}));
    EXPECT_EQ(status(first), "es-error:unknown-client");
    second->failDelivery();
    EXPECT_EQ(installed.back(), std::vector<std::string>{});
}

TEST_F(DaemonXPCListenerTest, DeliversRecordsToTheClientsWhosePathsCoverThem) {
    subscribe();
    const auto first = connect(ana);
    const auto second = connect(ben);
    const auto unconfigured = connect(ana);
    const auto refused = connect(ben);
    setPaths(first, {"/home/ana/.ssh"});
    setPaths(second, {"/usr/local/bin"});
    setPaths(refused, {"/home/ana"});
    listener.broadcast(recordAbout("/home/ana/.ssh/authorized_keys"));
    listener.broadcast(recordAbout("/usr/local/bin/tool"));
    listener.broadcast(recordAbout("/home/ana/.ssh2"));
    ASSERT_EQ(first->delivered().size(), 1u);
    EXPECT_EQ(decodeJSONText<AttributionRecord>(first->delivered()[0]),
              recordAbout("/home/ana/.ssh/authorized_keys"));
    EXPECT_EQ(second->delivered().size(), 1u);
    EXPECT_TRUE(unconfigured->delivered().empty());
    EXPECT_TRUE(refused->delivered().empty());

    failPrefixUpdates = true;
    setPaths(unconfigured, {"/home/ana"});
    listener.broadcast(recordAbout("/home/ana/.ssh/config"));
    EXPECT_EQ(first->delivered().size(), 1u);  // nobody receives while the prefixes are wrong
}

TEST_F(DaemonXPCListenerTest, ProtectionRequestsOfUnknownClientsGetTheFallbacks) {
    std::vector<std::string> replies;
    const auto asText = [&](bool value) { replies.push_back(value ? "true" : "false"); };
    const auto asData = [&](std::string data) { replies.push_back("data:" + data); };
    listener.configureProtection("{}", asText);
    listener.protectionStateWithReply(asData);
    listener.decideExecution(UUID::random().uuidString(), "block", asText);
    listener.exportExecutionHistoryWithReply(asData);
    listener.clearExecutionHistoryWithReply(asText);
    listener.clearExecutionTrustWithReply(asText);
    listener.updateProtectionReferences("{}");
    listener.setProtectedPaths({"/home/ana"});
    EXPECT_EQ(replies,
              (std::vector<std::string>{"false", "data:", "false", "data:", "false", "false"}));
    EXPECT_EQ(dispatch.readyCount(), 0u);
}

TEST_F(DaemonXPCListenerTest, ForwardsProtectionRequestsInTheNameOfTheConnectionsUser) {
    const fs::path root = storage / "home-ana-bin";
    TablePasswordDatabase homes{{{ana, storage.path().string()}}};
    FakeTransport otherTransport;
    DaemonXPCListener own(otherTransport, homes, controller);
    own.resume();
    const auto connection = otherTransport.connect(ana);
    ASSERT_NE(connection, nullptr);
    controller.setAvailable(true);

    ExecutionProtectionConfiguration configuration;
    configuration.enabled = true;
    configuration.executableRoots = {root.string()};
    std::optional<bool> configured;
    otherTransport.on(connection, [&] {
        own.configureProtection(encodeJSONText(configuration),
                                [&](bool result) { configured = result; });
    });
    dispatch.runPending();
    EXPECT_EQ(configured, true);  // the roots are inside this client's home directory

    fs::create_directory(root);
    const fs::path tool = storage.write("home-ana-bin/tool", "x");
    struct stat status {};
    ::lstat(tool.c_str(), &status);
    HeldExecution held(controller, ana,
                       ExecutionCandidate{tool.string(), fileVersion(status), false, false, false,
                                          "", "", std::nullopt});
    ASSERT_TRUE(held.prepare(clock.now().addingTimeInterval(10)));
    dispatch.runPending();

    auto decideOwn = [&](const std::string& id, const std::string& decision) {
        std::optional<bool> reply;
        otherTransport.on(connection, [&] {
            own.decideExecution(id, decision, [&](bool result) { reply = result; });
        });
        dispatch.runPending();
        return reply;
    };
    struct Case {
        std::string id;
        std::string decision;
    };
    const Case malformed[] = {
        {"not-a-uuid", "block"},           {held.id().uuidString() + " ", "block"},
        {held.id().uuidString(), "Block"}, {held.id().uuidString(), "allowAlways"},
        {held.id().uuidString(), ""},
    };
    for (const Case& test : malformed) {
        SCOPED_TRACE(test.id + " " + test.decision);
        EXPECT_EQ(decideOwn(test.id, test.decision), false);
    }
    EXPECT_TRUE(held.answers().empty());
    // Another user's connection cannot decide it.
    EXPECT_EQ(decide(connect(ben), held.id().uuidString(), "block"), false);
    EXPECT_EQ(decideOwn(held.id().uuidString(), "block"), true);
    EXPECT_EQ(held.answers(), (std::vector<HeldExecution::Answer>{{false, "Blocked by user"}}));

    std::optional<std::string> state;
    otherTransport.on(connection, [&] {
        own.protectionStateWithReply([&](std::string data) { state = std::move(data); });
    });
    dispatch.runPending();
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(decodeJSONText<ExecutionProtectionState>(*state).outcomes.size(), 1u);
}

TEST_F(DaemonXPCListenerTest, IgnoresReferencesOverOneMebibyteOrMalformed) {
    const fs::path root = storage / "bin";
    TablePasswordDatabase homes{{{ana, storage.path().string()}}};
    FakeTransport otherTransport;
    DaemonXPCListener own(otherTransport, homes, controller);
    own.resume();
    const auto connection = otherTransport.connect(ana);
    controller.setAvailable(true);
    ExecutionProtectionConfiguration configuration;
    configuration.enabled = true;
    configuration.executableRoots = {root.string()};
    otherTransport.on(connection,
                      [&] { own.configureProtection(encodeJSONText(configuration), [](bool) {}); });
    dispatch.runPending();

    const std::string reference = R"({")" + (root / "tool").string() + R"(":1})";
    auto padded = [&](std::size_t size) {
        std::string data = reference;
        data.resize(size, ' ');  // white space after the object keeps it valid JSON
        return data;
    };
    struct Case {
        const char* name;
        std::string data;
        bool applied;
    };
    const Case cases[] = {
        {"not an object", "[]", false},
        {"not a time stamp", R"({"/x":"soon"})", false},
        {"one byte over", padded(1'048'577), false},
        {"exactly one mebibyte", padded(1'048'576), true},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        otherTransport.on(connection, [&] { own.updateProtectionReferences(test.data); });
        EXPECT_EQ(dispatch.readyCount(), test.applied ? 1u : 0u);
        dispatch.runPending();
    }
    EXPECT_EQ(ProtectionStorage((storage / "protect").string()).load(ana).configuration.references,
              (std::map<std::string, Date>{{(root / "tool").string(), Date{1}}}));
}

}  // namespace
}  // namespace quorin::daemon
