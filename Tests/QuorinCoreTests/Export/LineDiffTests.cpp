#include "QuorinCore/Export/LineDiff.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace quorin {
namespace {

// A hunk written as "@" with the lines of each text before it and in it ("@1,0 1,2": after one
// line, none old and two new), then its lines with the prefixes "-", "+" and " ", a line without
// its line feed followed by "\\".
using WrittenHunk = std::vector<std::string>;

std::vector<WrittenHunk> written(const std::vector<LineDiff::Hunk>& hunks) {
    std::vector<WrittenHunk> result;
    for (const LineDiff::Hunk& hunk : hunks) {
        result.push_back(
            {"@" + std::to_string(hunk.oldLinesBefore()) + "," + std::to_string(hunk.oldCount()) +
             " " + std::to_string(hunk.newLinesBefore()) + "," + std::to_string(hunk.newCount())});
        for (const LineDiff::Line& line : hunk.lines()) {
            // Kind is context, added or removed.
            result.back().push_back(" +-"[static_cast<std::size_t>(line.kind())] + line.text());
            if (!line.endsWithLineFeed()) {
                result.back().emplace_back("\\");
            }
        }
    }
    return result;
}

TEST(LineDiffTest, Hunks) {
    const std::string e = "\xC3\xA9";           // é, one scalar
    const std::string eComposed = "e\xCC\x81";  // e + COMBINING ACUTE ACCENT
    const struct {
        std::string old;
        std::string new_;
        std::int64_t context;
        std::vector<WrittenHunk> hunks;
    } cases[] = {
        // clang-format off
        {"a\nb\n", "a\nb\n", 3, {}},
        // Only a last line can lack its line feed, and then differs from the same text with one.
        {"a\nb", "a\nb\n", 0, {{"@1,1 1,1", "-b", "\\", "+b"}}},
        {"a\nb\n", "a\nc", 1, {{"@0,2 0,2", " a", "-b", "+c", "\\"}}},
        {"a", "a", 0, {}},
        {"a\n", "a\n\n", 0, {{"@1,0 1,1", "+"}}},  // an empty line is a line
        {"a\nb\nc\n", "a\nx\nc\n", 1, {{"@0,3 0,3", " a", "-b", "+x", " c"}}},
        // 2c unchanged lines join, 2c+1 split.
        {"a\nb\nc\n", "x\nb\ny\n", 0, {{"@0,1 0,1", "-a", "+x"}, {"@2,1 2,1", "-c", "+y"}}},
        {"a\n1\n2\nb\n", "x\n1\n2\ny\n", 1, {{"@0,4 0,4", "-a", "+x", " 1", " 2", "-b", "+y"}}},
        {"a\n1\n2\n3\nb\n", "x\n1\n2\n3\ny\n", 1, {{"@0,2 0,2", "-a", "+x", " 1"}, {"@3,2 3,2", " 3", "-b", "+y"}}},
        {"a\nb\nc\n", "a\nx\nc\n", -1, {}},
        // Context stops at the ends, however large.
        {"a\nb\n", "a\nc\n", std::numeric_limits<std::int64_t>::max(), {{"@0,2 0,2", " a", "-b", "+c"}}},
        {"", "a\nb\n", 0, {{"@0,0 0,2", "+a", "+b"}}},
        {"a\nb\n", "", 0, {{"@0,2 0,0", "-a", "-b"}}},
        // Canonically equivalent lines are equal, and a context line keeps the old text.
        {"caf" + e + "\nx\n", "caf" + eComposed + "\ny\n", 1, {{"@0,2 0,2", " caf" + e, "-x", "+y"}}},
        // Only a line feed ends a line: a carriage return stays in its line.
        {"a\r\nb\r\n", "a\r\nc\r\n", 3, {{"@0,2 0,2", " a\r", "-b\r", "+c\r"}}},
        {"a\rb", "a\rc", 0, {{"@0,1 0,1", "-a\rb", "\\", "+a\rc", "\\"}}},
        {"\xFF\n", "\xFE\n", 0, {{"@0,1 0,1", "-\xFF", "+\xFE"}}},  // not UTF-8: compared by bytes
        // Ties favour additions when walking back, so removals come first.
        {"a\nb\n", "c\nd\n", 0, {{"@0,2 0,2", "-a", "-b", "+c", "+d"}}},
        {"a\nb\nc\n", "b\nc\na\n", 0, {{"@0,1 0,0", "-a"}, {"@3,0 2,1", "+a"}}},  // a moved line
        // clang-format on
    };
    for (const auto& sample : cases) {
        EXPECT_EQ(written(LineDiff::hunks(sample.old, sample.new_, sample.context)), sample.hunks)
            << sample.old << "|" << sample.new_ << "|" << sample.context;
    }
}

}  // namespace
}  // namespace quorin
