#include "QuorinDaemon/Platform/Linux/StandardErrorLogSink.hpp"
#include "QuorinDaemon/Platform/Log.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorin::daemon {
namespace {

TEST(LogTest, FillsPlaceholdersAndHidesPrivateValues) {
    struct Case {
        std::string format;
        std::vector<LogValue> values;
        std::string shown;   // private values revealed
        std::string hidden;  // as the production log writes it
    };
    const std::vector<Case> cases{
        {"es_mute_path(%{private}s, X): %{public}s",
         {LogValue::private_("/a"), LogValue::public_("ES_RETURN_SUCCESS")},
         "es_mute_path(/a, X): ES_RETURN_SUCCESS",
         "es_mute_path(<private>, X): ES_RETURN_SUCCESS"},
        {"pid=%{public}d depth=%{public}ld u=%u ok=%{bool}d",
         {LogValue::public_("7"), LogValue::public_("2"), LogValue::public_("3"),
          LogValue::public_("true")},
         "pid=7 depth=2 u=3 ok=true",
         "pid=7 depth=2 u=3 ok=true"},
        {"100%% done %{public}s", {LogValue::public_("x")}, "100% done x", "100% done x"},
        {"missing %{public}s and %d",
         {LogValue::public_("one")},
         "missing one and %d",
         "missing one and %d"},
        {"trailing %", {}, "trailing %", "trailing %"},
        {"budget=%f", {LogValue::public_("1.5")}, "budget=1.5", "budget=1.5"},
    };
    for (const Case& sample : cases) {
        const LogEntry entry{"s", "c", LogLevel::default_, sample.format, sample.values};
        EXPECT_EQ(entry.message(true), sample.shown) << sample.format;
        EXPECT_EQ(entry.message(false), sample.hidden) << sample.format;
    }
}

TEST(LogTest, StandardErrorLinesCarryThePriorityAndStayOnOneLine) {
    const std::vector<std::pair<LogLevel, std::string>> cases{
        {LogLevel::default_, "<5>"}, {LogLevel::error, "<3>"}, {LogLevel::fault, "<2>"}};
    for (const auto& [level, priority] : cases) {
        const LogEntry entry{"com.brenmoor.quorin.daemon",
                             "es",
                             level,
                             "wrote %{private}s %{public}s",
                             {LogValue::private_("/secret"), LogValue::public_("in\ntwo")}};
        EXPECT_EQ(StandardErrorLogSink::line(entry),
                  priority + "es: wrote <private> in\\u{000A}two\n");
    }
}

}  // namespace
}  // namespace quorin::daemon
