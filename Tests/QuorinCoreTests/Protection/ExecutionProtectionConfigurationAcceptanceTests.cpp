#include "QuorinCore/Protection/ExecutionProtectionConfigurationAcceptance.hpp"

#include <gtest/gtest.h>

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

// Which roots a user may name is the path authorization's; here, that it is asked.
TEST(ExecutionProtectionConfigurationAcceptanceTest, LimitsAtTheirBoundaries) {
    const Date hour = now.addingTimeInterval(3'600), late = hour.addingTimeInterval(1);
    const ExecutionFileVersion v{1, 2, 3, 4, 5, 6, 7};
    const std::string ana = "/Users/ana/bin", t = "/t", path4096 = "/" + std::string(4'095, 'x');
    const std::string nul("/a\0b", 4), out = "/Users/ana/l";
    const std::nullopt_t ok = std::nullopt;
    const struct {
        const char* name;
        C configuration;
        std::optional<ConfigurationRejection> rejection;
    } cases[] = {
        {"256 roots", with(&C::executableRoots, std::vector(256, ana)), ok},
        {"257 roots", with(&C::executableRoots, std::vector(257, ana)), tooManyRoots},
        {"2,000 references", with(&C::references, entries(2'000, now)), ok},
        {"2,001 references", with(&C::references, entries(2'001, now)), tooManyReferences},
        {"20,000 baseline entries", with(&C::baseline, entries(20'000, v)), ok},
        {"20,001 baseline entries", with(&C::baseline, entries(20'001, v)), tooManyBaselineEntries},
        {"20,000 aliases", with(&C::executableAliases, entries(20'000, t)), ok},
        {"20,001 aliases", with(&C::executableAliases, entries(20'001, t)), tooManyAliases},
        {"a reference an hour ahead", with(&C::references, {{"/x", hour}}), ok},
        {"and a second", with(&C::references, {{"/x", late}}), invalidReference},
        {"a relative reference", with(&C::references, {{"x", now}}), invalidReference},
        {"a reference with NUL", with(&C::references, {{nul, now}}), invalidReference},
        {"a reference of 4,096 bytes", with(&C::references, {{path4096, now}}), ok},
        {"4,097 bytes", with(&C::references, {{path4096 + "x", now}}), invalidReference},
        {"an alias key outside the roots", with(&C::executableAliases, {{out, t}}),
         keyOutsideRoots},
        {"a baseline key outside the roots", with(&C::baseline, {{out, v}}), keyOutsideRoots},
        {"an alias value outside the roots", with(&C::executableAliases, {{ana + "/l", t}}), ok},
        {"another user's root", with(&C::executableRoots, {"/Users/bob/bin"}), rootNotPermitted},
    };
    for (const auto& sample : cases) {
        EXPECT_EQ(rejection(encodeJSONText(sample.configuration)), sample.rejection) << sample.name;
    }
    // Trailing white space keeps the document valid while it grows to the limit.
    std::string encoded = encodeJSONText(base);
    encoded.resize(Acceptance::maximumEncodedBytes, ' ');
    EXPECT_EQ(rejection(encoded), std::nullopt);
    EXPECT_EQ(rejection(encoded + ' '), tooLarge);
    EXPECT_EQ(rejection(R"({"enabled":true})"), undecodable);
}

}  // namespace
}  // namespace quorin
