// The scan behind `quorin protect enable`, on a temporary tree.

#include "TestSupport/TemporaryDirectory.hpp"
#include "quorin/ExecutableRootScan.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorin {
namespace {

using cli::ExecutableRootScan;
using cli::ExecutableRootScanLimits;
using testing::TemporaryDirectory;
namespace fs = std::filesystem;

// root/
//   tool (0755), data.txt (0644)
//   sub/notes (0600), sub/deeper/run.sh (0700), sub/bad\xff (0755, a name that is not UTF-8)
//   link-to-tool -> tool, dangling -> missing, dirlink -> sub
class ExecutableRootScanTest : public ::testing::Test {
  protected:
    ExecutableRootScanTest() : root(fs::canonical(directory.path()).string()) {
        fs::create_directories(directory / "sub/deeper");
        make("tool", "#!/bin/sh\n", 0755);
        make("data.txt", "data", 0644);
        make("sub/notes", "notes", 0600);
        make("sub/deeper/run.sh", "#!/bin/sh\nexit 0\n", 0700);
        make("sub/bad\xff", "x", 0755);
        fs::create_symlink("tool", directory / "link-to-tool");
        fs::create_symlink("missing", directory / "dangling");
        fs::create_directory_symlink("sub", directory / "dirlink");
    }

    void make(const std::string& name, const std::string& content, mode_t mode) const {
        const fs::path file = directory.write(name, content);
        ::chmod(file.c_str(), mode);
    }

    std::string scanFailure(const std::vector<std::string>& roots,
                            const ExecutableRootScanLimits& limits = {}) const {
        try {
            (void)ExecutableRootScan::scanning(roots, limits);
        } catch (const std::runtime_error& error) {
            return error.what();
        }
        return "(no error)";
    }

    const TemporaryDirectory directory;
    const std::string root;
};

TEST_F(ExecutableRootScanTest,
       CollectsExecutablesAndLinksWithoutFollowingLinksAndNamesWhatItLeavesOut) {
    const ExecutableRootScan scan = ExecutableRootScan::scanning({root});
    EXPECT_EQ(scan.roots, std::vector<std::string>{root});

    std::vector<std::string> executables;
    for (const auto& [path, version] : scan.baseline) {
        executables.push_back(path);
    }
    EXPECT_EQ(executables, (std::vector<std::string>{root + "/sub/deeper/run.sh", root + "/tool"}));

    const std::map<std::string, std::string> aliases{
        {root + "/dangling", "missing"},
        {root + "/dirlink", root + "/sub"},
        {root + "/link-to-tool", root + "/tool"},
    };
    EXPECT_EQ(scan.aliases, aliases);
    EXPECT_EQ(scan.omissions,
              std::vector<std::string>{root + "/sub/bad\xff: the name is not UTF-8 text"});
}

TEST_F(ExecutableRootScanTest, RecordsTheFileVersionOfEachExecutable) {
    const std::string script = root + "/sub/deeper/run.sh";
    struct stat status {};
    ASSERT_EQ(::lstat(script.c_str(), &status), 0);
    const ExecutionFileVersion version = ExecutableRootScan::scanning({root}).baseline.at(script);
    EXPECT_EQ(version.size, 17);
    EXPECT_EQ(version.inode, status.st_ino);
    EXPECT_EQ(static_cast<std::uint64_t>(version.device), status.st_dev);
    EXPECT_EQ(version.modifiedSeconds, status.st_mtim.tv_sec);
    EXPECT_EQ(version.modifiedNanoseconds, status.st_mtim.tv_nsec);
    EXPECT_EQ(version.changedSeconds, status.st_ctim.tv_sec);
    EXPECT_EQ(version.changedNanoseconds, status.st_ctim.tv_nsec);
}

TEST_F(ExecutableRootScanTest, MakesRootsCanonicalOnceEach) {
    fs::create_directory_symlink(root + "/sub", directory / "sub-alias");
    const ExecutableRootScan scan = ExecutableRootScan::scanning(
        {root + "/sub/deeper/..", root + "/sub-alias", root + "/./sub/"});
    EXPECT_EQ(scan.roots, std::vector<std::string>{root + "/sub"});
    EXPECT_EQ(scan.baseline.size(), 1U);
}

TEST_F(ExecutableRootScanTest, RefusesRootsItCannotUseAndSaysWhichLimitIsExceeded) {
    struct Case {
        std::vector<std::string> roots;
        ExecutableRootScanLimits limits;
        std::string error;
    };
    const std::vector<Case> cases{
        {{root + "/nothing"}, {}, "cannot protect " + root + "/nothing: No such file or directory"},
        {{root + "/tool"}, {}, "cannot protect " + root + "/tool: it is not a directory"},
        {{root + "/dangling"},
         {},
         "cannot protect " + root + "/dangling: No such file or directory"},
        {{root, root + "/sub"}, {.roots = 1}, "more than 1 roots, more than the daemon accepts"},
        {{root},
         {.baselineEntries = 1},
         "the roots hold more than 1 executables, more than the daemon accepts in the baseline"},
        {{root},
         {.aliases = 2},
         "the roots hold more than 2 symbolic links, more than the daemon accepts as aliases"},
    };
    for (const Case& sample : cases) {
        EXPECT_EQ(scanFailure(sample.roots, sample.limits), sample.error);
    }
    // Exactly at the limits is accepted.
    EXPECT_EQ(scanFailure({root, root}, {.roots = 1, .baselineEntries = 2, .aliases = 3}),
              "(no error)");
}

}  // namespace
}  // namespace quorin
