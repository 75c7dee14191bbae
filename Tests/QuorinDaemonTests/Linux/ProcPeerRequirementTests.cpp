#include "QuorinDaemon/Platform/Linux/ProcPeerRequirement.hpp"

#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace quorin::daemon {
namespace {

TEST(ProcPeerRequirementTest, AdmitsOnlyExecutablesOnlyRootCouldHavePlaced) {
    const quorin::testing::TemporaryDirectory temporary;  // under the world-writable /tmp
    const std::filesystem::path own = temporary.write("tool", "x");
    struct Case {
        std::string path;
        bool admitted;
    };
    const Case cases[] = {
        {"/usr/bin/env", true},
        {"usr/bin/env", false},  // not absolute
        {"/usr/bin", false},     // a directory
        {"/usr/bin/no-such-tool", false},
        {own.string(), false},  // in a directory others can write to
    };
    for (const Case& test : cases) {
        EXPECT_EQ(ProcPeerRequirement::isProtectedExecutable(test.path), test.admitted)
            << test.path;
    }
}

TEST(ProcPeerRequirementTest, JudgesAPeerByItsExecutable) {
    const ProcPeerRequirement requirement;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    EXPECT_EQ(requirement.satisfies(::getpid(), "anything"),
              ProcPeerRequirement::isProtectedExecutable(self.string()));
    EXPECT_FALSE(requirement.satisfies(-1, "anything"));
}

}  // namespace
}  // namespace quorin::daemon
