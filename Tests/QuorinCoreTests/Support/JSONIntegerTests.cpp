#include "QuorinCore/Support/JSON.hpp"
#include "TestSupport/JSONTesting.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace quorin {
namespace {

using testing::failsToDecode;
using Kind = DecodingError::Kind;

TEST(JSONIntegerDecoding, AcceptsIntegralNumbersInRangeWhateverTheirNotation) {
    EXPECT_EQ(decodeJSONText<std::uint32_t>("5"), 5U);
    EXPECT_EQ(decodeJSONText<std::uint32_t>("5.0"), 5U);
    EXPECT_EQ(decodeJSONText<std::uint32_t>("5e0"), 5U);
    EXPECT_EQ(decodeJSONText<std::uint32_t>("50e-1"), 5U);
    EXPECT_EQ(decodeJSONText<std::uint32_t>("-0.0"), 0U);
    EXPECT_EQ(decodeJSONText<std::uint32_t>("4294967295"), 4294967295U);
    EXPECT_EQ(decodeJSONText<std::uint16_t>("65535"), 65535U);
    EXPECT_EQ(decodeJSONText<std::int32_t>("-2147483648"), INT32_MIN);
    EXPECT_EQ(decodeJSONText<std::int32_t>("2147483647"), INT32_MAX);
    EXPECT_EQ(decodeJSONText<std::int32_t>("-2147483648.0"), INT32_MIN);
    EXPECT_EQ(decodeJSONText<std::uint64_t>("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(decodeJSONText<std::uint64_t>("1e19"), 10000000000000000000ULL);
    EXPECT_EQ(decodeJSONText<std::int64_t>("-9223372036854775808"), INT64_MIN);
}

template <class I>
void expectDoesNotFit(const std::string& text, const std::string& typeName) {
    const std::string expected =
        "Number " + serializeJSON(Json::parse(text)) + " does not fit in " + typeName + ".";
    EXPECT_TRUE(failsToDecode<I>(text, {Kind::dataCorrupted, "<root>", expected})) << text;
}

TEST(JSONIntegerDecoding, RejectsFractionsAndValuesOutsideTheTypeAsCorruptData) {
    for (const std::string text : {"5.5", "-1", "4294967296", "1e10", "0.000001"}) {
        expectDoesNotFit<std::uint32_t>(text, "UInt32");
    }
    for (const std::string text : {"65536", "-1", "65535.5"}) {
        expectDoesNotFit<std::uint16_t>(text, "UInt16");
    }
    for (const std::string text : {"2147483648", "-2147483649", "2147483648.0", "-2147483649.0"}) {
        expectDoesNotFit<std::int32_t>(text, "Int32");
    }
    // 2^64 is one past the largest unsigned 64-bit value; written as an integer the parser
    // cannot hold it exactly, written with an exponent it is a float.
    for (const std::string text : {"18446744073709551616", "1.8446744073709552e19", "-1"}) {
        expectDoesNotFit<std::uint64_t>(text, "UInt64");
    }
    for (const std::string text : {"9223372036854775808", "9.223372036854775808e18"}) {
        expectDoesNotFit<std::int64_t>(text, "Int64");
    }
}

TEST(JSONIntegerDecoding, RejectsOtherJSONTypesAsTypeMismatch) {
    const struct {
        std::string text;
        std::string found;
    } cases[] = {
        {R"("5")", "a string"},      {"true", "a boolean"}, {"[5]", "an array"},
        {R"({"v":5})", "an object"}, {"null", "null"},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(failsToDecode<std::int32_t>(
            c.text,
            {Kind::typeMismatch, "<root>", "Expected Int32 but found " + c.found + " instead."}))
            << c.text;
    }
}

}  // namespace
}  // namespace quorin
