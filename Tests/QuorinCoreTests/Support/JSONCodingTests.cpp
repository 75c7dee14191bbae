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

// Dates are seconds since the reference date, written at full precision; UUIDs are read in either
// case and written upper case; a null optional reads as absent, an unknown key is ignored and
// absent optionals are omitted; integers are read whatever their notation.
TEST(JSONCoding, WritesBackWhatItReads) {
    const std::string upper = R"("E621E1F8-C36C-495A-93FC-0C247A3E6E5F")";
    const std::pair<std::string, std::string> cases[] = {
        {rewritten<Date>("0"), "0.0"},
        {rewritten<Date>("12"), "12.0"},
        {rewritten<Date>("1.5e3"), "1500.0"},
        {rewritten<Date>("0.1"), "0.1"},
        {rewritten<Date>("1e-9"), "1e-09"},
        {rewritten<Date>("817000000.123456789"), "817000000.1234568"},
        {rewritten<Date>("-3.0e8"), "-300000000.0"},
        {rewritten<Date>("1.0e15"), "1e+15"},
        {rewritten<UUID>(upper), upper},
        {rewritten<UUID>(R"("e621e1f8-c36c-495a-93fc-0c247a3e6e5f")"), upper},
        {rewritten<UUID>(R"("e621E1F8-c36C-495a-93FC-0c247a3E6e5f")"), upper},
        {rewritten<CodeSigningIdentity>(R"({"status": "adHoc", "teamID": null, "x": 1})"),
         R"({"status":"adHoc"})"},
        {rewritten<std::uint32_t>("5"), "5"},
        {rewritten<std::uint32_t>("5.0"), "5"},
        {rewritten<std::uint32_t>("5e0"), "5"},
        {rewritten<std::uint32_t>("50e-1"), "5"},
        {rewritten<std::uint32_t>("-0.0"), "0"},
        {rewritten<std::uint32_t>("4294967295"), "4294967295"},
        {rewritten<std::uint16_t>("65535"), "65535"},
        {rewritten<std::int32_t>("-2147483648.0"), "-2147483648"},
        {rewritten<std::int32_t>("2147483647"), "2147483647"},
        {rewritten<std::uint64_t>("18446744073709551615"), "18446744073709551615"},
        {rewritten<std::uint64_t>("1e19"), "10000000000000000000"},
        {rewritten<std::int64_t>("-9223372036854775808"), "-9223372036854775808"},
        // Bytes that are not UTF-8 are written as replacement characters.
        {serializeJSON(Json(std::string("/tmp/a\xFF") + "b")), "\"/tmp/a\uFFFDb\""},
    };
    for (const auto& [actual, expected] : cases) {
        EXPECT_EQ(actual, expected);
    }
    EXPECT_EQ(Date::fromUnixTime(978'307'200.0), Date{0});
    EXPECT_EQ(Date{10}.unixTime(), 978'307'210.0);
}

TEST(JSONCoding, NonFiniteDatesFailToEncodeNamingThePathToTheValue) {
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
    const auto invalidStatus = [&](std::string text) {
        return corrupt("Cannot initialize CodeSigningStatus from invalid value \"" + text + "\".");
    };
    const std::string notJSON = "The given data was not valid JSON.";
    const struct {
        ::testing::AssertionResult result;
        std::string_view name;
    } cases[] = {
        {failsToDecode<Date>(R"("2001-01-01T00:00:00Z")", mismatch("Double", "a string")), "date"},
        {failsToDecode<std::vector<NormalizedPath>>(
             R"([{"value": "/"}, {"value": "/x"}, {"value": 3}])",
             {Kind::typeMismatch, "[2].value", "Expected String but found a number instead."}),
         "path through objects and arrays"},
        {failsToDecode<std::vector<std::vector<std::int32_t>>>(
             "[[1], [2, 3.5]]",
             {Kind::dataCorrupted, "[1][1]", "Number 3.5 does not fit in Int32."}),
         "path through arrays"},
        {failsToDecode<CodeSigningIdentity>(
             "{}", {Kind::keyNotFound, "status", "No value associated with key \"status\"."}),
         "missing key"},
        {failsToDecode<CodeSigningIdentity>(
             R"({"status": null})",
             {Kind::valueNotFound, "status", "Expected a value but found null instead."}),
         "null value"},
        {failsToDecode<CodeSigningIdentity>("[]", mismatch("an object", "an array")), "array"},
        // Enumerations decode only their exact raw text.
        {failsToDecode<CodeSigningStatus>(R"("Unsigned")", invalidStatus("Unsigned")), "Unsigned"},
        {failsToDecode<CodeSigningStatus>(R"("developerId")", invalidStatus("developerId")), "Id"},
        {failsToDecode<CodeSigningStatus>(R"("DEVELOPERID")", invalidStatus("DEVELOPERID")), "ID"},
        {failsToDecode<CodeSigningStatus>(R"(" adHoc")", invalidStatus(" adHoc")), "blank"},
        {failsToDecode<CodeSigningStatus>(R"("unsigned_")", invalidStatus("unsigned_")), "_"},
        // Text that is not JSON.
        {failsToDecode<CodeSigningIdentity>("", corrupt(notJSON)), "empty"},
        {failsToDecode<CodeSigningIdentity>("{", corrupt(notJSON)), "unclosed"},
        {failsToDecode<CodeSigningIdentity>(R"({"status": "adHoc",})", corrupt(notJSON)), ","},
        {failsToDecode<CodeSigningIdentity>("\xFF", corrupt(notJSON)), "bad UTF-8"},
        {failsToDecode<CodeSigningIdentity>("{} {}", corrupt(notJSON)), "two documents"},
        {failsToDecode<CodeSigningIdentity>(R"({"status": 1e400})", corrupt(notJSON)), "1e400"},
        // Integers must be integral and fit their type; 2^64 written as an integer is more than
        // the parser holds exactly, written with an exponent it is a float.
        {failsToDecode<std::uint32_t>("5.5", doesNotFit("5.5", "UInt32")), "5.5"},
        {failsToDecode<std::uint32_t>("-1", doesNotFit("-1", "UInt32")), "-1"},
        {failsToDecode<std::uint32_t>("4294967296", doesNotFit("4294967296", "UInt32")), "2^32"},
        {failsToDecode<std::uint32_t>("1e10", doesNotFit("10000000000.0", "UInt32")), "1e10"},
        {failsToDecode<std::uint32_t>("0.000001", doesNotFit("1e-06", "UInt32")), "1e-6"},
        {failsToDecode<std::uint16_t>("65536", doesNotFit("65536", "UInt16")), "2^16"},
        {failsToDecode<std::uint16_t>("65535.5", doesNotFit("65535.5", "UInt16")), "65535.5"},
        {failsToDecode<std::int32_t>("2147483648", doesNotFit("2147483648", "Int32")), "2^31"},
        {failsToDecode<std::int32_t>("-2147483649.0", doesNotFit("-2147483649.0", "Int32")),
         "-2^31-1"},
        {failsToDecode<std::uint64_t>("18446744073709551616",
                                      doesNotFit("1.8446744073709552e+19", "UInt64")),
         "2^64"},
        {failsToDecode<std::uint64_t>("-1", doesNotFit("-1", "UInt64")), "-1 unsigned"},
        {failsToDecode<std::int64_t>("9223372036854775808",
                                     doesNotFit("9223372036854775808", "Int64")),
         "2^63"},
        {failsToDecode<std::int64_t>("9.223372036854775808e18",
                                     doesNotFit("9.223372036854776e+18", "Int64")),
         "2^63 as a float"},
        {failsToDecode<std::int32_t>(R"("5")", mismatch("Int32", "a string")), "string"},
        {failsToDecode<std::int32_t>("true", mismatch("Int32", "a boolean")), "boolean"},
        {failsToDecode<std::int32_t>("[5]", mismatch("Int32", "an array")), "array"},
        {failsToDecode<std::int32_t>(R"({"v":5})", mismatch("Int32", "an object")), "object"},
        {failsToDecode<std::int32_t>("null", mismatch("Int32", "null")), "null"},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(c.result) << c.name;
    }
    EXPECT_TRUE(failsToDecode<UUID>(R"("")", corrupt("")));
    for (const std::string text :
         {"E621E1F8C36C495A93FC0C247A3E6E5F", "E621E1F8-C36C-495A-93FC-0C247A3E6E5",
          "E621E1F8-C36C-495A-93FC-0C247A3E6E5F0", "G621E1F8-C36C-495A-93FC-0C247A3E6E5F",
          "E621E1F8_C36C-495A-93FC-0C247A3E6E5F", "{E621E1F8-C36C-495A-93FC-0C247A3E6E5F}",
          "E621E1F-8C36C-495A-93FC-0C247A3E6E5F"}) {
        EXPECT_TRUE(failsToDecode<UUID>(serializeJSON(Json(text)), corrupt(""))) << text;
    }
}

}  // namespace
}  // namespace quorin
