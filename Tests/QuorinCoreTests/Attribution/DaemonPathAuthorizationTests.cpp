#include "QuorinCore/Attribution/DaemonPathAuthorization.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorin {
namespace {

using namespace std::string_literals;

TEST(DaemonPathAuthorizationTest, Allows) {
    struct Case {
        std::string name;
        std::vector<std::string> paths;
        std::string home;
        bool allowed;
    };
    const std::string ana = "/Users/ana";
    const std::vector<Case> cases{
        {"an empty list", {}, ana, true},
        {"the home itself", {ana}, ana, true},
        {"inside the home", {"/Users/ana/.zshrc", "/Users/ana/.ssh"}, ana, true},
        {"a shared root", {"/usr/local/bin/tool"}, ana, true},
        {"every shared root",
         {"/Library/LaunchAgents", "/Library/LaunchDaemons", "/usr/local/bin", "/opt/homebrew/bin"},
         "/home/bob",
         true},
        {"another home", {"/Users/bob/.zshrc"}, ana, false},
        {"a sibling of the home", {"/Users/anabel"}, ana, false},
        {"a sibling of a shared root", {"/Library/LaunchAgentsX"}, "/home/bob", false},
        {"the root", {"/"}, ana, false},
        {"a home of /", {"/x"}, "/", false},
        {"a relative home", {}, "Users/ana", false},
        {"a path with a tilde", {"~/.zshrc"}, ana, false},
        {"a relative path", {"Users/ana/.zshrc"}, ana, false},
        {"a path with ..", {"/Users/ana/../bob"}, ana, false},
        {"a trailing separator", {"/Users/ana/"}, ana, false},
        {"a doubled separator", {"/Users/ana//x"}, ana, false},
        {"a NUL", {"/Users/ana/a\0b"s}, ana, false},
        {"4,096 bytes", {ana + "/" + std::string(4096 - ana.size() - 1, 'x')}, ana, true},
        {"4,097 bytes", {ana + "/" + std::string(4096 - ana.size(), 'x')}, ana, false},
        {"256 paths", std::vector<std::string>(256, ana), ana, true},
        {"257 paths", std::vector<std::string>(257, ana), ana, false},
        {"one bad path among good ones", {ana, "/etc/passwd"}, ana, false},
    };
    for (const Case& sample : cases) {
        EXPECT_EQ(DaemonPathAuthorization::allows(sample.paths, sample.home), sample.allowed)
            << sample.name;
    }
}

TEST(DaemonPathAuthorizationTest, Receives) {
    struct Case {
        std::string path;
        std::vector<std::string> paths;
        bool received;
    };
    const std::vector<Case> cases{
        {"/a/b", {"/a"}, true},  {"/a", {"/a"}, true},         {"/ab", {"/a"}, false},
        {"/a", {"/a/b"}, false}, {"/any/path", {"/"}, true},   {"relative", {"/"}, false},
        {"/a/b", {}, false},     {"/c/d", {"/a", "/c"}, true},
    };
    for (const Case& sample : cases) {
        EXPECT_EQ(DaemonPathAuthorization::receives(sample.path, sample.paths), sample.received)
            << sample.path;
    }
}

}  // namespace
}  // namespace quorin
