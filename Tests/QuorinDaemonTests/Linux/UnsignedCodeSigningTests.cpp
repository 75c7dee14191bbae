#include "QuorinDaemon/Platform/Linux/UnsignedCodeSigning.hpp"

#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

namespace quorin::daemon {
namespace {

TEST(UnsignedCodeSigningTest, EveryReadableFileIsUnsigned) {
    const quorin::testing::TemporaryDirectory directory;
    const std::string tool = directory.write("tool", "#!/bin/sh\n").string();
    UnsignedCodeSigning signing;

    const auto code = signing.SecStaticCodeCreateWithPath(tool);
    ASSERT_EQ(code.status, errSecSuccess);
    EXPECT_EQ(signing.SecStaticCodeCheckValidity(*code.value, nullptr), errSecCSUnsigned);
    const auto requirement = signing.SecRequirementCreateWithString("identifier \"x\"");
    ASSERT_EQ(requirement.status, errSecSuccess);
    EXPECT_EQ(signing.SecRequirementCopyString(*requirement.value).value, "identifier \"x\"");
    EXPECT_EQ(signing.SecStaticCodeCheckValidity(*code.value, &*requirement.value),
              errSecCSUnsigned);
    EXPECT_EQ(signing.SecCodeCopyDesignatedRequirement(*code.value).status, errSecCSUnsigned);

    // A file that cannot be read has no code, which is not the same as unsigned code.
    const std::string missing = (directory / "missing").string();
    EXPECT_EQ(signing.SecStaticCodeCreateWithPath(missing).status,
              UnsignedCodeSigning::unreadableFileStatus);
    EXPECT_EQ(signing.SecStaticCodeCheckValidity(SecStaticCode{missing}, nullptr),
              UnsignedCodeSigning::unreadableFileStatus);
}

}  // namespace
}  // namespace quorin::daemon
