#include "QuorinDaemon/Platform/Linux/StandardErrorLogSink.hpp"
#include "QuorinDaemon/Platform/Log.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace quorin::daemon {
namespace {

// Each placeholder, with or without an annotation and length letters, takes the next value; "%%"
// is a percent sign; a placeholder without a value, or without a conversion, stays as written.
// (Private values are hidden in the standard error lines below.)
TEST(LogTest, FillsPlaceholdersInOrder) {
    const LogEntry entry{
        "s",
        "c",
        LogLevel::default_,
        "100%% pid=%{public}d depth=%{public}ld u=%zu ok=%{bool}d budget=%f %d at %",
        {LogValue::public_("7"), LogValue::public_("2"), LogValue::public_("3"),
         LogValue::public_("true"), LogValue::private_("1.5")}};
    EXPECT_EQ(entry.message(true), "100% pid=7 depth=2 u=3 ok=true budget=1.5 %d at %");
}

TEST(LogTest, StandardErrorLinesCarryThePriorityAndStayOnOneLine) {
    for (const auto& [level, priority] : {std::pair{LogLevel::default_, "<5>"},
                                          {LogLevel::error, "<3>"},
                                          {LogLevel::fault, "<2>"}}) {
        const LogEntry entry{"com.brenmoor.quorin.daemon",
                             "es",
                             level,
                             "wrote %{private}s %{public}s",
                             {LogValue::private_("/secret"), LogValue::public_("in\ntwo")}};
        EXPECT_EQ(
            StandardErrorLogSink::line(entry),
            priority +
                std::string("com.brenmoor.quorin.daemon/es: wrote <private> in\\u{000A}two\n"));
    }
}

// Paths in the shared system folders are nobody's secret; anything else private stays hidden.
TEST(LogTest, ShowsPrivatePathsOnlyInTheSharedSystemFolders) {
    const std::vector<std::pair<std::string, bool>> values{
        {"/usr/local/bin", true},
        {"/usr/local/bin/tool", true},
        {"/usr/local/binary", false},  // only begins with a shared folder's text
        {"/usr/local/bin/../../../home/ana/.ssh/id_ed25519", false},
        {"/usr/local/bin/./tool", false},
        {"/home/ana/.bashrc", false},
        {"usr/local/bin/tool", false},
        {"", false},
    };
    for (const auto& [path, shown] : values) {
        SCOPED_TRACE(path);
        const LogEntry entry{
            "s", "c", LogLevel::default_, "%{private}s", {LogValue::private_(path)}};
        EXPECT_EQ(entry.message(false), shown ? path : "<private>");
    }
}

}  // namespace
}  // namespace quorin::daemon
