#include "QuorinCore/Replay/JSONDuplicateKeyValidator.hpp"

#include "QuorinCore/Replay/ReplayFixtureValidationError.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace quorin {
namespace {

using namespace std::string_view_literals;

struct Case {
    std::string_view name;
    std::string input;
    std::string expected;  // the error message, or empty when the input passes
};

// The validator's verdict as text: its error message, or empty.
std::string verdict(std::string_view input) {
    try {
        JSONDuplicateKeyValidator::validate(input);
    } catch (const ReplayFixtureValidationError& error) {
        return error.message();
    }
    return "";
}

void expectVerdicts(std::initializer_list<Case> cases) {
    for (const Case& c : cases) {
        EXPECT_EQ(verdict(c.input), c.expected) << c.name;
    }
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

TEST(JSONDuplicateKeyValidator, AcceptsWellFormedDocuments) {
    expectVerdicts({
        {"empty object with blanks", "{} \t\r\n", ""},
        {"scalars at the root", "-0.5e+10", ""},
        {"nested", R"({"a":[1,{"b":null}],"c":{"d":true,"e":false},"f":"g"})", ""},
        {"blanks everywhere", " { \"a\" : [ 1 , 2 ] , \"b\" : { } } ", ""},
        {"same key in sibling objects", R"({"x":{"a":1},"y":{"a":1}})", ""},
        {"same key in array elements", R"([{"a":1},{"a":1}])", ""},
        {"same key at two levels", R"({"a":{"a":{"a":1}}})", ""},
        {"key reused after a nested object", R"({"a":{"b":1},"b":2})", ""},
        {"every simple escape", R"(["\"\\\/\b\f\n\r\t"])", ""},
        {"escaped NUL", R"({"\u0000":"\u0000"})", ""},
        {"hex digits in either case", R"("\u00e9\u00E9")", ""},
        {"surrogate pair", R"("\uD83D\uDE00")", ""},
        {"multi-byte UTF-8", "\"\u00E9\u6587\U0001F600\U0010FFFF\"", ""},
        {"DEL in a string", "\"\x7F\"", ""},
        {"numbers", "[0,-0,1,-12,3.25,1e5,1E+5,1e-05,0.0e0]", ""},
        {"distinct accented keys", "{\"\u00E9\":1,\"e\":2}", ""},
        {"compatibility-equivalent keys differ", "{\"\uFB01\":1,\"fi\":2}", ""},
    });
}

TEST(JSONDuplicateKeyValidator, ReportsWhereTheReaderStoodOnMalformedInput) {
    expectVerdicts({
        // The input ended early: at its length.
        {"empty data", "", malformedAt(0)},
        {"blanks only", "  ", malformedAt(2)},
        {"unclosed array", "[1", malformedAt(2)},
        {"unclosed object", R"({"a":1)", malformedAt(6)},
        {"object without a value", R"({"a":)", malformedAt(5)},
        {"object without a colon", R"({"a")", malformedAt(4)},
        {"object after a comma", R"({"a":1,)", malformedAt(7)},
        {"unterminated string", R"(["abc)", malformedAt(5)},
        {"string ends in a backslash", R"("\)", malformedAt(2)},
        {"short unicode escape", R"("\u12)", malformedAt(5)},
        {"truncated literal", "tru", malformedAt(3)},
        {"lone minus", "-", malformedAt(1)},
        // A byte it only looked at: its index.
        {"letter after the root", "{} a", malformedAt(3)},
        {"second root value", "1 2", malformedAt(2)},
        {"byte-order mark", "\xEF\xBB\xBF{}", malformedAt(0)},
        {"unexpected value start", "[1,x]", malformedAt(3)},
        {"plus sign", "+1", malformedAt(0)},
        {"leading point", ".5", malformedAt(0)},
        {"key without quotes", "{a:1}", malformedAt(1)},
        {"number as key", "{1:1}", malformedAt(1)},
        {"trailing comma in an object", R"({"a":1,})", malformedAt(7)},
        {"trailing comma in an array", "[1,]", malformedAt(3)},
        {"leading zero", "01", malformedAt(1)},
        {"negative leading zero", "-01", malformedAt(2)},
        {"fraction point without a digit", "1.", malformedAt(2)},
        {"fraction point before an exponent", "1.e5", malformedAt(2)},
        {"minus without digits", "-a", malformedAt(1)},
        {"exponent without digits", "1e", malformedAt(2)},
        {"exponent sign without digits", "1e+", malformedAt(3)},
        {"exponent sign then a letter", "[1E-x]", malformedAt(4)},
        {"form feed is no blank", "\f{}", malformedAt(0)},
        {"vertical tab is no blank", "[\v]", malformedAt(1)},
        {"no-break space is no blank", "\xC2\xA0{}", malformedAt(0)},
        {"invalid UTF-8 outside strings", "[\xFF]", malformedAt(1)},
        // A byte it consumed and rejected: just after it.
        {"wrong separator in an array", "[1 2]", malformedAt(4)},
        {"colon in an array", "[1:2]", malformedAt(3)},
        {"closing brace for an array", "[1}", malformedAt(3)},
        {"missing colon", R"({"a" 1})", malformedAt(6)},
        {"comma instead of colon", R"({"a",1})", malformedAt(5)},
        {"missing comma between members", R"({"a":1 "b":2})", malformedAt(8)},
        {"closing bracket for an object", R"({"a":1])", malformedAt(7)},
        {"wrong literal byte", "[nul1]", malformedAt(5)},
        {"capitalized literal", "[tRue]", malformedAt(3)},
        {"control byte in a string", "\"a\x01\"", malformedAt(3)},
        {"line feed in a string", "[\"a\nb\"]", malformedAt(4)},
        {"tab in a key", "{\"\t\":1}", malformedAt(3)},
        {"bad escape letter", R"("\x")", malformedAt(3)},
        {"upper-case unicode escape", R"("\U0041")", malformedAt(3)},
        {"bad hexadecimal digit", R"("\u12G4")", malformedAt(6)},
    });
}

TEST(JSONDuplicateKeyValidator, AcceptsOnlyPairedSurrogateEscapes) {
    expectVerdicts({
        {"lone low surrogate", R"("\uDC00")", malformedAt(7)},
        {"low surrogate before a high one", R"("\uDE00\uD83D")", malformedAt(7)},
        {"high surrogate before the closing quote", R"("\uD800")", malformedAt(8)},
        {"high surrogate before text", R"("\uD800x")", malformedAt(8)},
        {"high surrogate before another escape", R"("\uD800\n")", malformedAt(9)},
        {"high surrogate before a scalar escape", R"("\uD800\u0041")", malformedAt(13)},
        {"two high surrogates", R"("\uD800\uD800")", malformedAt(13)},
        {"high surrogate at the end of input", R"("\uD800)", malformedAt(7)},
        {"pair in a key", R"({"\uD83D\uDE00":1})", ""},
        {"highest pair", R"("\uDBFF\uDFFF")", ""},
    });
}

TEST(JSONDuplicateKeyValidator, ChecksUTF8OnlyAfterTheClosingQuote) {
    expectVerdicts({
        {"invalid byte", "\"\xFF\"", malformedAt(3)},
        {"invalid byte in an array", "[\"ab\xFF\"]", malformedAt(6)},
        {"invalid byte in a key", "{\"\xFF\":1}", malformedAt(4)},
        {"truncated sequence", "\"\xC3\"", malformedAt(3)},
        {"truncated before an escape", "\"\xC3\\u00A9\"", malformedAt(9)},
        {"lone continuation byte", "\"\x80\"", malformedAt(3)},
        {"overlong slash", "\"\xC0\xAF\"", malformedAt(4)},
        {"overlong three-byte form", "\"\xE0\x80\xAF\"", malformedAt(5)},
        {"encoded surrogate", "\"\xED\xA0\x80\"", malformedAt(5)},
        {"beyond U+10FFFF", "\"\xF4\x90\x80\x80\"", malformedAt(6)},
        {"Latin-1 text", "\"caf\xE9\"", malformedAt(6)},
        {"control byte later in the same string wins", "[\"\xFF\x01\"]", malformedAt(4)},
        {"bad escape later in the same string wins", "\"\xFF\\q\"", malformedAt(4)},
        {"unterminated string wins", "\"\xFF", malformedAt(2)},
    });
}

TEST(JSONDuplicateKeyValidator, RejectsRepeatedKeysWithTheObjectsPath) {
    const std::string events = R"({"schemaVersion":2,"protectedPaths":[],"processes":[],"events":[)"
                               R"({"id":"A","previousFile":{"path":"/a","size":1}},)"
                               R"({"id":"B","previousFile":{"path":"/a","size":1,"path":"/b"}}]})";
    expectVerdicts({
        {"root", R"({"a":1,"a":2})", duplicate("$.a")},
        {"same value", R"({"a":"b","a":"b"})", duplicate("$.a")},
        {"after other keys", R"({"a":1,"b":2,"c":3,"b":4})", duplicate("$.b")},
        {"second event's previous file", events, duplicate("$.events[1].previousFile.path")},
        {"array element", R"([0,{"k":1,"k":2}])", duplicate("$[1].k")},
        {"nested arrays", R"({"a":[[{}],[{},{"k":1,"k":2}]]})", duplicate("$.a[1][1].k")},
        {"key with a blank at the root", R"({"a b":1,"a b":2})", duplicate("$.a b")},
        {"key with a blank in the path", R"({"a b":{"k":1,"k":2}})", duplicate("$[\"a b\"].k")},
        {"quote and backslash in the path", R"({"q\"\\":{"k":1,"k":2}})",
         duplicate(R"($["q\"\\"].k)")},
        {"control characters in the path", R"({"\n\t\u0001\u007f\u0085":{"k":1,"k":2}})",
         duplicate(R"($["\n\t\u0001\u007F\u0085"].k)")},
        {"hyphen in the path", R"({"a-b":{"k":1,"k":2}})", duplicate("$[\"a-b\"].k")},
        {"empty key in the path", R"({"":{"k":1,"k":2}})", duplicate("$..k")},
        {"letters, numbers and underscores", R"({"_x9":{"k":1,"k":2}})", duplicate("$._x9.k")},
        {"non-Latin letters and digits", "{\"\u00E9v\u00E9nement\u0663\":{\"k\":1,\"k\":2}}",
         duplicate("$.\u00E9v\u00E9nement\u0663.k")},
        {"combining mark in the path", "{\"e\u0301\":{\"k\":1,\"k\":2}}",
         duplicate("$[\"e\u0301\"].k")},
        {"escaped key in the path", R"({"\u0041":{"k":1,"k":2}})", duplicate("$.A.k")},
        {"duplicate empty key", R"({"":1,"":2})", duplicate("$.")},
        {"duplicate NUL key", R"({"\u0000":1,"\u0000":2})", duplicate("$.\0"sv)},
    });
}

TEST(JSONDuplicateKeyValidator, ComparesKeysByCanonicalEquivalence) {
    expectVerdicts({
        {"precomposed then decomposed", "{\"\u00E9\":1,\"e\u0301\":2}", duplicate("$.e\u0301")},
        {"decomposed then precomposed", "{\"e\u0301\":1,\"\u00E9\":2}", duplicate("$.\u00E9")},
        {"escaped then plain", "{\"caf\\u00e9\":1,\"caf\u00E9\":2}", duplicate("$.caf\u00E9")},
        {"escaped ASCII", R"({"a":1,"\u0061":2})", duplicate("$.a")},
        {"escaped decomposition", "{\"\u00E9\":1,\"e\\u0301\":2}", duplicate("$.e\u0301")},
        {"Kelvin sign after K", "{\"K\":1,\"\u212A\":2}", duplicate("$.\u212A")},
        {"K after Kelvin sign", "{\"\u212A\":1,\"K\":2}", duplicate("$.K")},
        {"Angstrom sign and A with ring", "{\"\u212B\":1,\"\u00C5\":2}", duplicate("$.\u00C5")},
        {"reordered combining marks", "{\"a\u0323\u0301\":1,\"a\u0301\u0323\":2}",
         duplicate("$.a\u0301\u0323")},
        {"surrogate pair and plain emoji", "{\"\\uD83D\\uDE00\":1,\"\U0001F600\":2}",
         duplicate("$.\U0001F600")},
    });
}

TEST(JSONDuplicateKeyValidator, LimitsNestingTo256LevelsBelowTheRoot) {
    const auto arrays = [](std::size_t count) {
        return repeated("[", count) + repeated("]", count);
    };
    const auto objects = [](std::size_t count) {
        return repeated("{\"a\":", count - 1) + "{}" + repeated("}", count - 1);
    };
    const std::string tooDeep = "Replay JSON nesting exceeds 256 levels";
    expectVerdicts({
        {"257 arrays", arrays(257), ""},
        {"258 arrays", arrays(258), tooDeep},
        {"257 objects", objects(257), ""},
        {"258 objects", objects(258), tooDeep},
        {"256 arrays around a scalar", repeated("[", 256) + "0" + repeated("]", 256), ""},
        {"257 arrays around a scalar", repeated("[", 257) + "0" + repeated("]", 257), tooDeep},
        {"depth is met before the end of input", repeated("[", 100'000), tooDeep},
    });
}

TEST(JSONDuplicateKeyValidator, CountsValuesAndMembersAcrossTheDocument) {
    const std::string tooManyValues = "Replay JSON exceeds 250000 values";
    const std::string tooManyMembers = "Replay JSON exceeds 100000 object members";
    // Keys are not values: 100000 members and 149998 further zeros, with the array and the
    // object, make exactly 250000 values.
    const std::string membersAndZeros = "[" + members(100'000) + "," + zeros(149'998).substr(1);
    // An array whose last element is the 250000th value, or the 250001st, and not a value.
    const auto withBadLastValue = [](std::size_t zeroCount) {
        std::string text = zeros(zeroCount);
        text.pop_back();
        return text + ",x]";
    };
    const std::string almostFull = withBadLastValue(249'998);
    const std::string full = withBadLastValue(249'999);
    const auto withRepeatedK5 = [](std::size_t count) {
        std::string text = members(count);
        text.pop_back();
        return text + ",\"k5\":0}";
    };
    expectVerdicts({
        {"250000 values", zeros(249'999), ""},
        {"250001 values", zeros(250'000), tooManyValues},
        {"250001 values, malformed after the limit", zeros(250'000) + "x", tooManyValues},
        {"bad last value within the limit", almostFull, malformedAt(almostFull.size() - 2)},
        {"bad value over the limit is counted before it is read", full, tooManyValues},
        {"100000 members", members(100'000), ""},
        {"100001 members", members(100'001), tooManyMembers},
        {"100001 members in two objects",
         "[" + members(50'000) + "," + members(50'001, 50'000) + "]", tooManyMembers},
        {"duplicate as the last allowed member", withRepeatedK5(99'999), duplicate("$.k5")},
        {"the member limit comes before the duplicate", withRepeatedK5(100'000), tooManyMembers},
        {"members and values at their limits", membersAndZeros, ""},
        {"one value more", "[0," + membersAndZeros.substr(1), tooManyValues},
    });
}

}  // namespace
}  // namespace quorin
