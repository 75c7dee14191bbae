#include "QuorinCore/Protection/ExecutionProtectionConfigurationAcceptance.hpp"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorin {
namespace {

using Acceptance = ExecutionProtectionConfigurationAcceptance;
using C = ExecutionProtectionConfiguration;
using enum ConfigurationRejection;

constexpr Date now{10'000};

const C base{.enabled = true, .executableRoots = {"/Users/ana/bin"}};

std::optional<ConfigurationRejection> rejection(const std::string& encoded) {
    const auto result = Acceptance::accept(encoded, "/Users/ana", now);
    if (const auto* refused = std::get_if<ConfigurationRejection>(&result)) {
        return *refused;
    }
    EXPECT_EQ(std::get<C>(result), decodeJSONText<C>(encoded));
    return std::nullopt;
}

// The base with one field replaced.
template <class Field>
C with(Field C::*field, Field value) {
    C result = base;
    result.*field = std::move(value);
    return result;
}

// `count` entries "/Users/ana/bin/x0", "/Users/ana/bin/x1", … with `value`.
template <class Value>
std::map<std::string, Value> entries(std::size_t count, Value value) {
    std::map<std::string, Value> result;
    for (std::size_t index = 0; index < count; ++index) {
        result.emplace("/Users/ana/bin/x" + std::to_string(index), value);
    }
    return result;
}

std::vector<std::string> roots(std::size_t count) {
    std::vector<std::string> result;
    for (const auto& [path, unused] : entries(count, 0)) {
        result.push_back(path);
    }
    return result;
}

TEST(ExecutionProtectionConfigurationAcceptanceTest, LimitsAtTheirBoundaries) {
    const Date inAnHour = now.addingTimeInterval(3'600);
    struct Case {
        std::string name;
        C configuration;
        std::optional<ConfigurationRejection> rejection;
    };
    const ExecutionFileVersion version{1, 2, 3, 4, 5, 6, 7};
    const std::string t = "/t";
    const std::vector<Case> cases{
        {"the base", base, std::nullopt},
        {"256 roots", with(&C::executableRoots, roots(256)), std::nullopt},
        {"257 roots", with(&C::executableRoots, roots(257)), tooManyRoots},
        {"2,000 references", with(&C::references, entries(2'000, now)), std::nullopt},
        {"2,001 references", with(&C::references, entries(2'001, now)), tooManyReferences},
        {"20,000 baseline entries", with(&C::baseline, entries(20'000, version)), std::nullopt},
        {"20,001 baseline entries", with(&C::baseline, entries(20'001, version)),
         tooManyBaselineEntries},
        {"20,000 aliases", with(&C::executableAliases, entries(20'000, t)), std::nullopt},
        {"20,001 aliases", with(&C::executableAliases, entries(20'001, t)), tooManyAliases},
        {"a reference an hour ahead", with(&C::references, {{"/tmp/x", inAnHour}}), std::nullopt},
        {"a reference an hour and a second ahead",
         with(&C::references, {{"/tmp/x", inAnHour.addingTimeInterval(1)}}), invalidReference},
        {"a reference in the past", with(&C::references, {{"/tmp/x", Date{0}}}), std::nullopt},
        {"a relative reference", with(&C::references, {{"tmp/x", now}}), invalidReference},
        {"a reference with NUL", with(&C::references, {{std::string("/tmp/a\0b", 8), now}}),
         invalidReference},
        {"a reference of 4,096 bytes", with(&C::references, {{"/" + std::string(4'095, 'x'), now}}),
         std::nullopt},
        {"a reference of 4,097 bytes", with(&C::references, {{"/" + std::string(4'096, 'x'), now}}),
         invalidReference},
        {"an alias key outside the roots",
         with(&C::executableAliases, {{"/Users/ana/other/l", "/t"}}), keyOutsideRoots},
        {"a baseline key outside the roots", with(&C::baseline, {{"/Users/ana/binary", version}}),
         keyOutsideRoots},
        {"alias values need not be under a root",
         with(&C::executableAliases, {{"/Users/ana/bin/l", "/opt/t"}}), std::nullopt},
        {"a shared root", with(&C::executableRoots, {"/usr/local/bin"}), std::nullopt},
        {"another user's directory", with(&C::executableRoots, {"/Users/bob/bin"}),
         rootNotPermitted},
        {"a root that is not canonical", with(&C::executableRoots, {"/Users/ana/bin/"}),
         rootNotPermitted},
        {"the whole machine", with(&C::executableRoots, {"/"}), rootNotPermitted},
    };
    for (const Case& sample : cases) {
        EXPECT_EQ(rejection(encodeJSONText(sample.configuration)), sample.rejection) << sample.name;
    }
}

TEST(ExecutionProtectionConfigurationAcceptanceTest, SizeAndDecoding) {
    // Trailing white space keeps the document valid while it grows to the limit.
    std::string encoded = encodeJSONText(base);
    encoded.resize(Acceptance::maximumEncodedBytes, ' ');
    EXPECT_EQ(rejection(encoded), std::nullopt);
    encoded.push_back(' ');
    EXPECT_EQ(rejection(encoded), tooLarge);
    for (const std::string text : {"", "{", "[]", R"({"enabled":true})",
                                   R"({"enabled":1,"executableRoots":[],"executableAliases":{},)"
                                   R"("baseline":{},"references":{}})"}) {
        EXPECT_EQ(rejection(text), undecodable) << text;
    }
}

}  // namespace
}  // namespace quorin
