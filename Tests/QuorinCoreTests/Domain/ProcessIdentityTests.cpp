#include "QuorinCore/Domain/Identifiers.hpp"
#include "QuorinCore/Domain/ProcessIdentity.hpp"
#include "TestSupport/JSONTesting.hpp"

#include <gtest/gtest.h>

#include <string>
#include <unordered_set>

namespace quorin {
namespace {

using testing::failsToDecode;
using testing::uuid;
using Kind = DecodingError::Kind;

const auto processUUID = "9F2C7A4E-1B3D-4C5E-8F60-718293A4B5C6";
const auto parentUUID = "0A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9";

ProcessIdentity minimalProcess() {
    return ProcessIdentity{
        .id = ProcessID(uuid(processUUID)),
        .pid = 4242,
        .auditToken = "token-1",
        .parentID = {},
        .responsibleID = {},
        .executablePath = NormalizedPath("/usr/bin/curl", ""),
        .executableSHA256 = {},
        .signing = CodeSigningIdentity{CodeSigningStatus::platform, {}, {}, {}},
        .observedAt = Date{700'000'000.5},
    };
}

TEST(Identifiers, DecodeOnlyFromAnObjectWithValue) {
    EXPECT_EQ(decodeJSONText<EventID>(R"({"value": "9f2c7a4e-1b3d-4c5e-8f60-718293a4b5c6"})"),
              EventID(uuid(processUUID)));
    EXPECT_TRUE(failsToDecode<EventID>(std::string("\"") + processUUID + "\"",
                                       {Kind::typeMismatch, "<root>", ""}));
    EXPECT_TRUE(failsToDecode<EventID>("{}", {Kind::keyNotFound, "value", ""}));
    EXPECT_TRUE(
        failsToDecode<EventID>(R"({"value": "not-a-uuid"})", {Kind::dataCorrupted, "value", ""}));
    EXPECT_TRUE(failsToDecode<EventID>(R"({"value": 7})", {Kind::typeMismatch, "value", ""}));
}

TEST(Identifiers, EncodeUpperCaseAndHashByValue) {
    const IncidentID id(uuid("abcdef01-2345-4678-9abc-def012345678"));
    EXPECT_EQ(encodeJSONText(id), R"({"value":"ABCDEF01-2345-4678-9ABC-DEF012345678"})");
    const std::unordered_set<IncidentID> set{id, IncidentID(id.value)};
    EXPECT_EQ(set.size(), 1U);
    static_assert(!std::is_convertible_v<ProcessID, EventID>);
    static_assert(!std::is_constructible_v<EventID, ProcessID>);
}

TEST(ProcessIdentityJSON, OmitsAbsentOptionalsAndWritesKeysInFieldOrder) {
    EXPECT_EQ(
        encodeJSONText(minimalProcess()),
        std::string(R"({"id":{"value":")") + processUUID +
            R"("},"pid":4242,"auditToken":"token-1","executablePath":{"value":"/usr/bin/curl"},)"
            R"("signing":{"status":"platform"},"observedAt":700000000.5})");

    auto full = minimalProcess();
    full.parentID = ProcessID(uuid(parentUUID));
    full.responsibleID = ProcessID(uuid(parentUUID));
    full.executableSHA256 = std::string(64, 'a');
    const Json json = encodeJSON(full);
    std::vector<std::string> keys;
    for (const auto& item : json.items()) {
        keys.push_back(item.key());
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"id", "pid", "auditToken", "parentID",
                                              "responsibleID", "executablePath", "executableSHA256",
                                              "signing", "observedAt"}));
    EXPECT_EQ(testing::roundTrip(full), full);
    EXPECT_EQ(testing::roundTrip(minimalProcess()), minimalProcess());
}

TEST(ProcessIdentityJSON, EqualityCoversTheIdentifier) {
    auto other = minimalProcess();
    other.id = ProcessID(uuid(parentUUID));
    EXPECT_NE(other, minimalProcess());
}

TEST(ProcessIdentityJSON, RejectsHostileInput) {
    Json base = encodeJSON(minimalProcess());
    const struct {
        const char* key;
        Json value;
        testing::ExpectedDecodingError expected;
    } cases[] = {
        {"pid",
         2147483648LL,
         {Kind::dataCorrupted, "pid", "Number 2147483648 does not fit in Int32."}},
        {"pid", 1.5, {Kind::dataCorrupted, "pid", "Number 1.5 does not fit in Int32."}},
        {"pid", "42", {Kind::typeMismatch, "pid", ""}},
        {"auditToken", nullptr, {Kind::valueNotFound, "auditToken", ""}},
        {"executablePath",
         Json{{"value", "usr/bin"}},
         {Kind::dataCorrupted, "executablePath.value",
          "NormalizedPath requires an absolute path."}},
        {"executablePath",
         Json{{"value", "/usr/bin/"}},
         {Kind::dataCorrupted, "executablePath.value",
          "NormalizedPath requires a canonical path."}},
        {"parentID", parentUUID, {Kind::typeMismatch, "parentID", ""}},
        {"signing", Json{{"status", "Platform"}}, {Kind::dataCorrupted, "signing.status", ""}},
        {"observedAt", "yesterday", {Kind::typeMismatch, "observedAt", ""}},
    };
    for (const auto& c : cases) {
        Json json = base;
        json[c.key] = c.value;
        EXPECT_TRUE(failsToDecode<ProcessIdentity>(serializeJSON(json), c.expected)) << c.key;
    }
    for (const char* key : {"id", "pid", "auditToken", "executablePath", "signing", "observedAt"}) {
        Json json = base;
        json.erase(key);
        EXPECT_TRUE(
            failsToDecode<ProcessIdentity>(serializeJSON(json), {Kind::keyNotFound, key, ""}))
            << key;
    }
}

}  // namespace
}  // namespace quorin
