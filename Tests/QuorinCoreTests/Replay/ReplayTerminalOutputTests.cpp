#include "QuorinCore/Replay/ReplayFixtureValidationError.hpp"
#include "QuorinCore/Replay/ReplayTerminalOutput.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <string_view>

namespace quorin {
namespace {

using namespace std::string_literals;

struct SanitizeCase {
    std::string input;
    std::string oneLine;    // what `sanitize` gives
    std::string multiline;  // what `sanitizeMultiline` gives
};

class SanitizeTest : public ::testing::TestWithParam<SanitizeCase> {};

TEST_P(SanitizeTest, EscapesControlAndFormatCharacters) {
    const SanitizeCase& sample = GetParam();
    EXPECT_EQ(ReplayTerminalOutput::sanitize(sample.input), sample.oneLine);
    EXPECT_EQ(ReplayTerminalOutput::sanitizeMultiline(sample.input), sample.multiline);
    EXPECT_GE(ReplayTerminalOutput::sanitize(sample.input).size(), sample.input.size());
}

INSTANTIATE_TEST_SUITE_P(
    ReplayTerminalOutput, SanitizeTest,
    ::testing::Values(
        // Controls, one line feed kept only by the multi-line form.
        SanitizeCase{"a\rb", "a\\u{000D}b", "a\\u{000D}b"},
        SanitizeCase{"a\nb", "a\\u{000A}b", "a\nb"},
        SanitizeCase{"line\r\n", "line\\u{000D}\\u{000A}", "line\\u{000D}\n"},
        SanitizeCase{"\t", "\\u{0009}", "\\u{0009}"},
        SanitizeCase{"\x7F", "\\u{007F}", "\\u{007F}"},
        SanitizeCase{"nul\0end"s, "nul\\u{0000}end", "nul\\u{0000}end"},
        SanitizeCase{"\x1B[31mred", "\\u{001B}[31mred", "\\u{001B}[31mred"},
        SanitizeCase{"\xC2\x9B"
                     "2J",
                     "\\u{009B}2J", "\\u{009B}2J"},  // C1 control sequence
        // Format characters: overrides, zero widths, the byte-order mark, a tag outside the
        // basic plane (all five digits, no fill).
        SanitizeCase{"evil\xE2\x80\xAEtxt.exe", "evil\\u{202E}txt.exe", "evil\\u{202E}txt.exe"},
        SanitizeCase{"a\xE2\x80\x8B"
                     "b",
                     "a\\u{200B}b", "a\\u{200B}b"},
        SanitizeCase{"\xEF\xBB\xBF", "\\u{FEFF}", "\\u{FEFF}"},
        SanitizeCase{"\xF3\xA0\x80\x81", "\\u{E0001}", "\\u{E0001}"},
        // Everything else passes: letters, combining marks, symbols, emoji, non-breaking and
        // ideographic spaces, U+FFFD itself.
        SanitizeCase{
            "/Users/ana/Résumé e\xCC\x81 日本 👩🏽‍💻 \xC2\xA0\xE3\x80\x80 "
            "\xEF\xBF\xBD",
            "/Users/ana/Résumé e\xCC\x81 日本 👩🏽\\u{200D}💻 \xC2\xA0\xE3\x80\x80 "
            "\xEF\xBF\xBD",
            "/Users/ana/Résumé e\xCC\x81 日本 👩🏽\\u{200D}💻 \xC2\xA0\xE3\x80\x80 "
            "\xEF\xBF\xBD"},
        SanitizeCase{"", "", ""},
        // Bytes that are not UTF-8 become U+FFFD, one per maximal ill-formed subsequence: a
        // stray C1 byte, a lone lead byte, a truncated sequence at the end, an overlong form and
        // an encoded surrogate.
        SanitizeCase{"a\x9B"
                     "b",
                     "a\xEF\xBF\xBD"
                     "b",
                     "a\xEF\xBF\xBD"
                     "b"},
        SanitizeCase{"\xFF\n", "\xEF\xBF\xBD\\u{000A}", "\xEF\xBF\xBD\n"},
        SanitizeCase{"x\xF0\x9F\x98", "x\xEF\xBF\xBD", "x\xEF\xBF\xBD"},
        SanitizeCase{"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        SanitizeCase{"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD",
                     "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}));

TEST(ReplayTerminalOutputTest, DescribesAnErrorOnOneSafeLine) {
    const std::runtime_error error("Invalid path ~\x1B]0;owned\x07\nx in events[1].path");
    EXPECT_EQ(ReplayTerminalOutput::sanitizedDescription(error),
              "Invalid path ~\\u{001B}]0;owned\\u{0007}\\u{000A}x in events[1].path");
    const auto duplicate =
        ReplayFixtureValidationError::duplicateJSONKey("$", std::string_view("a\0b", 3));
    EXPECT_EQ(ReplayTerminalOutput::sanitizedDescription(duplicate),
              "Duplicate replay key $.a\\u{0000}b");
}

}  // namespace
}  // namespace quorin
