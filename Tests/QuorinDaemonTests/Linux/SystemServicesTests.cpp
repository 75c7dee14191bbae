// The small Linux back ends: the clock, the account database and code signing.

#include "QuorinDaemon/Platform/Linux/SystemClock.hpp"
#include "QuorinDaemon/Platform/Linux/SystemPasswordDatabase.hpp"
#include "QuorinDaemon/Platform/Linux/UnsignedCodeSigning.hpp"

#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <pwd.h>
#include <time.h>
#include <unistd.h>

namespace quorin::daemon {
namespace {

TEST(SystemClockTest, CountsMonotonicNanosecondsAndReadsTheWallClock) {
    const SystemClock clock;
    EXPECT_EQ(clock.timebase(), Timebase(1, 1));
    std::uint64_t previous = clock.absoluteTime();
    for (int read = 0; read < 1000; ++read) {
        const std::uint64_t ticks = clock.absoluteTime();
        EXPECT_GE(ticks, previous);
        previous = ticks;
    }
    const double before = static_cast<double>(::time(nullptr));
    const double now = clock.now().unixTime();
    EXPECT_GE(now, before);
    EXPECT_LT(now, before + 2);
}

TEST(SystemPasswordDatabaseTest, FindsHomeDirectoriesOfKnownUsersOnly) {
    const SystemPasswordDatabase passwords;
    EXPECT_EQ(passwords.homeDirectory(0), "/root");
    // The largest user id is reserved ((uid_t) -1) and never has an entry.
    EXPECT_EQ(passwords.homeDirectory(4'294'967'295U), std::nullopt);
    const struct passwd* own = ::getpwuid(::getuid());
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(passwords.homeDirectory(::getuid()), std::string(own->pw_dir));
}

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
