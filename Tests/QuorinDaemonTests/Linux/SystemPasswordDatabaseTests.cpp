#include "QuorinDaemon/Platform/Linux/SystemPasswordDatabase.hpp"

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

namespace quorin::daemon {
namespace {

TEST(SystemPasswordDatabaseTest, FindsHomeDirectoriesOfKnownUsersOnly) {
    const SystemPasswordDatabase passwords;
    EXPECT_EQ(passwords.homeDirectory(0), "/root");
    // The largest user id is reserved ((uid_t) -1) and never has an entry.
    EXPECT_EQ(passwords.homeDirectory(4'294'967'295U), std::nullopt);
    const struct passwd* own = ::getpwuid(::getuid());
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(passwords.homeDirectory(::getuid()), std::string(own->pw_dir));
}

}  // namespace
}  // namespace quorin::daemon
