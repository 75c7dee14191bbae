// Runs the built `quorin fingerprint` as a user would.

#include "TestSupport/ChildProcess.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorin {
namespace {

using testing::ChildProcessResult;
using testing::runChildProcess;

TEST(FingerprintCommandTest, PrintsTheFingerprintOfThePathsGiven) {
    struct Case {
        std::vector<std::string> paths;
        std::string out;
    };
    // The first 16 hexadecimal digits of the SHA-256 of "quorin-attribution-v2\0" and of
    // "quorin-attribution-v2\0/a\0/b".
    const std::vector<Case> cases{
        {{}, "3080e1e8da9c5bc3\n"},
        {{"/b", "/a"}, "b340cf7806105740\n"},
    };
    for (const Case& sample : cases) {
        std::vector<std::string> arguments{"fingerprint"};
        arguments.insert(arguments.end(), sample.paths.begin(), sample.paths.end());
        const ChildProcessResult result = runChildProcess(QUORIN_CLI_PATH, arguments);
        EXPECT_EQ(result.exitStatus, 0) << result.err;
        EXPECT_EQ(result.out, sample.out);
        EXPECT_EQ(result.err, "");
    }
}

}  // namespace
}  // namespace quorin
