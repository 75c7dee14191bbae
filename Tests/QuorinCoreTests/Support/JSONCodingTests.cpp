#include "QuorinCore/Domain/CodeSigningIdentity.hpp"
#include "QuorinCore/Domain/NormalizedPath.hpp"
#include "QuorinCore/Support/JSON.hpp"
#include "TestSupport/JSONTesting.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorin {
namespace {

using testing::failsToDecode;
using Kind = DecodingError::Kind;

// `text` read as a `T` and written back as compact JSON.
template <class T>
std::string rewritten(std::string_view text) {
    return encodeJSONText(decodeJSONText<T>(text));
}

// Dates are seconds since the reference date, written at full precision and never when not
// finite; UUIDs are read in either case and written upper case; a null optional reads as absent,
// an unknown key is ignored and absent optionals are omitted; integers are read whatever their
// notation.
TEST(JSONCoding, WritesBackWhatItReads) {
    const std::pair<std::string, std::string> cases[] = {
        {rewritten<Date>("0"), "0.0"},
        {rewritten<Date>("1e-9"), "1e-09"},
        {rewritten<Date>("817000000.123456789"), "817000000.1234568"},
        {rewritten<Date>("-3.0e8"), "-300000000.0"},
        {rewritten<Date>("1.0e15"), "1e+15"},
        {rewritten<UUID>(R"("e621E1F8-c36C-495a-93FC-0c247a3E6e5f")"),
         R"("E621E1F8-C36C-495A-93FC-0C247A3E6E5F")"},
        {rewritten<CodeSigningIdentity>(R"({"status": "adHoc", "teamID": null, "x": 1})"),
         R"({"status":"adHoc"})"},
        {rewritten<std::uint32_t>("50e-1"), "5"},
        {rewritten<std::uint32_t>("-0.0"), "0"},
        {rewritten<std::uint32_t>("4294967295"), "4294967295"},
        {rewritten<std::uint16_t>("65535"), "65535"},
        {rewritten<std::int32_t>("-2147483648.0"), "-2147483648"},
        {rewritten<std::int32_t>("2147483647"), "2147483647"},
        {rewritten<std::uint64_t>("18446744073709551615"), "18446744073709551615"},
        {rewritten<std::int64_t>("-9223372036854775808"), "-9223372036854775808"},
        // Bytes that are not UTF-8 are written as replacement characters.
        {serializeJSON(Json(std::string("/tmp/a\xFF") + "b")), "\"/tmp/a\uFFFDb\""},
    };
    for (const auto& [actual, expected] : cases) {
        EXPECT_EQ(actual, expected);
    }
    EXPECT_EQ(Date::fromUnixTime(978'307'200.0), Date{0});
    EXPECT_EQ(Date{10}.unixTime(), 978'307'210.0);
    for (const double seconds :
         {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
          std::numeric_limits<double>::quiet_NaN()}) {
        try {
            (void)encodeJSON(std::vector<Date>{Date{1}, Date{seconds}});
            ADD_FAILURE() << "encoded " << seconds;
        } catch (const EncodingError& error) {
            EXPECT_EQ(describe(error.codingPath()), "[1]") << seconds;
        }
    }
}

TEST(JSONCoding, UUIDsOrderAsTheirUpperCaseTextAndRandomOnesAreVersionFour) {
    const auto a = testing::uuid("0000000A-0000-0000-0000-000000000000");
    const auto b = testing::uuid("00000009-FFFF-FFFF-FFFF-FFFFFFFFFFFF");
    EXPECT_LT(b, a);
    EXPECT_LT(b.uuidString(), a.uuidString());
    const UUID first = UUID::random();
    EXPECT_NE(first, UUID::random());
    EXPECT_EQ(first.uuidString()[14], '4');
}

// Each failure names its kind, the path to the offending value and what was wrong.
TEST(JSONCoding, ReportsEachDecodingFailureExactly) {
    const auto corrupt = [](std::string description) {
        return testing::ExpectedDecodingError{Kind::dataCorrupted, "<root>", description};
    };
    const auto mismatch = [](std::string type, std::string found) {
        return testing::ExpectedDecodingError{
            Kind::typeMismatch, "<root>", "Expected " + type + " but found " + found + " instead."};
    };
    const auto doesNotFit = [&](std::string number, std::string type) {
        return corrupt("Number " + number + " does not fit in " + type + ".");
    };
    const std::string notJSON = "The given data was not valid JSON.";
    const ::testing::AssertionResult cases[] = {
        failsToDecode<Date>(R"("2001-01-01T00:00:00Z")", mismatch("Double", "a string")),
        failsToDecode<std::vector<NormalizedPath>>(
            R"([{"value": "/"}, {"value": "/x"}, {"value": 3}])",
            {Kind::typeMismatch, "[2].value", "Expected String but found a number instead."}),
        failsToDecode<std::vector<std::vector<std::int32_t>>>(
            "[[1], [2, 3.5]]",
            {Kind::dataCorrupted, "[1][1]", "Number 3.5 does not fit in Int32."}),
        failsToDecode<CodeSigningIdentity>(
            "{}", {Kind::keyNotFound, "status", "No value associated with key \"status\"."}),
        failsToDecode<CodeSigningIdentity>(
            R"({"status": null})",
            {Kind::valueNotFound, "status", "Expected a value but found null instead."}),
        failsToDecode<CodeSigningIdentity>("[]", mismatch("an object", "an array")),
        // Enumerations decode only their exact raw text.
        failsToDecode<CodeSigningStatus>(
            R"("developerId")",
            corrupt("Cannot initialize CodeSigningStatus from invalid value \"developerId\".")),
        failsToDecode<CodeSigningIdentity>("", corrupt(notJSON)),
        failsToDecode<CodeSigningIdentity>("{} {}", corrupt(notJSON)),
        failsToDecode<CodeSigningIdentity>(R"({"status": 1e400})", corrupt(notJSON)),
        // Integers must be integral and fit their type; 2^64 written as an integer is more than
        // the parser holds exactly.
        failsToDecode<std::uint32_t>("-1", doesNotFit("-1", "UInt32")),
        failsToDecode<std::uint32_t>("4294967296", doesNotFit("4294967296", "UInt32")),
        failsToDecode<std::uint32_t>("1e10", doesNotFit("10000000000.0", "UInt32")),
        failsToDecode<std::uint16_t>("65536", doesNotFit("65536", "UInt16")),
        failsToDecode<std::int32_t>("2147483648", doesNotFit("2147483648", "Int32")),
        failsToDecode<std::int32_t>("-2147483649.0", doesNotFit("-2147483649.0", "Int32")),
        failsToDecode<std::uint64_t>("18446744073709551616",
                                     doesNotFit("1.8446744073709552e+19", "UInt64")),
        failsToDecode<std::int64_t>("9223372036854775808",
                                    doesNotFit("9223372036854775808", "Int64")),
        failsToDecode<std::int32_t>("true", mismatch("Int32", "a boolean")),
        failsToDecode<std::int32_t>(R"({"v":5})", mismatch("Int32", "an object")),
        failsToDecode<std::int32_t>("null", mismatch("Int32", "null")),
        failsToDecode<UUID>(R"("")", corrupt("")),
    };
    for (std::size_t index = 0; index < std::size(cases); ++index) {
        EXPECT_TRUE(cases[index]) << "case " << index;
    }
    for (const std::string text :
         {"E621E1F8C36C495A93FC0C247A3E6E5F", "E621E1F8-C36C-495A-93FC-0C247A3E6E5F0",
          "G621E1F8-C36C-495A-93FC-0C247A3E6E5F", "E621E1F-8C36C-495A-93FC-0C247A3E6E5F"}) {
        EXPECT_TRUE(failsToDecode<UUID>(serializeJSON(Json(text)), corrupt(""))) << text;
    }
}

}  // namespace
}  // namespace quorin
