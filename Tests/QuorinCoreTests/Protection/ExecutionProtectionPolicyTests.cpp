#include "QuorinCore/Protection/ExecutionProtectionPolicy.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorin {
namespace {

using Reason = ExecutionExplanation::Reason;

constexpr ExecutionFileVersion version{1, 2, 3, 4, 5, 6, 7};
constexpr Date now{1'000};

ExecutionCandidate candidate(std::string path, ExecutionFileVersion fileVersion = version) {
    return ExecutionCandidate{std::move(path), fileVersion, false, true, false, "", "", "/bin/sh"};
}

using C = ExecutionProtectionConfiguration;

const C watchingOpt{.enabled = true, .executableRoots = {"/opt/bin"}};

// `watchingOpt` with one field replaced.
template <class Field>
C with(Field C::*field, Field value) {
    C result = watchingOpt;
    result.*field = std::move(value);
    return result;
}

TEST(ExecutionProtectionPolicyTest, Reasons) {
    struct Case {
        std::string name;
        ExecutionCandidate candidate;
        C configuration;
        std::vector<Reason> reasons;
    };
    using enum ExecutionExplanation::Reason;
    ExecutionCandidate platform = candidate("/opt/bin/new");
    platform.platformBinary = true;
    const C referenced =
        with(&C::references, {{"/opt/bin/new", Date{now.timeIntervalSinceReferenceDate + 1}}});
    C disabled = referenced;
    disabled.enabled = false;
    const C baselined = with(&C::baseline, {{"/opt/bin/tool", version}});
    const std::vector<Case> cases{
        {"new under a root", candidate("/opt/bin/tool"), watchingOpt, {notInBaseline}},
        {"the root itself", candidate("/opt/bin"), watchingOpt, {notInBaseline}},
        {"a sibling of the root", candidate("/opt/binary"), watchingOpt, {}},
        {"every path under /",
         candidate("/usr/bin/x"),
         with(&C::executableRoots, {"/"}),
         {notInBaseline}},
        {"a root with a trailing slash holds only itself",
         candidate("/opt/bin/tool"),
         with(&C::executableRoots, {"/opt/bin/"}),
         {}},
        {"a root with a trailing slash, equal",
         candidate("/opt/bin/"),
         with(&C::executableRoots, {"/opt/bin/"}),
         {notInBaseline}},
        {"in the baseline", candidate("/opt/bin/tool"), baselined, {}},
        {"changed in the nanoseconds only",
         candidate("/opt/bin/tool", ExecutionFileVersion{1, 2, 3, 4, 5, 6, 8}),
         baselined,
         {changedSinceBaseline}},
        {"changed in the inode only",
         candidate("/opt/bin/tool", ExecutionFileVersion{1, 9, 3, 4, 5, 6, 7}),
         baselined,
         {changedSinceBaseline}},
        {"an alias target outside every root",
         candidate("/usr/local/Cellar/tool"),
         with(&C::executableAliases, {{"/opt/bin/tool", "/usr/local/Cellar/tool"}}),
         {notInBaseline}},
        {"an alias key counts only through the roots",
         candidate("/elsewhere/link"),
         with(&C::executableAliases, {{"/elsewhere/link", "/usr/local/Cellar/tool"}}),
         {}},
        {"referenced a second from now, new",
         candidate("/opt/bin/new"),
         referenced,
         {notInBaseline, recentPersistenceReference}},
        {"referenced exactly now",
         candidate("/opt/bin/new"),
         with(&C::references, {{"/opt/bin/new", now}}),
         {notInBaseline}},
        {"referenced outside every root",
         candidate("/tmp/x"),
         with(&C::references, {{"/tmp/x", Date{2'000}}}),
         {recentPersistenceReference}},
        {"disabled", candidate("/opt/bin/new"), disabled, {}},
        {"a platform binary", platform, referenced, {}},
    };
    for (const Case& sample : cases) {
        EXPECT_EQ(ExecutionProtectionPolicy::reasons(sample.candidate, sample.configuration, now),
                  sample.reasons)
            << sample.name;
        EXPECT_EQ(ExecutionProtectionPolicy::shouldAsk(sample.candidate, sample.configuration, now),
                  !sample.reasons.empty())
            << sample.name;
    }
}

}  // namespace
}  // namespace quorin
