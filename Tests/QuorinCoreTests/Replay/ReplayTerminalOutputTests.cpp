#include "QuorinCore/Replay/ReplayFixtureValidationError.hpp"
#include "QuorinCore/Replay/ReplayTerminalOutput.hpp"
#include "QuorinCore/Support/GraphemeCount.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorin {
namespace {

using namespace std::string_literals;

TEST(ReplayTerminalOutputTest, EscapesControlAndFormatCharacters) {
    const struct {
        std::string input;
        std::string oneLine;    // what `sanitize` gives
        std::string multiline;  // what `sanitizeMultiline` gives
    } cases[] = {
        // Controls, one line feed kept only by the multi-line form.
        {"a\nb", "a\\u{000A}b", "a\nb"},
        {"line\r\n", "line\\u{000D}\\u{000A}", "line\\u{000D}\n"},
        {"\x7F", "\\u{007F}", "\\u{007F}"},
        {"nul\0end"s, "nul\\u{0000}end", "nul\\u{0000}end"},
        {"\x1B[31mred", "\\u{001B}[31mred", "\\u{001B}[31mred"},
        {"\u009B2J", "\\u{009B}2J", "\\u{009B}2J"},  // C1 control sequence
        // Format characters: overrides, joiners, a tag outside the basic
        // plane (all five digits, no fill).
        {"evil\u202Etxt.exe", "evil\\u{202E}txt.exe", "evil\\u{202E}txt.exe"},
        {"\U000E0001", "\\u{E0001}", "\\u{E0001}"},
        // Everything else passes: letters, combining marks, symbols, emoji, non-breaking and
        // ideographic spaces, U+FFFD itself.
        {"/Users/ana/Résumé e\u0301 日本 👩🏽‍💻 \u00A0\u3000 \uFFFD",
         "/Users/ana/Résumé e\u0301 日本 👩🏽\\u{200D}💻 \u00A0\u3000 \uFFFD",
         "/Users/ana/Résumé e\u0301 日本 👩🏽\\u{200D}💻 \u00A0\u3000 \uFFFD"},
        // Bytes that are not UTF-8 become U+FFFD, one per maximal ill-formed subsequence: a
        // stray C1 byte, a lone lead byte, a truncated sequence at the end, an overlong form and
        // an encoded surrogate.
        {"a\x9B"s + "b", "a\uFFFDb", "a\uFFFDb"},
        {"x\xF0\x9F\x98", "x\uFFFD", "x\uFFFD"},
        {"\xC0\xAF", "\uFFFD\uFFFD", "\uFFFD\uFFFD"},
        {"\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD", "\uFFFD\uFFFD\uFFFD"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ReplayTerminalOutput::sanitize(c.input), c.oneLine) << c.input;
        EXPECT_EQ(ReplayTerminalOutput::sanitizeMultiline(c.input), c.multiline) << c.input;
    }
}

TEST(ReplayTerminalOutputTest, DescribesAnErrorOnOneSafeLine) {
    const std::runtime_error error("Invalid path ~\x1B]0;owned\x07\nx in events[1].path");
    EXPECT_EQ(ReplayTerminalOutput::sanitizedDescription(error),
              "Invalid path ~\\u{001B}]0;owned\\u{0007}\\u{000A}x in events[1].path");
    const auto duplicate =
        ReplayFixtureValidationError::duplicateJSONKey("$", std::string_view("a\0b", 3));
    EXPECT_EQ(ReplayTerminalOutput::sanitizedDescription(duplicate),
              "Duplicate replay key $.a\\u{0000}b");
}

using namespace std::string_view_literals;

// Ill-formed UTF-8 counts as one replacement character per maximal bad subsequence.
TEST(GraphemeCountTests, countsUserPerceivedCharactersAndBadBytesAsReplacements) {
    const struct {
        std::string_view name;
        std::string_view text;
        std::size_t expected;
    } cases[] = {
        {"empty", "", 0},
        {"ASCII controls", "a\tb\0c"sv, 5},
        {"CR CR LF", "\r\r\n", 2},
        {"CR LF beside non-ASCII", "\r\n\u00E9", 2},
        {"combining accent", "cafe\u0301", 4},
        {"prepended mark", "\u0600/", 1},
        {"emoji joined by ZWJ", "\U0001F468\u200D\U0001F469\u200D\U0001F467", 1},
        {"flags", "\U0001F1EB\U0001F1F7\U0001F1E9\U0001F1EA", 2},
        {"decomposed Hangul syllable", "\u1112\u1161\u11AB", 1},
        {"invalid bytes", "\xFF\xFE", 2},
        {"truncated sequence at the end", "a\xC3", 2},
        {"surrogate code point", "\xED\xA0\x80", 3},
        {"combining mark after an invalid byte", "\xFF\u0301", 1},
    };
    for (const auto& [name, text, expected] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(graphemeClusterCount(text), expected);
    }
}

}  // namespace
}  // namespace quorin
