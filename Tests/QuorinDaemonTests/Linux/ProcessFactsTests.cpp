#include "QuorinDaemon/Platform/Linux/ProcessFacts.hpp"

#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

namespace quorin::daemon {
namespace {

TEST(ProcessFactsTest, ReadsTheRealUserAndExecutableOfALiveProcessOnly) {
    const std::optional<ProcessFacts> own = ProcessFacts::of(::getpid());
    ASSERT_TRUE(own.has_value());
    EXPECT_EQ(own->realUserID, ::getuid());
    EXPECT_EQ(own->executable, std::filesystem::read_symlink("/proc/self/exe").string());
    EXPECT_EQ(ProcessFacts::of(-1), std::nullopt);

    // A process table where the process has gone between the event and the read.
    const quorin::testing::TemporaryDirectory proc;
    std::filesystem::create_directory(proc / "77");
    EXPECT_EQ(ProcessFacts::of(77, proc.path().string()), std::nullopt);
    proc.write("77/status", "Name:\tsh\nUid:\t501\t0\t0\t0\n");
    const std::optional<ProcessFacts> gone = ProcessFacts::of(77, proc.path().string());
    ASSERT_TRUE(gone.has_value());
    EXPECT_EQ(gone->realUserID, 501U);  // the real id, not the effective one
    EXPECT_EQ(gone->executable, "");
}

TEST(ProcessFactsTest, PlatformBinariesAreRootsFilesInSystemDirectories) {
    const quorin::testing::TemporaryDirectory temporary;
    struct Case {
        std::string path;
        bool platform;
    };
    const Case cases[] = {
        {"/usr/bin/env", true},
        {"/usr/bin", false},  // a directory
        {"/usrx/bin/env", false},
        {"/usr/bin/no-such-tool", false},
        {temporary.write("tool", "x").string(), false},
        {"", false},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(ProcessFacts::isPlatformBinary(test.path), test.platform) << test.path;
    }
}

}  // namespace
}  // namespace quorin::daemon
