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

TEST(ExecutionProtectionPolicyTest, Reasons) {
    ExecutionProtectionConfiguration watchingOpt{.enabled = true, .executableRoots = {"/opt/bin"}};
    struct Case {
        std::string name;
        ExecutionCandidate candidate;
        ExecutionProtectionConfiguration configuration;
        std::vector<Reason> reasons;
    };
    auto with = [&watchingOpt](auto change) {
        ExecutionProtectionConfiguration result = watchingOpt;
        change(result);
        return result;
    };
    ExecutionCandidate platform = candidate("/opt/bin/new");
    platform.platformBinary = true;
    const auto referenced = [](ExecutionProtectionConfiguration& c) {
        c.references["/opt/bin/new"] = Date{now.timeIntervalSinceReferenceDate + 1};
    };
    const std::vector<Case> cases{
        {"new under a root", candidate("/opt/bin/tool"), watchingOpt, {Reason::notInBaseline}},
        {"the root itself", candidate("/opt/bin"), watchingOpt, {Reason::notInBaseline}},
        {"a sibling of the root", candidate("/opt/binary"), watchingOpt, {}},
        {"every path under /",
         candidate("/usr/bin/x"),
         with([](auto& c) { c.executableRoots = {"/"}; }),
         {Reason::notInBaseline}},
        {"a root with a trailing slash holds only itself",
         candidate("/opt/bin/tool"),
         with([](auto& c) { c.executableRoots = {"/opt/bin/"}; }),
         {}},
        {"a root with a trailing slash, equal",
         candidate("/opt/bin/"),
         with([](auto& c) { c.executableRoots = {"/opt/bin/"}; }),
         {Reason::notInBaseline}},
        {"in the baseline",
         candidate("/opt/bin/tool"),
         with([](auto& c) { c.baseline["/opt/bin/tool"] = version; }),
         {}},
        {"changed in the nanoseconds only",
         candidate("/opt/bin/tool", ExecutionFileVersion{1, 2, 3, 4, 5, 6, 8}),
         with([](auto& c) { c.baseline["/opt/bin/tool"] = version; }),
         {Reason::changedSinceBaseline}},
        {"changed in the inode only",
         candidate("/opt/bin/tool", ExecutionFileVersion{1, 9, 3, 4, 5, 6, 7}),
         with([](auto& c) { c.baseline["/opt/bin/tool"] = version; }),
         {Reason::changedSinceBaseline}},
        {"an alias target outside every root",
         candidate("/usr/local/Cellar/tool"),
         with([](auto& c) { c.executableAliases["/opt/bin/tool"] = "/usr/local/Cellar/tool"; }),
         {Reason::notInBaseline}},
        {"an alias key counts only through the roots",
         candidate("/elsewhere/link"),
         with([](auto& c) { c.executableAliases["/elsewhere/link"] = "/usr/local/Cellar/tool"; }),
         {}},
        {"referenced a second from now, new",
         candidate("/opt/bin/new"),
         with(referenced),
         {Reason::notInBaseline, Reason::recentPersistenceReference}},
        {"referenced exactly now",
         candidate("/opt/bin/new"),
         with([](auto& c) { c.references["/opt/bin/new"] = now; }),
         {Reason::notInBaseline}},
        {"referenced outside every root",
         candidate("/tmp/x"),
         with([](auto& c) { c.references["/tmp/x"] = Date{2'000}; }),
         {Reason::recentPersistenceReference}},
        {"disabled",
         candidate("/opt/bin/new"),
         with([&referenced](auto& c) {
             referenced(c);
             c.enabled = false;
         }),
         {}},
        {"a platform binary", platform, with(referenced), {}},
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
