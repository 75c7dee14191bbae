#include "QuorinCore/Support/GraphemeCount.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <string_view>

namespace quorin {
namespace {

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
        {"CR LF inside ASCII", "a\r\nb\r\n", 4},
        {"CR CR LF", "\r\r\n", 2},
        {"LF CR", "\n\r", 2},
        {"CR LF beside non-ASCII", "\r\n\u00E9", 2},
        {"combining accent", "cafe\u0301", 4},
        {"prepended mark", "\u0600/", 1},
        {"emoji joined by ZWJ", "\U0001F468\u200D\U0001F469\u200D\U0001F467", 1},
        {"flags", "\U0001F1EB\U0001F1F7\U0001F1E9\U0001F1EA", 2},
        {"decomposed Hangul syllable", "\u1112\u1161\u11AB", 1},
        {"invalid bytes", "\xFF\xFE", 2},
        {"truncated sequence at the end", "a\xC3", 2},
        {"overlong slash", "/\xC0\xAF", 3},
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
