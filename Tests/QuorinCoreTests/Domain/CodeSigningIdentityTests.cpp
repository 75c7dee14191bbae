#include "QuorinCore/Domain/CodeSigningIdentity.hpp"
#include "QuorinCore/Domain/FileKind.hpp"
#include "QuorinCore/Domain/FileMetadata.hpp"
#include "TestSupport/JSONTesting.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quorin {
namespace {

using testing::failsToDecode;
using testing::roundTrip;
using testing::uuid;
using Kind = DecodingError::Kind;

// MARK: - CodeSigningIdentity

CodeSigningIdentity statusOnly(CodeSigningStatus status) {
    return CodeSigningIdentity{status, std::nullopt, std::nullopt, std::nullopt};
}

TEST(CodeSigningIdentityCoding, WritesOnlyTheKeysThatArePresentInFieldOrder) {
    EXPECT_EQ(encodeJSONText(statusOnly(CodeSigningStatus::adHoc)), R"({"status":"adHoc"})");
    const CodeSigningIdentity full{
        .status = CodeSigningStatus::developerID,
        .signingIdentifier = "com.example.tool",
        .teamID = "TEAM123456",
        .designatedRequirement = R"(identifier "com.example.tool")",
    };
    EXPECT_EQ(
        encodeJSONText(full),
        R"({"status":"developerID","signingIdentifier":"com.example.tool",)"
        R"("teamID":"TEAM123456","designatedRequirement":"identifier \"com.example.tool\""})");
    EXPECT_EQ(roundTrip(full), full);
}

TEST(CodeSigningIdentityCoding, StatusTextsAreTheCaseNamesExactly) {
    const struct {
        CodeSigningStatus status;
        const char* text;
    } cases[] = {
        {CodeSigningStatus::platform, "platform"},
        {CodeSigningStatus::developerID, "developerID"},
        {CodeSigningStatus::adHoc, "adHoc"},
        {CodeSigningStatus::unsigned_, "unsigned"},
    };
    for (const auto& c : cases) {
        const std::string text = std::string(R"({"status":")") + c.text + R"("})";
        EXPECT_EQ(encodeJSONText(statusOnly(c.status)), text);
        EXPECT_EQ(decodeJSONText<CodeSigningIdentity>(text).status, c.status) << text;
    }
    for (const std::string text : {"Platform", "developerId", "ADHOC", "Unsigned", "unsigned_"}) {
        EXPECT_TRUE(failsToDecode<CodeSigningIdentity>(
            R"({"status":")" + text + R"("})",
            {Kind::dataCorrupted, "status",
             R"(Cannot initialize CodeSigningStatus from invalid value ")" + text + R"(".)"}));
    }
}

TEST(CodeSigningIdentityCoding, RejectsMissingNullAndMistypedValues) {
    const struct {
        const char* text;
        testing::ExpectedDecodingError expected;
    } cases[] = {
        {R"({"teamID":"T"})",
         {Kind::keyNotFound, "status", R"(No value associated with key "status".)"}},
        {R"({"status":null})",
         {Kind::valueNotFound, "status", "Expected a value but found null instead."}},
        {R"({"status":1})", {Kind::typeMismatch, "status", ""}},
        {R"({"status":"platform","teamID":7})", {Kind::typeMismatch, "teamID", ""}},
        {R"(["platform"])", {Kind::typeMismatch, "<root>", ""}},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(failsToDecode<CodeSigningIdentity>(c.text, c.expected)) << c.text;
    }
}

TEST(CodeSigningIdentityCoding, IdentitiesDifferingOnlyInTheRequirementDiffer) {
    const CodeSigningIdentity first{CodeSigningStatus::developerID, "com.example.tool", "T",
                                    "anchor apple generic"};
    CodeSigningIdentity second = first;
    second.designatedRequirement = "anchor apple";
    EXPECT_NE(first, second);
}

// MARK: - FileKind

TEST(FileKindCoding, TextsAreTheCaseNamesExactly) {
    const struct {
        FileKind kind;
        const char* text;
    } cases[] = {
        {FileKind::regularFile, R"("regularFile")"},
        {FileKind::directory, R"("directory")"},
        {FileKind::symbolicLink, R"("symbolicLink")"},
        {FileKind::other, R"("other")"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encodeJSONText(c.kind), c.text);
        EXPECT_EQ(decodeJSONText<FileKind>(c.text), c.kind);
    }
    for (const std::string text : {"RegularFile", "symboliclink", "Directory", "file", ""}) {
        EXPECT_TRUE(failsToDecode<FileKind>(
            "\"" + text + "\"",
            {Kind::dataCorrupted, "<root>",
             R"(Cannot initialize FileKind from invalid value ")" + text + R"(".)"}));
    }
}

// MARK: - FileMetadata

// A file with every required key and no optional one.
const char* const minimalFileText =
    R"({"id":{"value":"11111111-2222-4333-8444-555555555555"},"path":{"value":"/tmp/a"},)"
    R"("size":0,"ownerID":0,"groupID":0,"mode":0,"isExecutable":false})";

// The minimal file with `key` set to the JSON text `value`, or removed when `value` is null.
std::string fileWith(const char* key, const char* value) {
    Json document = parseJSON(minimalFileText);
    if (value == nullptr) {
        document.erase(key);
    } else {
        document[key] = parseJSON(value);
    }
    return serializeJSON(document);
}

FileMetadata minimalFile() {
    return FileMetadata{
        .id = FileObjectID{uuid("11111111-2222-4333-8444-555555555555")},
        .path = NormalizedPath("/tmp/a", "/"),
        .size = 0,
        .ownerID = 0,
        .groupID = 0,
        .mode = 0,
        .sha256 = std::nullopt,
        .isExecutable = false,
        .signing = std::nullopt,
        .kind = std::nullopt,
        .symlinkTarget = std::nullopt,
    };
}

TEST(FileMetadataCoding, WritesKeysInFieldOrderAndOmitsAbsentOptionals) {
    EXPECT_EQ(encodeJSONText(minimalFile()), minimalFileText);

    FileMetadata full = minimalFile();
    full.size = UINT64_MAX;
    full.ownerID = UINT32_MAX;
    full.groupID = 20;
    full.mode = UINT16_MAX;
    full.sha256 = "ab12";
    full.isExecutable = true;
    full.signing = statusOnly(CodeSigningStatus::unsigned_);
    full.kind = FileKind::symbolicLink;
    full.symlinkTarget = "../b";
    const std::string text =
        R"({"id":{"value":"11111111-2222-4333-8444-555555555555"},"path":{"value":"/tmp/a"},)"
        R"("size":18446744073709551615,"ownerID":4294967295,"groupID":20,"mode":65535,)"
        R"("sha256":"ab12","isExecutable":true,"signing":{"status":"unsigned"},)"
        R"("kind":"symbolicLink","symlinkTarget":"../b"})";
    EXPECT_EQ(encodeJSONText(full), text);
    EXPECT_EQ(decodeJSONText<FileMetadata>(text), full);
    EXPECT_EQ(decodeJSONText<FileMetadata>(minimalFileText), minimalFile());
}

TEST(FileMetadataCoding, IntegersMustBeIntegralAndFitTheirFieldWidth) {
    const struct {
        const char* key;
        const char* number;
        const char* typeName;
    } rejected[] = {
        {"size", "-1", "UInt64"},
        {"size", "0.5", "UInt64"},
        {"ownerID", "4294967296", "UInt32"},
        {"ownerID", "-1", "UInt32"},
        {"groupID", "4294967296", "UInt32"},
        {"groupID", "-20", "UInt32"},
        {"mode", "65536", "UInt16"},
        {"mode", "420.5", "UInt16"},
    };
    for (const auto& c : rejected) {
        EXPECT_TRUE(failsToDecode<FileMetadata>(fileWith(c.key, c.number),
                                                {Kind::dataCorrupted, c.key,
                                                 "Number " + serializeJSON(parseJSON(c.number)) +
                                                     " does not fit in " + c.typeName + "."}))
            << c.key << " " << c.number;
    }

    EXPECT_EQ(decodeJSONText<FileMetadata>(fileWith("mode", "420.0")).mode, 0644);
}

TEST(FileMetadataCoding, RejectsMissingNullAndMistypedValues) {
    const struct {
        const char* key;
        const char* value;  // JSON text; null removes the key
        testing::ExpectedDecodingError expected;
    } cases[] = {
        {"isExecutable",
         nullptr,
         {Kind::keyNotFound, "isExecutable", R"(No value associated with key "isExecutable".)"}},
        {"size", nullptr, {Kind::keyNotFound, "size", R"(No value associated with key "size".)"}},
        {"groupID",
         "null",
         {Kind::valueNotFound, "groupID", "Expected a value but found null instead."}},
        {"path", "null", {Kind::valueNotFound, "path", "Expected a value but found null instead."}},
        {"size",
         R"("12")",
         {Kind::typeMismatch, "size", "Expected UInt64 but found a string instead."}},
        {"isExecutable",
         R"("true")",
         {Kind::typeMismatch, "isExecutable", "Expected Bool but found a string instead."}},
        {"isExecutable",
         "1",
         {Kind::typeMismatch, "isExecutable", "Expected Bool but found a number instead."}},
        {"kind",
         R"("Directory")",
         {Kind::dataCorrupted, "kind",
          R"(Cannot initialize FileKind from invalid value "Directory".)"}},
        {"signing",
         R"({"status":"AdHoc"})",
         {Kind::dataCorrupted, "signing.status",
          R"(Cannot initialize CodeSigningStatus from invalid value "AdHoc".)"}},
        {"sha256", R"(["ab"])", {Kind::typeMismatch, "sha256", ""}},
        {"path",
         R"({"value":"/tmp//a"})",
         {Kind::dataCorrupted, "path.value", "NormalizedPath requires a canonical path."}},
        {"id",
         R"({"value":"11111111222243338444555555555555"})",
         {Kind::dataCorrupted, "id.value", ""}},
    };
    for (const auto& c : cases) {
        const std::string text = fileWith(c.key, c.value);
        EXPECT_TRUE(failsToDecode<FileMetadata>(text, c.expected)) << text;
    }
}

}  // namespace
}  // namespace quorin
