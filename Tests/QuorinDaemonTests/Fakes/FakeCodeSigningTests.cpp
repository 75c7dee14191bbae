// The fake signing service's own contract, which identity tests rely on.

#include "Fakes/FakeCodeSigning.hpp"

#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

namespace quorin::daemon::testing {
namespace {

TEST(FakeCodeSigningTest, SatisfiesTheDesignatedAndThePinnedRequirementOnly) {
    const quorin::testing::TemporaryDirectory directory;
    const std::string tool = directory.write("tool", "x").string();
    const std::string other = directory.write("other", "y").string();
    FakeCodeSigning signing;
    const std::string designated = "identifier \"com.example.tool\"";
    signing.sign(tool, {"TEAM123", "com.example.tool", designated});

    const SecStaticCode code = *signing.SecStaticCodeCreateWithPath(tool).value;
    EXPECT_EQ(signing.SecStaticCodeCheckValidity(code, nullptr), errSecSuccess);
    EXPECT_EQ(signing.SecCodeCopyDesignatedRequirement(code).value->text, designated);
    const SecRequirement pinned{pinnedRequirement(designated, "TEAM123", "com.example.tool")};
    EXPECT_EQ(signing.SecStaticCodeCheckValidity(code, &pinned), errSecSuccess);
    const SecRequirement otherTeam{pinnedRequirement(designated, "TEAM999", "com.example.tool")};
    EXPECT_NE(signing.SecStaticCodeCheckValidity(code, &otherTeam), errSecSuccess);

    const SecStaticCode unsignedCode = *signing.SecStaticCodeCreateWithPath(other).value;
    EXPECT_EQ(signing.SecStaticCodeCheckValidity(unsignedCode, nullptr), errSecCSUnsigned);
    EXPECT_NE(signing.SecStaticCodeCreateWithPath((directory / "missing").string()).status,
              errSecSuccess);

    signing.fail("SecCodeCopyDesignatedRequirement");
    EXPECT_EQ(signing.SecCodeCopyDesignatedRequirement(code).status,
              FakeCodeSigning::forcedFailure);
}

}  // namespace
}  // namespace quorin::daemon::testing
