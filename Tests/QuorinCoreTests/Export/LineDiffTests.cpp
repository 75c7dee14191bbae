#include "QuorinCore/Export/LineDiff.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace quorin {
namespace {

// A hunk written as its lines with the prefixes "-", "+" and " ".
using WrittenHunk = std::vector<std::string>;

std::vector<WrittenHunk> written(const std::vector<LineDiff::Hunk>& hunks) {
    std::vector<WrittenHunk> result;
    for (const LineDiff::Hunk& hunk : hunks) {
        WrittenHunk lines;
        for (const LineDiff::Line& line : hunk.lines()) {
            const char prefix = line.kind() == LineDiff::Line::Kind::added     ? '+'
                                : line.kind() == LineDiff::Line::Kind::removed ? '-'
                                                                               : ' ';
            lines.push_back(prefix + line.text());
        }
        result.push_back(lines);
    }
    return result;
}

struct DiffCase {
    std::string name;
    std::string old;
    std::string new_;
    std::int64_t context;
    std::vector<WrittenHunk> hunks;
};

TEST(LineDiffTest, Hunks) {
    const std::string e = "\xC3\xA9";           // é, one scalar
    const std::string eComposed = "e\xCC\x81";  // e + COMBINING ACUTE ACCENT
    const std::vector<DiffCase> cases{
        {"equal texts", "a\nb\n", "a\nb\n", 3, {}},
        {"two empty texts", "", "", 3, {}},
        {"one more final line feed", "a\nb", "a\nb\n", 3, {}},
        {"an empty line is a line", "a\n", "a\n\n", 0, {{"+"}}},
        {"replacement without context", "a\nb\nc\n", "a\nx\nc\n", 0, {{"-b", "+x"}}},
        {"replacement with context", "a\nb\nc\n", "a\nx\nc\n", 1, {{" a", "-b", "+x", " c"}}},
        {"neighbouring changes form one hunk",
         "a\nb\nc\n",
         "x\ny\nc\n",
         0,
         {{"-a", "-b", "+x", "+y"}}},
        {"one unchanged line splits hunks",
         "a\nb\nc\n",
         "x\nb\ny\n",
         0,
         {{"-a", "+x"}, {"-c", "+y"}}},
        {"2c unchanged lines join",
         "a\n1\n2\nb\n",
         "x\n1\n2\ny\n",
         1,
         {{"-a", "+x", " 1", " 2", "-b", "+y"}}},
        {"2c+1 unchanged lines split",
         "a\n1\n2\n3\nb\n",
         "x\n1\n2\n3\ny\n",
         1,
         {{"-a", "+x", " 1"}, {" 3", "-b", "+y"}}},
        {"context stops at the ends", "a\nb\n", "a\nc\n", 5, {{" a", "-b", "+c"}}},
        {"negative context", "a\nb\nc\n", "a\nx\nc\n", -1, {}},
        {"huge context",
         "a\nb\n",
         "a\nc\n",
         std::numeric_limits<std::int64_t>::max(),
         {{" a", "-b", "+c"}}},
        {"old empty", "", "a\nb\n", 0, {{"+a", "+b"}}},
        {"new empty", "a\nb", "", 0, {{"-a", "-b"}}},
        // and a context line keeps the old text
        {"canonically equivalent lines are equal",
         "caf" + e + "\nx\n",
         "caf" + eComposed + "\ny\n",
         1,
         {{" caf" + e, "-x", "+y"}}},
        {"CR LF does not split", "a\r\nb\r\n", "a\r\nc\r\n", 3, {{"-a\r\nb\r\n", "+a\r\nc\r\n"}}},
        {"a lone CR does not split either", "a\rb", "a\rc", 0, {{"-a\rb", "+a\rc"}}},
        {"lines that are not UTF-8 compare by bytes", "\xFF\n", "\xFE\n", 0, {{"-\xFF", "+\xFE"}}},
        // Ties favour additions when walking back, so removals come first.
        {"removals before additions", "a\nb\n", "c\nd\n", 0, {{"-a", "-b", "+c", "+d"}}},
        {"moved line", "a\nb\nc\n", "b\nc\na\n", 0, {{"-a"}, {"+a"}}},
    };
    for (const DiffCase& sample : cases) {
        EXPECT_EQ(written(LineDiff::hunks(sample.old, sample.new_, sample.context)), sample.hunks)
            << sample.name;
    }
}

TEST(LineDiffTest, LineCount) {
    const std::vector<std::pair<std::string, std::size_t>> cases{
        {"", 0}, {"\n", 1}, {"a", 1}, {"a\n", 1}, {"a\n\n", 2}, {"a\r\nb\r\n", 1}, {"\n\n\n", 3},
    };
    for (const auto& [text, count] : cases) {
        EXPECT_EQ(LineDiff::lineCount(text), count) << text;
    }
}

}  // namespace
}  // namespace quorin
