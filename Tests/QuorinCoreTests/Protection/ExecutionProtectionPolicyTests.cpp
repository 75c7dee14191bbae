#include "QuorinCore/Protection/ExecutionProtectionPolicy.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorin {
namespace {

using C = ExecutionProtectionConfiguration;
using Reason = ExecutionExplanation::Reason;
using enum ExecutionExplanation::Reason;

constexpr ExecutionFileVersion version{1, 2, 3, 4, 5, 6, 7};
constexpr Date now{1'000};
const C watchingOpt{.enabled = true, .executableRoots = {"/opt/bin"}};

ExecutionCandidate file(std::string path, ExecutionFileVersion fileVersion = version) {
    return ExecutionCandidate{std::move(path), fileVersion, false, true, false, "", "", "/bin/sh"};
}

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
    ExecutionCandidate platform = file("/opt/bin/new");
    platform.platformBinary = true;
    const C referenced = with(&C::references, {{"/opt/bin/new", Date{1'001}}});
    C disabled = referenced;
    disabled.enabled = false;
    const C baselined = with(&C::baseline, {{"/opt/bin/tool", version}});
    const C slashed = with(&C::executableRoots, {"/opt/bin/"});
    const C linked = with(&C::executableAliases, {{"/opt/bin/tool", "/usr/local/Cellar/tool"}});
    const C linkedOutside =
        with(&C::executableAliases, {{"/elsewhere/link", "/usr/local/Cellar/tool"}});
    const C everything = with(&C::executableRoots, {"/"});
    const C referencedNow = with(&C::references, {{"/opt/bin/new", now}});
    const C referencedOutside = with(&C::references, {{"/tmp/x", Date{2'000}}});
    const std::vector<Reason> none{}, asked{notInBaseline}, changed{changedSinceBaseline},
        outsideRoots{recentPersistenceReference}, both{notInBaseline, recentPersistenceReference};
    const std::vector<Case> cases{
        {"new under a root", file("/opt/bin/tool"), watchingOpt, asked},
        {"the root itself", file("/opt/bin"), watchingOpt, asked},
        {"a sibling of the root", file("/opt/binary"), watchingOpt, none},
        {"every path under /", file("/usr/bin/x"), everything, asked},
        {"a root with a trailing slash holds only itself", file("/opt/bin/tool"), slashed, none},
        {"a root with a trailing slash, equal", file("/opt/bin/"), slashed, asked},
        {"in the baseline", file("/opt/bin/tool"), baselined, none},
        {"changed in the nanoseconds only", file("/opt/bin/tool", {1, 2, 3, 4, 5, 6, 8}), baselined,
         changed},
        {"changed in the inode only", file("/opt/bin/tool", {1, 9, 3, 4, 5, 6, 7}), baselined,
         changed},
        {"an alias target outside every root", file("/usr/local/Cellar/tool"), linked, asked},
        {"an alias key counts only through the roots", file("/elsewhere/link"), linkedOutside,
         none},
        {"referenced a second from now, new", file("/opt/bin/new"), referenced, both},
        {"referenced exactly now", file("/opt/bin/new"), referencedNow, asked},
        {"referenced outside every root", file("/tmp/x"), referencedOutside, outsideRoots},
        {"disabled", file("/opt/bin/new"), disabled, none},
        {"a platform binary", platform, referenced, none},
    };
    for (const Case& sample : cases) {
        SCOPED_TRACE(sample.name);
        EXPECT_EQ(ExecutionProtectionPolicy::reasons(sample.candidate, sample.configuration, now),
                  sample.reasons);
        EXPECT_EQ(ExecutionProtectionPolicy::shouldAsk(sample.candidate, sample.configuration, now),
                  !sample.reasons.empty());
    }
}

}  // namespace
}  // namespace quorin
