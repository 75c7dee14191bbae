// The scan behind `quorin protect enable`, on a temporary tree.

#include "TestSupport/TemporaryDirectory.hpp"
#include "quorin/ExecutableRootScan.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorin {
namespace {

using cli::ExecutableRootScan;

// The version of the file at `path`, field by field from its status.
ExecutionFileVersion versionOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0);
    return {.device = static_cast<std::int64_t>(status.st_dev),
            .inode = status.st_ino,
            .size = status.st_size,
            .modifiedSeconds = status.st_mtim.tv_sec,
            .modifiedNanoseconds = status.st_mtim.tv_nsec,
            .changedSeconds = status.st_ctim.tv_sec,
            .changedNanoseconds = status.st_ctim.tv_nsec};
}

// root/
//   tool (0755), data.txt (0644)
//   sub/deeper/run.sh (0700), sub/bad\xff (0755, a name that is not UTF-8)
//   link-to-tool -> tool, dangling -> missing, dirlink -> sub
TEST(ExecutableRootScanTest, CollectsExecutablesAndLinksWithoutFollowingLinksWithinItsLimits) {
    const testing::TemporaryDirectory directory;
    const std::string root = std::filesystem::canonical(directory.path()).string();
    std::filesystem::create_directories(directory / "sub/deeper");
    for (const auto& [name, mode] : {std::pair{"tool", 0755},
                                     {"data.txt", 0644},
                                     {"sub/deeper/run.sh", 0700},
                                     {"sub/bad\xff", 0755}}) {
        ::chmod(directory.write(name, name).c_str(), static_cast<mode_t>(mode));
    }
    std::filesystem::create_symlink("tool", directory / "link-to-tool");
    std::filesystem::create_symlink("missing", directory / "dangling");
    std::filesystem::create_directory_symlink("sub", directory / "dirlink");
    const ExecutableRootScan scan = ExecutableRootScan::scanning({root});
    EXPECT_EQ(scan.roots, std::vector<std::string>{root});
    EXPECT_EQ(scan.baseline,
              (std::map<std::string, ExecutionFileVersion>{
                  {root + "/sub/deeper/run.sh", versionOf(root + "/sub/deeper/run.sh")},
                  {root + "/tool", versionOf(root + "/tool")}}));
    EXPECT_EQ(scan.aliases,
              (std::map<std::string, std::string>{{root + "/dangling", "missing"},
                                                  {root + "/dirlink", root + "/sub"},
                                                  {root + "/link-to-tool", root + "/tool"}}));
    EXPECT_EQ(scan.omissions,
              std::vector<std::string>{root + "/sub/bad\xff: the name is not UTF-8 text"});
    // Roots are canonical, once each.
    EXPECT_EQ(
        ExecutableRootScan::scanning({root + "/sub/deeper/..", root + "/dirlink", root + "/./sub/"})
            .roots,
        std::vector<std::string>{root + "/sub"});

    struct Case {
        std::vector<std::string> roots;
        cli::ExecutableRootScanLimits limits;
        std::string error;
    };
    const std::vector<Case> cases{
        {{root + "/nothing"}, {}, "cannot protect " + root + "/nothing: No such file or directory"},
        {{root + "/tool"}, {}, "cannot protect " + root + "/tool: it is not a directory"},
        {{root, root + "/sub"}, {.roots = 1}, "more than 1 roots, more than the daemon accepts"},
        {{root},
         {.baselineEntries = 1},
         "the roots hold more than 1 executables, more than the daemon accepts in the baseline"},
        {{root},
         {.aliases = 2},
         "the roots hold more than 2 symbolic links, more than the daemon accepts as aliases"},
        // Exactly at the limits is accepted.
        {{root, root}, {.roots = 1, .baselineEntries = 2, .aliases = 3}, "(no error)"},
    };
    for (const Case& sample : cases) {
        std::string error = "(no error)";
        try {
            (void)ExecutableRootScan::scanning(sample.roots, sample.limits);
        } catch (const std::runtime_error& failure) {
            error = failure.what();
        }
        EXPECT_EQ(error, sample.error);
    }
}

}  // namespace
}  // namespace quorin
