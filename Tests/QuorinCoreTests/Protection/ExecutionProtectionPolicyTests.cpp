#include "QuorinCore/Protection/ExecutionProtectionPolicy.hpp"

#include <gtest/gtest.h>

namespace quorin {
namespace {

using C = ExecutionProtectionConfiguration;
using Reason = ExecutionExplanation::Reason;
using enum ExecutionExplanation::Reason;

constexpr ExecutionFileVersion version{1, 2, 3, 4, 5, 6, 7};
constexpr Date now{1'000};

ExecutionCandidate file(std::string path, ExecutionFileVersion fileVersion = version) {
    return ExecutionCandidate{std::move(path), fileVersion, false, true, false, "", "",
                              "/bin/sh",       nullptr};
}

// Protection on for /opt/bin, with one field replaced.
template <class Field>
C with(Field C::*field, Field value) {
    C result{.enabled = true, .executableRoots = {"/opt/bin"}};
    result.*field = std::move(value);
    return result;
}

// Which paths a root holds is the path authorization's; here, how the rest adds to it.
TEST(ExecutionProtectionPolicyTest, Reasons) {
    const ExecutionCandidate tool = file("/opt/bin/tool"), fresh = file("/opt/bin/new");
    ExecutionCandidate platform = fresh;
    platform.platformBinary = true;
    const C referenced = with(&C::references, {{"/opt/bin/new", Date{1'001}}});
    C disabled = referenced;
    disabled.enabled = false;
    const C referencedNow = with(&C::references, {{"/opt/bin/new", now}});
    const C referencedOutside = with(&C::references, {{"/x", Date{2'000}}});
    const C baselined = with(&C::baseline, {{"/opt/bin/tool", version}});
    const C linked = with(&C::executableAliases, {{"/x/link", "/usr/local/Cellar/tool"}});
    const std::vector<Reason> none{}, asked{notInBaseline}, changed{changedSinceBaseline},
        referencedOnly{recentPersistenceReference}, both{notInBaseline, recentPersistenceReference};
    const struct {
        const char* name;
        ExecutionCandidate candidate;
        C configuration;
        std::vector<Reason> reasons;
    } cases[] = {
        {"new under a root", fresh, baselined, asked},
        {"in the baseline", tool, baselined, none},
        {"changed in the nanoseconds only", file(tool.path, {1, 2, 3, 4, 5, 6, 8}), baselined,
         changed},
        {"an alias target outside every root", file("/usr/local/Cellar/tool"), linked, asked},
        {"an alias key counts only through the roots", file("/x/link"), linked, none},
        {"referenced a second from now, new", fresh, referenced, both},
        {"referenced exactly now", fresh, referencedNow, asked},
        {"referenced outside every root", file("/x"), referencedOutside, referencedOnly},
        {"disabled", fresh, disabled, none},
        {"a platform binary", platform, referenced, none},
        {"no path, whatever the roots",
         file(""),
         with(&C::executableRoots, {}),
         {noPathInFileSystem}},
        {"no path, protection off", file(""), disabled, none},
    };
    for (const auto& sample : cases) {
        SCOPED_TRACE(sample.name);
        EXPECT_EQ(ExecutionProtectionPolicy::reasons(sample.candidate, sample.configuration, now),
                  sample.reasons);
        EXPECT_EQ(ExecutionProtectionPolicy::shouldAsk(sample.candidate, sample.configuration, now),
                  !sample.reasons.empty());
    }
}

}  // namespace
}  // namespace quorin
