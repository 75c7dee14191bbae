#include "QuorinCore/Domain/AttributionRecord.hpp"
#include "TestSupport/JSONTesting.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quorin {
namespace {

using testing::failsToDecode;
using testing::roundTrip;
using Kind = DecodingError::Kind;

const AttributionProcess writer{.pid = 4242,
                                .executablePath = "/usr/bin/vim",
                                .signingID = std::nullopt,
                                .teamID = std::nullopt};
const AttributionProcess shell{.pid = 100,
                               .executablePath = "/bin/zsh",
                               .signingID = "com.example.zsh",
                               .teamID = "TEAM123456"};

TEST(AttributionRecordConstruction, TakesTheOperationLastButKeepsItAsTheThirdField) {
    const AttributionRecord record("/Users/ada/notes.txt", Date{700.25}, writer, true, {shell},
                                   EventOperation::fileRenamed);
    EXPECT_EQ(record.path, "/Users/ada/notes.txt");
    EXPECT_EQ(record.timestamp, Date{700.25});
    EXPECT_EQ(record.operation, EventOperation::fileRenamed);
    EXPECT_EQ(record.writer, writer);
    EXPECT_TRUE(record.isPlatformBinary);
    EXPECT_EQ(record.ancestry, std::vector<AttributionProcess>{shell});
}

TEST(AttributionRecordEncoding, WritesKeysInFieldOrderAndOmitsOnlyAbsentOptionals) {
    const struct {
        AttributionRecord record;
        std::string text;
    } cases[] = {
        {AttributionRecord("/tmp/a", Date{-1.5}, writer, false, {}, std::nullopt),
         R"({"path":"/tmp/a","timestamp":-1.5,)"
         R"("writer":{"pid":4242,"executablePath":"/usr/bin/vim"},)"
         R"("isPlatformBinary":false,"ancestry":[]})"},
        {AttributionRecord("relative//path/", Date{1.25}, shell, true, {writer, shell},
                           EventOperation::fileModified),
         R"({"path":"relative//path/","timestamp":1.25,"operation":"fileModified",)"
         R"("writer":{"pid":100,"executablePath":"/bin/zsh","signingID":"com.example.zsh",)"
         R"("teamID":"TEAM123456"},"isPlatformBinary":true,)"
         R"("ancestry":[{"pid":4242,"executablePath":"/usr/bin/vim"},)"
         R"({"pid":100,"executablePath":"/bin/zsh","signingID":"com.example.zsh",)"
         R"("teamID":"TEAM123456"}]})"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encodeJSONText(c.record), c.text);
        EXPECT_EQ(decodeJSONText<AttributionRecord>(c.text), c.record) << c.text;
        EXPECT_EQ(roundTrip(c.record), c.record);
    }
}

TEST(AttributionRecordEncoding, KeepsThePathTextAsReported) {
    // The record carries the system's text; it is neither normalized nor rejected.
    const AttributionRecord record("/a/../b\n", Date{0.5}, writer, false, {}, std::nullopt);
    EXPECT_EQ(roundTrip(record).path, "/a/../b\n");
}

// A valid record with one ancestor; each case replaces or removes one key.
Json recordDocument() {
    return parseJSON(
        R"({"path":"/tmp/a","timestamp":3.5,"operation":"fileCreated",)"
        R"("writer":{"pid":7,"executablePath":"/bin/cp"},)"
        R"("isPlatformBinary":true,"ancestry":[{"pid":1,"executablePath":"/sbin/init"}],)"
        R"("extra":"ignored"})");
}

TEST(AttributionRecordDecoding, AcceptsAbsentOrNullOperation) {
    for (const bool remove : {true, false}) {
        Json document = recordDocument();
        if (remove) {
            document.erase("operation");
        } else {
            document["operation"] = nullptr;
        }
        EXPECT_EQ(decodeJSON<AttributionRecord>(document).operation, std::nullopt);
    }
}

TEST(AttributionRecordDecoding, FailsOnMissingRequiredKeysAndWrongTypes) {
    const struct {
        const char* key;
        const char* value;  // JSON text; null removes the key
        testing::ExpectedDecodingError expected;
    } cases[] = {
        {"path", nullptr, {Kind::keyNotFound, "path", R"(No value associated with key "path".)"}},
        {"timestamp",
         nullptr,
         {Kind::keyNotFound, "timestamp", R"(No value associated with key "timestamp".)"}},
        {"writer",
         nullptr,
         {Kind::keyNotFound, "writer", R"(No value associated with key "writer".)"}},
        {"isPlatformBinary",
         nullptr,
         {Kind::keyNotFound, "isPlatformBinary",
          R"(No value associated with key "isPlatformBinary".)"}},
        {"ancestry",
         nullptr,
         {Kind::keyNotFound, "ancestry", R"(No value associated with key "ancestry".)"}},
        {"ancestry",
         "null",
         {Kind::valueNotFound, "ancestry", "Expected a value but found null instead."}},
        {"writer",
         "null",
         {Kind::valueNotFound, "writer", "Expected a value but found null instead."}},
        {"path", "7", {Kind::typeMismatch, "path", "Expected String but found a number instead."}},
        {"timestamp",
         R"("2024-01-01T00:00:00Z")",
         {Kind::typeMismatch, "timestamp", "Expected Double but found a string instead."}},
        {"isPlatformBinary",
         "0",
         {Kind::typeMismatch, "isPlatformBinary", "Expected Bool but found a number instead."}},
        {"operation",
         R"("FileCreated")",
         {Kind::dataCorrupted, "operation",
          R"(Cannot initialize EventOperation from invalid value "FileCreated".)"}},
        {"writer",
         R"({"pid":7})",
         {Kind::keyNotFound, "writer.executablePath",
          R"(No value associated with key "executablePath".)"}},
        {"writer",
         R"({"pid":2147483648,"executablePath":"/bin/cp"})",
         {Kind::dataCorrupted, "writer.pid", "Number 2147483648 does not fit in Int32."}},
        {"writer",
         R"({"pid":7.5,"executablePath":"/bin/cp"})",
         {Kind::dataCorrupted, "writer.pid", "Number 7.5 does not fit in Int32."}},
        {"writer",
         R"({"pid":7,"executablePath":"/bin/cp","teamID":false})",
         {Kind::typeMismatch, "writer.teamID", "Expected String but found a boolean instead."}},
        {"ancestry",
         R"([{"pid":1,"executablePath":"/sbin/init"},{"pid":"1"}])",
         {Kind::typeMismatch, "ancestry[1].pid", "Expected Int32 but found a string instead."}},
        {"ancestry",
         R"({"pid":1,"executablePath":"/sbin/init"})",
         {Kind::typeMismatch, "ancestry", "Expected an array but found an object instead."}},
    };
    for (const auto& c : cases) {
        Json document = recordDocument();
        if (c.value == nullptr) {
            document.erase(c.key);
        } else {
            document[c.key] = parseJSON(c.value);
        }
        const std::string text = serializeJSON(document);
        EXPECT_TRUE(failsToDecode<AttributionRecord>(text, c.expected)) << text;
    }
}

}  // namespace
}  // namespace quorin
