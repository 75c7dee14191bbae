#include "QuorinCore/Domain/ProtectedPath.hpp"

#include "TestSupport/JSONTesting.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace quorin {
namespace {

using quorin::testing::failsToDecode;
using quorin::testing::roundTrip;
using quorin::testing::uuid;
using Kind = DecodingError::Kind;

std::string quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

struct CategoryCase {
    PathCategory category;
    std::string_view raw;
    bool alwaysAlertable;
};

constexpr CategoryCase categoryCases[] = {
    {PathCategory::shellStartup, "shellStartup", true},
    {PathCategory::ssh, "ssh", true},
    {PathCategory::launchAgent, "launchAgent", true},
    {PathCategory::launchDaemon, "launchDaemon", true},
    {PathCategory::executableDirectory, "executableDirectory", false},
    {PathCategory::custom, "custom", false},
};

static_assert(alwaysAlertable(PathCategory::launchDaemon) && !alwaysAlertable(PathCategory::custom),
              "alertability is known at compile time");

TEST(PathCategoryTests, codesEveryCaseAsItsRawTextAndKnowsWhichAlwaysAlert) {
    ASSERT_EQ(std::size(categoryCases), EnumerationTexts<PathCategory>::cases.size());
    for (const auto& [category, raw, alertable] : categoryCases) {
        SCOPED_TRACE(raw);
        EXPECT_EQ(encodeJSONText(category), quoted(raw));
        EXPECT_EQ(decodeJSONText<PathCategory>(quoted(raw)), category);
        EXPECT_EQ(alwaysAlertable(category), alertable);
    }
}

TEST(ContentHistoryPolicyTests, codesEveryCaseAsItsRawText) {
    ASSERT_EQ(EnumerationTexts<ContentHistoryPolicy>::cases.size(), 2u);
    for (const auto policy :
         {ContentHistoryPolicy::metadataOnly, ContentHistoryPolicy::encryptedVersions}) {
        const std::string text = encodeJSONText(policy);
        EXPECT_EQ(decodeJSONText<ContentHistoryPolicy>(text), policy) << text;
    }
    EXPECT_EQ(encodeJSONText(ContentHistoryPolicy::metadataOnly), "\"metadataOnly\"");
    EXPECT_EQ(encodeJSONText(ContentHistoryPolicy::encryptedVersions), "\"encryptedVersions\"");
}

TEST(PathCategoryTests, rejectsTextsInAnotherLetterCaseOrUnknown) {
    for (const std::string_view text : {"SSH", "Ssh", "shellstartup", "LaunchAgent", "LAUNCHDAEMON",
                                        "executabledirectory", "Custom", ""}) {
        EXPECT_TRUE(failsToDecode<PathCategory>(
            quoted(text),
            {Kind::dataCorrupted, "<root>",
             "Cannot initialize PathCategory from invalid value " + quoted(text) + "."}))
            << text;
    }
}

TEST(ContentHistoryPolicyTests, rejectsTextsInAnotherLetterCaseOrUnknown) {
    for (const std::string_view text :
         {"MetadataOnly", "metadataonly", "ENCRYPTEDVERSIONS", "encryptedversions", "none"}) {
        EXPECT_TRUE(failsToDecode<ContentHistoryPolicy>(
            quoted(text),
            {Kind::dataCorrupted, "<root>",
             "Cannot initialize ContentHistoryPolicy from invalid value " + quoted(text) + "."}))
            << text;
    }
}

const ProtectedPath zshrc{
    .id = ProtectedPathID(uuid("5B0E4C1E-2D3A-4F6B-8C7D-9E0F1A2B3C4D")),
    .configuredPath = "~/.zshrc",
    .normalizedPath = NormalizedPath("~/.zshrc", "/Users/ana"),
    .category = PathCategory::shellStartup,
    .recursive = false,
    .contentPolicy = ContentHistoryPolicy::encryptedVersions,
};

constexpr std::string_view zshrcJSON =
    R"({"id":{"value":"5B0E4C1E-2D3A-4F6B-8C7D-9E0F1A2B3C4D"},"configuredPath":"~/.zshrc",)"
    R"("normalizedPath":{"value":"/Users/ana/.zshrc"},"category":"shellStartup",)"
    R"("recursive":false,"contentPolicy":"encryptedVersions"})";

TEST(ProtectedPathTests, encodesEveryFieldUnderItsNameInFieldOrder) {
    EXPECT_EQ(encodeJSONText(zshrc), zshrcJSON);
    EXPECT_EQ(decodeJSONText<ProtectedPath>(zshrcJSON), zshrc);
    const ProtectedPath directory{
        .id = ProtectedPathID(uuid("00000000-0000-4000-8000-000000000001")),
        .configuredPath = "/usr/local/bin/",
        .normalizedPath = NormalizedPath("/usr/local/bin/", "/"),
        .category = PathCategory::executableDirectory,
        .recursive = true,
        .contentPolicy = ContentHistoryPolicy::metadataOnly,
    };
    EXPECT_EQ(roundTrip(directory), directory);
}

TEST(ProtectedPathTests, requiresEveryKey) {
    for (const std::string key :
         {"id", "configuredPath", "normalizedPath", "category", "recursive", "contentPolicy"}) {
        SCOPED_TRACE(key);
        Json missing = Json::parse(zshrcJSON);
        missing.erase(key);
        EXPECT_TRUE(failsToDecode<ProtectedPath>(
            serializeJSON(missing),
            {Kind::keyNotFound, key, "No value associated with key \"" + key + "\"."}));
    }
}

TEST(ProtectedPathTests, rejectsUnacceptableFieldValuesAtTheirKey) {
    struct Case {
        std::string key;
        Json value;
        quorin::testing::ExpectedDecodingError expected;
    };
    const Case cases[] = {
        {"category",
         "Ssh",
         {Kind::dataCorrupted, "category",
          "Cannot initialize PathCategory from invalid value \"Ssh\"."}},
        {"contentPolicy",
         "MetadataOnly",
         {Kind::dataCorrupted, "contentPolicy",
          "Cannot initialize ContentHistoryPolicy from invalid value \"MetadataOnly\"."}},
        {"normalizedPath",
         {{"value", "/Users/ana/../ana/.zshrc"}},
         {Kind::dataCorrupted, "normalizedPath.value",
          "NormalizedPath requires a canonical path."}},
        {"normalizedPath",
         {{"value", "~/.zshrc"}},
         {Kind::dataCorrupted, "normalizedPath.value",
          "NormalizedPath requires an absolute path."}},
        {"recursive",
         "true",
         {Kind::typeMismatch, "recursive", "Expected Bool but found a string instead."}},
    };
    for (const auto& [key, value, expected] : cases) {
        SCOPED_TRACE(key + " = " + serializeJSON(value));
        Json json = Json::parse(zshrcJSON);
        json[key] = value;
        EXPECT_TRUE(failsToDecode<ProtectedPath>(serializeJSON(json), expected));
    }
}

}  // namespace
}  // namespace quorin
