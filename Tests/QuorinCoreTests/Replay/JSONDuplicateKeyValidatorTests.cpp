#include "QuorinCore/Replay/JSONDuplicateKeyValidator.hpp"

#include "QuorinCore/Replay/ReplayFixtureValidationError.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace quorin {
namespace {

namespace fs = std::filesystem;
using namespace std::string_view_literals;

// The validator's error for `input`, or nothing when it accepts it.
std::optional<ReplayFixtureValidationError> errorFor(std::string_view input) {
    try {
        JSONDuplicateKeyValidator::validate(input);
    } catch (const ReplayFixtureValidationError& error) {
        return error;
    }
    return std::nullopt;
}

std::string malformedAt(std::size_t offset) {
    return "Malformed replay JSON at byte " + std::to_string(offset);
}

std::string duplicate(std::string_view pathAndKey) {
    return "Duplicate replay key " + std::string(pathAndKey);
}

std::string repeated(std::string_view text, std::size_t count) {
    std::string result;
    for (std::size_t index = 0; index < count; ++index) {
        result += text;
    }
    return result;
}

// An array of `count` zeros, at least one: `count` + 1 values.
std::string zeros(std::size_t count) {
    return "[0" + repeated(",0", count - 1) + "]";
}

// An object of `count` members "k<first>" … with the value 0: `count` + 1 values.
std::string members(std::size_t count, std::size_t first = 0) {
    std::string text = "{";
    for (std::size_t index = 0; index < count; ++index) {
        text += (index == 0 ? "\"k" : ",\"k") + std::to_string(first + index) + "\":0";
    }
    return text + "}";
}

// `text` with its last byte replaced by `ending`.
std::string endingIn(std::string text, std::string_view ending) {
    text.pop_back();
    return text + std::string(ending);
}

TEST(JSONDuplicateKeyValidator, JudgesEachInputExactly) {
    const std::string tooDeep = "Replay JSON nesting exceeds 256 levels";
    const std::string tooManyValues = "Replay JSON exceeds 250000 values";
    const std::string tooManyMembers = "Replay JSON exceeds 100000 object members";
    // Keys are not values: 100000 members and 149998 further zeros, with the array and the
    // object, make exactly 250000 values.
    const std::string membersAndZeros = "[" + members(100'000) + "," + zeros(149'998).substr(1);
    // Arrays whose last element is the 250000th value, or the 250001st, and not a value.
    const std::string almostFull = endingIn(zeros(249'998), ",x]");
    const std::string events = R"({"schemaVersion":2,"protectedPaths":[],"processes":[],"events":[)"
                               R"({"id":"A","previousFile":{"path":"/a","size":1}},)"
                               R"({"id":"B","previousFile":{"path":"/a","size":1,"path":"/b"}}]})";
    const struct {
        std::string_view name;
        std::string input;
        std::string expected;  // the error message, or empty when the input passes
    } cases[] = {
        {"blanks and nesting", " { \"a\" : [ 1 , {\"b\":null} ] , \"c\" : { } } \t\r\n", ""},
        {"scalar at the root", "-0.5e+10", ""},
        {"same key in sibling objects and elements", R"({"x":{"a":1},"y":[{"a":1},{"a":1}]})", ""},
        {"escapes, hex digits in either case", R"({"\u0000":"\"\\\/\b\f\n\r\t\u00e9\u00E9"})", ""},
        {"multi-byte UTF-8 and DEL", "\"\u00E9\u6587\U0001F600\U0010FFFF\x7F\"", ""},
        {"numbers", "[0,-0,1,-12,3.25,1e5,1E+5,1e-05,0.0e0]", ""},
        {"compatibility-equivalent keys differ", "{\"\uFB01\":1,\"fi\":2}", ""},
        // Malformed input where it ended early: at its length.
        {"empty data", "", malformedAt(0)},
        {"unclosed object", R"({"a":1)", malformedAt(6)},
        {"unterminated string", R"(["abc)", malformedAt(5)},
        {"short unicode escape", R"("\u12)", malformedAt(5)},
        {"exponent sign without digits", "1e+", malformedAt(3)},
        // At a byte it only looked at: its index.
        {"letter after the root", "{} a", malformedAt(3)},
        {"byte-order mark", "\xEF\xBB\xBF{}", malformedAt(0)},
        {"form feed is no blank", "\f{}", malformedAt(0)},
        {"key without quotes", "{a:1}", malformedAt(1)},
        {"trailing comma", R"({"a":1,})", malformedAt(7)},
        {"leading zero", "01", malformedAt(1)},
        {"fraction point without a digit", "1.", malformedAt(2)},
        // At a byte it consumed and rejected: just after it.
        {"wrong separator in an array", "[1 2]", malformedAt(4)},
        {"missing colon", R"({"a" 1})", malformedAt(6)},
        {"closing bracket for an object", R"({"a":1])", malformedAt(7)},
        {"wrong literal byte", "[nul1]", malformedAt(5)},
        {"control byte in a string", "\"a\x01\"", malformedAt(3)},
        {"upper-case unicode escape", R"("\U0041")", malformedAt(3)},
        {"bad hexadecimal digit", R"("\u12G4")", malformedAt(6)},
        // Surrogate escapes pass only in pairs.
        {"pairs, the highest in a value", R"({"\uD83D\uDE00":"\uDBFF\uDFFF"})", ""},
        {"lone low surrogate", R"("\uDC00")", malformedAt(7)},
        {"high surrogate before the closing quote", R"("\uD800")", malformedAt(8)},
        {"high surrogate before another escape", R"("\uD800\n")", malformedAt(9)},
        {"two high surrogates", R"("\uD800\uD800")", malformedAt(13)},
        // UTF-8 is judged once the closing quote is reached, at the byte after it, so another fault
        // later in the same string is reported first.
        {"invalid byte in a key", "{\"\xFF\":1}", malformedAt(4)},
        {"truncated before an escape", "\"\xC3\\u00A9\"", malformedAt(9)},
        {"overlong slash", "\"\xC0\xAF\"", malformedAt(4)},
        {"encoded surrogate", "\"\xED\xA0\x80\"", malformedAt(5)},
        {"beyond U+10FFFF", "\"\xF4\x90\x80\x80\"", malformedAt(6)},
        {"invalid UTF-8 outside strings", "[\xFF]", malformedAt(1)},
        {"control byte later in the same string wins", "[\"\xFF\x01\"]", malformedAt(4)},
        // A repeated key names the object's path; the last key is written as it is.
        {"root, same value", R"({"a":"b","a":"b"})", duplicate("$.a")},
        {"second event's previous file", events, duplicate("$.events[1].previousFile.path")},
        {"nested arrays", R"({"a":[[{}],[{},{"k":1,"k":2}]]})", duplicate("$.a[1][1].k")},
        {"key with a blank at the root", R"({"a b":1,"a b":2})", duplicate("$.a b")},
        {"quote and backslash in the path", R"({"q\"\\":{"k":1,"k":2}})",
         duplicate(R"($["q\"\\"].k)")},
        {"control characters in the path", R"({"\n\t\u0001\u007f\u0085":{"k":1,"k":2}})",
         duplicate(R"($["\n\t\u0001\u007F\u0085"].k)")},
        {"empty key in the path", R"({"":{"k":1,"k":2}})", duplicate("$..k")},
        {"non-Latin letters and digits", "{\"_\u00E9v\u0663\":{\"k\":1,\"k\":2}}",
         duplicate("$._\u00E9v\u0663.k")},
        {"combining mark in the path", "{\"e\u0301\":{\"k\":1,\"k\":2}}",
         duplicate("$[\"e\u0301\"].k")},
        {"duplicate NUL key", R"({"\u0000":1,"\u0000":2})", duplicate("$.\0"sv)},
        // Keys are compared by canonical equivalence; the later spelling is named.
        {"precomposed then decomposed", "{\"\u00E9\":1,\"e\u0301\":2}", duplicate("$.e\u0301")},
        {"escaped decomposition", "{\"\u00E9\":1,\"e\\u0301\":2}", duplicate("$.e\u0301")},
        {"K after Kelvin sign", "{\"\u212A\":1,\"K\":2}", duplicate("$.K")},
        {"reordered combining marks", "{\"a\u0323\u0301\":1,\"a\u0301\u0323\":2}",
         duplicate("$.a\u0301\u0323")},
        {"surrogate pair and plain emoji", "{\"\\uD83D\\uDE00\":1,\"\U0001F600\":2}",
         duplicate("$.\U0001F600")},
        // Nesting: 256 levels below the root; a scalar is a level too.
        {"257 arrays", repeated("[", 257) + repeated("]", 257), ""},
        {"258 arrays", repeated("[", 258) + repeated("]", 258), tooDeep},
        {"258 objects", repeated("{\"a\":", 257) + "{}" + repeated("}", 257), tooDeep},
        {"257 arrays around a scalar", repeated("[", 257) + "0" + repeated("]", 257), tooDeep},
        {"depth is met before the end of input", repeated("[", 100'000), tooDeep},
        // Values and members are counted across the document.
        {"250000 values", zeros(249'999), ""},
        {"250001 values", zeros(250'000), tooManyValues},
        {"bad last value within the limit", almostFull, malformedAt(almostFull.size() - 2)},
        {"bad value over the limit is counted before it is read", endingIn(zeros(249'999), ",x]"),
         tooManyValues},
        {"100000 members", members(100'000), ""},
        {"100001 members in two objects",
         "[" + members(50'000) + "," + members(50'001, 50'000) + "]", tooManyMembers},
        {"the member limit comes before the duplicate", endingIn(members(100'000), ",\"k5\":0}"),
         tooManyMembers},
        {"members and values at their limits", membersAndZeros, ""},
        {"one value more", "[0," + membersAndZeros.substr(1), tooManyValues},
    };
    for (const auto& c : cases) {
        const auto error = errorFor(c.input);
        EXPECT_EQ(error ? error->message() : "", c.expected) << c.name;
    }
}

// The shared JSON parsing conformance corpus, read where it lies: files named y_ are valid JSON,
// n_ invalid, i_ left to the implementation (any verdict of the validator's own passes).
TEST(JSONConformance, AcceptsValidJSONUnlessAKeyRepeatsAndRejectsInvalidJSON) {
    const fs::path corpus = fs::path(QUORIN_SHARED_TESTDATA_DIR) / "jsontestsuite/test_parsing";
    if (!fs::is_directory(corpus)) {
        GTEST_SKIP() << "The shared test data is absent: no JSON conformance corpus at " << corpus;
    }
    // Valid JSON that a replay fixture still may not be, and invalid JSON refused for its depth
    // before the reader reaches the fault.
    const std::set<std::string> repeatKeyA = {"y_object_duplicated_key.json",
                                              "y_object_duplicated_key_and_value.json"};
    const std::set<std::string> tooDeep = {"n_structure_100000_opening_arrays.json",
                                           "n_structure_open_array_object.json"};
    std::map<char, std::size_t> counts;
    for (const fs::directory_entry& entry : fs::directory_iterator(corpus)) {
        const std::string name = entry.path().filename().string();
        std::ifstream stream(entry.path(), std::ios::binary);
        const auto error = errorFor(std::string(std::istreambuf_iterator<char>(stream), {}));
        ++counts[name[0]];
        if (name.starts_with("y_")) {
            EXPECT_EQ(error,
                      repeatKeyA.contains(name)
                          ? std::optional(ReplayFixtureValidationError::duplicateJSONKey("$", "a"))
                          : std::nullopt)
                << name;
        } else if (name.starts_with("n_")) {
            ASSERT_TRUE(error) << name << " was accepted";
            EXPECT_EQ(error->kind(), tooDeep.contains(name)
                                         ? ReplayFixtureValidationError::Kind::jsonNestingTooDeep
                                         : ReplayFixtureValidationError::Kind::malformedJSON)
                << name << ": " << error->what();
        }
    }
    EXPECT_GT(counts['y'], 90U);
    EXPECT_GT(counts['n'], 150U);
    EXPECT_GT(counts['i'], 0U);
}

}  // namespace
}  // namespace quorin
