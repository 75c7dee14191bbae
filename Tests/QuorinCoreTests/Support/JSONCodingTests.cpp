#include "QuorinCore/Domain/CodeSigningIdentity.hpp"
#include "QuorinCore/Domain/NormalizedPath.hpp"
#include "QuorinCore/Support/JSON.hpp"
#include "TestSupport/JSONTesting.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace quorin {
namespace {

using testing::failsToDecode;
using Kind = DecodingError::Kind;

TEST(JSONDates, AreSecondsSinceTheReferenceDateKeptAtFullPrecision) {
    EXPECT_EQ(encodeJSONText(Date{0}), "0.0");
    EXPECT_EQ(decodeJSONText<Date>("12").timeIntervalSinceReferenceDate, 12.0);
    EXPECT_EQ(decodeJSONText<Date>("1.5e3").timeIntervalSinceReferenceDate, 1500.0);
    EXPECT_EQ(Date::fromUnixTime(978'307'200.0), Date{0});
    EXPECT_EQ(Date{10}.unixTime(), 978'307'210.0);
    for (const double seconds : {0.1, 1e-9, 817'000'000.123456789, -3.0e8, 1.0e15}) {
        EXPECT_EQ(testing::roundTrip(Date{seconds}), Date{seconds}) << seconds;
    }
    EXPECT_TRUE(failsToDecode<Date>(
        R"("2001-01-01T00:00:00Z")",
        {Kind::typeMismatch, "<root>", "Expected Double but found a string instead."}));
}

TEST(JSONDates, NonFiniteOnesFailToEncodeNamingThePathToTheValue) {
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

TEST(JSONUUIDs, AreWrittenUpperCaseAndReadInEitherCaseOnlyWhenWellFormed) {
    const auto upper = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
    for (const std::string text :
         {upper, "e621e1f8-c36c-495a-93fc-0c247a3e6e5f", "e621E1F8-c36C-495a-93FC-0c247a3E6e5f"}) {
        EXPECT_EQ(encodeJSONText(decodeJSON<UUID>(Json(text))), std::string("\"") + upper + "\"");
    }
    for (const std::string text :
         {"", "E621E1F8C36C495A93FC0C247A3E6E5F", "E621E1F8-C36C-495A-93FC-0C247A3E6E5",
          "E621E1F8-C36C-495A-93FC-0C247A3E6E5F0", "G621E1F8-C36C-495A-93FC-0C247A3E6E5F",
          "E621E1F8_C36C-495A-93FC-0C247A3E6E5F", "{E621E1F8-C36C-495A-93FC-0C247A3E6E5F}",
          "E621E1F-8C36C-495A-93FC-0C247A3E6E5F"}) {
        EXPECT_TRUE(
            failsToDecode<UUID>(serializeJSON(Json(text)), {Kind::dataCorrupted, "<root>", ""}))
            << text;
    }
}

TEST(JSONUUIDs, OrderMatchesTheOrderOfTheirUpperCaseText) {
    const auto a = testing::uuid("0000000A-0000-0000-0000-000000000000");
    const auto b = testing::uuid("00000009-FFFF-FFFF-FFFF-FFFFFFFFFFFF");
    EXPECT_LT(b, a);
    EXPECT_LT(b.uuidString(), a.uuidString());
}

TEST(JSONUUIDs, RandomOnesAreVersionFourAndDistinct) {
    const UUID first = UUID::random();
    EXPECT_NE(first, UUID::random());
    EXPECT_EQ(first.uuidString()[14], '4');
}

TEST(JSONCodingPaths, PointAtTheOffendingValueThroughObjectsAndArrays) {
    EXPECT_TRUE(failsToDecode<std::vector<NormalizedPath>>(
        R"([{"value": "/"}, {"value": "/x"}, {"value": 3}])",
        {Kind::typeMismatch, "[2].value", "Expected String but found a number instead."}));
    EXPECT_TRUE(failsToDecode<std::vector<std::vector<std::int32_t>>>(
        "[[1], [2, 3.5]]", {Kind::dataCorrupted, "[1][1]", "Number 3.5 does not fit in Int32."}));
}

TEST(JSONKeys, MissingNullAndAbsentKeysAreToldApart) {
    EXPECT_TRUE(failsToDecode<CodeSigningIdentity>(
        "{}", {Kind::keyNotFound, "status", "No value associated with key \"status\"."}));
    EXPECT_TRUE(failsToDecode<CodeSigningIdentity>(
        R"({"status": null})",
        {Kind::valueNotFound, "status", "Expected a value but found null instead."}));
    EXPECT_TRUE(failsToDecode<CodeSigningIdentity>(
        "[]", {Kind::typeMismatch, "<root>", "Expected an object but found an array instead."}));
    // A null optional reads as absent, an unknown key is ignored, and absent optionals are omitted.
    const auto identity =
        decodeJSONText<CodeSigningIdentity>(R"({"status": "adHoc", "teamID": null, "x": 1})");
    EXPECT_EQ(identity, (CodeSigningIdentity{CodeSigningStatus::adHoc, {}, {}, {}}));
    EXPECT_EQ(encodeJSONText(identity), R"({"status":"adHoc"})");
}

TEST(JSONEnumerations, DecodeOnlyTheExactRawText) {
    for (const std::string text :
         {"Unsigned", "developerId", "DEVELOPERID", " adHoc", "unsigned_"}) {
        EXPECT_TRUE(failsToDecode<CodeSigningStatus>(
            serializeJSON(Json(text)),
            {Kind::dataCorrupted, "<root>",
             "Cannot initialize CodeSigningStatus from invalid value \"" + text + "\"."}))
            << text;
    }
}

TEST(JSONText, InvalidJSONIsCorruptDataAtTheRootAndBadUTF8IsReplacedOnOutput) {
    for (const std::string text :
         {"", "{", R"({"status": "adHoc",})", "\xFF", "{} {}", R"({"status": 1e400})"}) {
        EXPECT_TRUE(failsToDecode<CodeSigningIdentity>(
            text, {Kind::dataCorrupted, "<root>", "The given data was not valid JSON."}))
            << text;
    }
    EXPECT_EQ(serializeJSON(Json(std::string("/tmp/a\xFF") + "b")),
              std::string("\"/tmp/a\xEF\xBF\xBD") + "b\"");
}

}  // namespace
}  // namespace quorin
