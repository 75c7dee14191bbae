#include "QuorinDaemon/Platform/Linux/FanotifyEndpointSecurity.hpp"

#include "QuorinDaemon/Platform/Linux/SystemClock.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A private tmpfs for the duration of a test: only it is marked.
class PrivateMount {
  public:
    explicit PrivateMount(const fs::path& at) : path_(at) {
        fs::create_directory(path_);
        mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", 0, "size=16m,mode=0755") == 0;
    }
    ~PrivateMount() {
        if (mounted_) {
            ::umount2(path_.c_str(), MNT_DETACH);
        }
    }
    bool mounted() const { return mounted_; }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
    bool mounted_ = false;
};

// What one client received, as "TYPE path [→ path]", with the writer's pid.
class Received {
  public:
    void add(const es_message_t& message) {
        std::string line;
        switch (message.event_type) {
            case es_event_type_t::ES_EVENT_TYPE_NOTIFY_CREATE:
                line = "CREATE " + message.event.create.destination.new_path_dir.path.text() + "/" +
                       message.event.create.destination.new_path_filename.text();
                break;
            case es_event_type_t::ES_EVENT_TYPE_NOTIFY_WRITE:
                line = "WRITE " + message.event.write.target.path.text();
                break;
            case es_event_type_t::ES_EVENT_TYPE_NOTIFY_CLOSE:
                line = "CLOSE " + message.event.close.target.path.text();
                break;
            case es_event_type_t::ES_EVENT_TYPE_NOTIFY_RENAME:
                line = "RENAME " + message.event.rename.source.path.text() + " -> " +
                       message.event.rename.destination.new_path_dir.path.text() + "/" +
                       message.event.rename.destination.new_path_filename.text();
                break;
            case es_event_type_t::ES_EVENT_TYPE_NOTIFY_UNLINK:
                line = "UNLINK " + message.event.unlink.target.path.text();
                break;
            default:
                line = "OTHER";
        }
        const std::lock_guard lock(mutex_);
        lines_.push_back(line);
        pids_.push_back(audit_token_to_pid(message.process.audit_token));
        changed_.notify_all();
    }

    /// Waits until a line equal to `last` arrived; then every line so far.
    std::vector<std::string> until(const std::string& last) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 10s, [&] {
            return std::find(lines_.begin(), lines_.end(), last) != lines_.end();
        });
        return lines_;
    }

    std::vector<pid_t> pids() {
        const std::lock_guard lock(mutex_);
        return pids_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::vector<pid_t> pids_;
};

pid_t runShell(const std::string& script) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return child;
}

TEST(FanotifyEndpointSecurityTest, DeliversChangesUnderSelectedPrefixesOnly) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to mount a private file system and to use fanotify";
    }
    const quorin::testing::TemporaryDirectory directory;
    const PrivateMount mount(directory / "mnt");
    if (!mount.mounted()) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    const fs::path root = mount.path();
    fs::create_directory(root / "protected");
    const SystemClock clock;
    Received received;
    {
        FanotifyEndpointSecurity service(root.string(), clock);
        const es_new_client_outcome outcome = service.es_new_client(
            [&](es_client_t, const es_message_t& message) { received.add(message); });
        if (outcome.result != es_new_client_result_t::ES_NEW_CLIENT_RESULT_SUCCESS) {
            GTEST_SKIP() << "fanotify is not available";
        }
        const es_client_t client = *outcome.client;
        using enum es_event_type_t;
        ASSERT_EQ(service.es_invert_muting(
                      client, es_mute_inversion_type_t::ES_MUTE_INVERSION_TYPE_TARGET_PATH),
                  es_return_t::ES_RETURN_SUCCESS);
        ASSERT_EQ(service.es_mute_path(client, (root / "protected").string(),
                                       es_mute_path_type_t::ES_MUTE_PATH_TYPE_TARGET_PREFIX),
                  es_return_t::ES_RETURN_SUCCESS);
        ASSERT_EQ(
            service.es_subscribe(client, {ES_EVENT_TYPE_NOTIFY_WRITE, ES_EVENT_TYPE_NOTIFY_CREATE,
                                          ES_EVENT_TYPE_NOTIFY_RENAME, ES_EVENT_TYPE_NOTIFY_UNLINK,
                                          ES_EVENT_TYPE_NOTIFY_CLOSE}),
            es_return_t::ES_RETURN_SUCCESS);
        const std::string p = (root / "protected").string();
        const std::string o = (root / "other").string();
        const pid_t writer = runShell("echo x > " + o + "; echo x > " + p + "/a; mv " + p + "/a " +
                                      p + "/b; rm " + p + "/b");
        const std::vector<std::string> lines = received.until("UNLINK " + p + "/b");
        EXPECT_EQ(lines, (std::vector<std::string>{
                             "CREATE " + p + "/a", "WRITE " + p + "/a", "CLOSE " + p + "/a",
                             "RENAME " + p + "/a -> " + p + "/b", "UNLINK " + p + "/b"}));
        (void)writer;
    }
}

}  // namespace
}  // namespace quorin::daemon
