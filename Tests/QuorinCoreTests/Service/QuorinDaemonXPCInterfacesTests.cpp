#include "QuorinCore/Service/QuorinDaemonXPCInterfaces.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace quorin {
namespace {

using Interfaces = QuorinDaemonXPCInterfaces;

TEST(QuorinDaemonXPCInterfacesTest, Constants) {
    EXPECT_EQ(Interfaces::machServiceName, "com.brenmoor.quorin.daemon.xpc");
    EXPECT_EQ(Interfaces::appCodeSigningRequirement,
              "anchor apple generic and certificate leaf[subject.OU] = \"Q4ZT8NB2XK\" and "
              "identifier \"com.brenmoor.Quorin\"");
    EXPECT_EQ(Interfaces::daemonCodeSigningRequirement,
              "anchor apple generic and certificate leaf[subject.OU] = \"Q4ZT8NB2XK\" and "
              "identifier \"com.brenmoor.quorin.daemon\"");
}

// Each expected fingerprint is the first 16 hexadecimal digits of `sha256sum` run on the byte
// string in the comment (\0 is a NUL byte, \xNN a byte in hexadecimal).
TEST(QuorinDaemonXPCInterfacesTest, FingerprintsTheSetOfPaths) {
    struct Case {
        std::vector<std::string> paths;
        std::string fingerprint;
    };
    const std::vector<Case> cases{
        // "quorin-attribution-v2\0"
        {{}, "3080e1e8da9c5bc3"},
        // "quorin-attribution-v2\0/a\0/b"
        {{"/a", "/b"}, "b340cf7806105740"},
        {{"/b", "/a", "/a"}, "b340cf7806105740"},
        // "quorin-attribution-v2\0/a/b": joining without the separator would match the one above
        {{"/a/b"}, "fce94bdf3e34ca66"},
        // "quorin-attribution-v2\0/a\0/a b\0/a/b": " " sorts before "/"
        {{"/a/b", "/a b", "/a"}, "b07d533fcc5ba616"},
        // "quorin-attribution-v2\0/Users/ana/.zshrc\0/Users/\xc3\xa9\0/Users/\xef\xbc\xa1":
        // U+0061 < U+00E9 < U+FF21, so bytes from 0x80 on sort after ASCII
        {{"/Users/\xef\xbc\xa1", "/Users/\xc3\xa9", "/Users/ana/.zshrc"}, "4106985584986e1b"},
    };
    for (const Case& sample : cases) {
        EXPECT_EQ(Interfaces::protectedPathsFingerprint(sample.paths), sample.fingerprint)
            << ::testing::PrintToString(sample.paths);
    }
}

TEST(QuorinDaemonXPCInterfacesTest, ReadsTheFingerprintOfASubscribedStatus) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases{
        {"starting", std::nullopt},
        {"es-error:invalid-argument", std::nullopt},
        {"es-error:internal", std::nullopt},
        {"es-error:not-privileged", std::nullopt},
        {"es-error:too-many-clients", std::nullopt},
        {"es-error:unknown", std::nullopt},
        {"es-error:configuration", std::nullopt},
        {"es-error:unauthorized-paths", std::nullopt},
        {"es-error:unknown-client", std::nullopt},
        {"", std::nullopt},
        {"subscribed", std::nullopt},
        {"Subscribed:3080e1e8da9c5bc3", std::nullopt},
        {" subscribed:3080e1e8da9c5bc3", std::nullopt},
        {"subscribed:", ""},
        {"subscribed:3080e1e8da9c5bc3", "3080e1e8da9c5bc3"},
        {"subscribed:subscribed:x", "subscribed:x"},
    };
    for (const auto& [status, fingerprint] : cases) {
        EXPECT_EQ(Interfaces::subscribedFingerprint(status), fingerprint) << status;
    }
}

TEST(QuorinDaemonXPCInterfacesTest, SubscribedStatusRoundTrips) {
    for (const std::string fingerprint : {"3080e1e8da9c5bc3", "", "es-error:internal"}) {
        const std::string status = Interfaces::subscribedStatus(fingerprint);
        EXPECT_EQ(status, "subscribed:" + fingerprint);
        EXPECT_EQ(Interfaces::subscribedFingerprint(status), fingerprint);
    }
}

TEST(QuorinDaemonXPCInterfacesTest, DaemonInterfaceDeclaresTheRequestsInOrder) {
    using enum XPCValueKind;
    const std::vector<XPCMethod> expected{
        {"setProtectedPaths:", {textList}, std::nullopt},
        {"statusWithReply:", {}, text},
        {"configureProtection:reply:", {data}, boolean},
        {"updateProtectionReferences:", {data}, std::nullopt},
        {"protectionStateWithReply:", {}, data},
        {"decideExecution:decision:reply:", {text, text}, boolean},
        {"exportExecutionHistoryWithReply:", {}, data},
        {"clearExecutionHistoryWithReply:", {}, boolean},
        {"clearExecutionTrustWithReply:", {}, boolean},
    };
    EXPECT_EQ(Interfaces::daemonInterface().methods(), expected);
}

TEST(QuorinDaemonXPCInterfacesTest, EventsInterfaceDeclaresDelivery) {
    const std::vector<XPCMethod> expected{{"deliver:", {XPCValueKind::data}, std::nullopt}};
    EXPECT_EQ(Interfaces::eventsInterface().methods(), expected);
}

}  // namespace
}  // namespace quorin
