#include "QuorinCore/Service/QuorinDaemonXPCInterfaces.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace quorin {
namespace {

using Interfaces = QuorinDaemonXPCInterfaces;

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

// A status gives a fingerprint only when it begins exactly with "subscribed:", and a fingerprint
// read back makes the status it came from.
TEST(QuorinDaemonXPCInterfacesTest, ReadsTheFingerprintOfASubscribedStatus) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases{
        {"starting", std::nullopt},
        {"es-error:internal", std::nullopt},
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
        if (fingerprint) {
            EXPECT_EQ(Interfaces::subscribedStatus(*fingerprint), status);
        }
    }
}

TEST(QuorinDaemonXPCInterfacesTest, InterfacesDeclareTheirMethodsInOrder) {
    using enum XPCValueKind;
    const std::vector<XPCMethod> daemon{
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
    EXPECT_EQ(Interfaces::daemonInterface().methods(), daemon);
    EXPECT_EQ(Interfaces::eventsInterface().methods(),
              (std::vector<XPCMethod>{{"deliver:", {data}, std::nullopt}}));
}

}  // namespace
}  // namespace quorin
