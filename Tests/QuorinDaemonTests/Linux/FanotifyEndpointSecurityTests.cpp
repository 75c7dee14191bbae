#include "QuorinDaemon/Platform/Linux/FanotifyEndpointSecurity.hpp"

#include "Fakes/CapturingLogSink.hpp"
#include "Linux/ExecInChild.hpp"
#include "QuorinDaemon/Platform/Linux/SystemClock.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <thread>
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

// Each test owns a private tmpfs, the only thing it marks. The watchdog: if a test hangs, the
// process dies, its groups close and the kernel lets every held exec through.
class FanotifyEndpointSecurityTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root to mount a private file system and to use fanotify";
        }
        ::alarm(120);
        if (!mount.mounted()) {
            GTEST_SKIP() << "cannot mount a tmpfs here";
        }
    }
    void TearDown() override { ::alarm(0); }

    const quorin::testing::TemporaryDirectory directory;
    const PrivateMount mount{directory / "mnt"};
    const SystemClock clock{};
    const std::shared_ptr<testing::CapturingLogSink> log =
        std::make_shared<testing::CapturingLogSink>();
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

// Runs `script` with /bin/sh and waits for it to end.
void runShell(const std::string& script) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
}

TEST_F(FanotifyEndpointSecurityTest, DeliversChangesUnderSelectedPrefixesOnly) {
    const fs::path root = mount.path();
    fs::create_directory(root / "protected");
    Received received;
    {
        FanotifyEndpointSecurity service(root.string(), clock, log);
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
        runShell("echo x > " + o + "; echo x > " + p + "/a; mv " + p + "/a " + p + "/b; rm " + p +
                 "/b");
        const std::vector<std::string> lines = received.until("UNLINK " + p + "/b");
        EXPECT_EQ(lines, (std::vector<std::string>{
                             "CREATE " + p + "/a", "WRITE " + p + "/a", "CLOSE " + p + "/a",
                             "RENAME " + p + "/a -> " + p + "/b", "UNLINK " + p + "/b"}));
    }
}

TEST_F(FanotifyEndpointSecurityTest, ReportsEachPrefixItCannotCoverOnceAndWatchesTheOthers) {
    const fs::path root = mount.path();
    // A file system that cannot report through fanotify, inside the scope.
    fs::create_directory(root / "proc");
    if (::mount("proc", (root / "proc").c_str(), "proc", 0, nullptr) != 0) {
        GTEST_SKIP() << "cannot mount a proc file system here";
    }
    fs::create_directory(root / "protected");
    fs::create_directory(root / "second");
    Received received;
    {
        FanotifyEndpointSecurity service(root.string(), clock, log);
        const es_new_client_outcome outcome = service.es_new_client(
            [&](es_client_t, const es_message_t& message) { received.add(message); });
        if (outcome.result != es_new_client_result_t::ES_NEW_CLIENT_RESULT_SUCCESS) {
            GTEST_SKIP() << "fanotify is not available";
        }
        const es_client_t client = *outcome.client;
        using enum es_event_type_t;
        ASSERT_EQ(service.es_subscribe(client, {ES_EVENT_TYPE_NOTIFY_CREATE}),
                  es_return_t::ES_RETURN_SUCCESS);
        ASSERT_EQ(service.es_invert_muting(
                      client, es_mute_inversion_type_t::ES_MUTE_INVERSION_TYPE_TARGET_PATH),
                  es_return_t::ES_RETURN_SUCCESS);
        // Every update succeeds for what can be covered; a later update does not report again
        // what was reported already.
        for (const fs::path& prefix :
             {root / "protected", root / "proc" / "self", directory / "outside", root / "second"}) {
            EXPECT_EQ(service.es_mute_path(client, prefix.string(),
                                           es_mute_path_type_t::ES_MUTE_PATH_TYPE_TARGET_PREFIX),
                      es_return_t::ES_RETURN_SUCCESS)
                << prefix;
        }
        EXPECT_EQ(log->lines(),
                  (std::vector<std::string>{
                      "fanotify error: cannot watch " + (root / "proc" / "self").string() +
                          ": proc file system: " + std::strerror(EOPNOTSUPP),
                      "fanotify error: cannot watch " + (directory / "outside").string() +
                          ": outside the watched scope"}));

        std::ofstream(root / "protected" / "a") << "a";
        std::ofstream(root / "second" / "b") << "b";
        EXPECT_EQ(received.until("CREATE " + (root / "second" / "b").string()),
                  (std::vector<std::string>{"CREATE " + (root / "protected" / "a").string(),
                                            "CREATE " + (root / "second" / "b").string()}));

        // A prefix let go delivers nothing more; the one kept still does.
        EXPECT_EQ(service.es_unmute_path(client, (root / "protected").string(),
                                         es_mute_path_type_t::ES_MUTE_PATH_TYPE_TARGET_PREFIX),
                  es_return_t::ES_RETURN_SUCCESS);
        std::ofstream(root / "protected" / "c") << "c";
        std::ofstream(root / "second" / "d") << "d";
        EXPECT_EQ(received.until("CREATE " + (root / "second" / "d").string()),
                  (std::vector<std::string>{"CREATE " + (root / "protected" / "a").string(),
                                            "CREATE " + (root / "second" / "b").string(),
                                            "CREATE " + (root / "second" / "d").string()}));
    }
    ::umount2((root / "proc").c_str(), MNT_DETACH);
}

TEST_F(FanotifyEndpointSecurityTest, ReportsChangesTheKernelDroppedWhenItsQueueWasFull) {
    std::size_t queueLength = 0;
    std::ifstream("/proc/sys/fs/fanotify/max_queued_events") >> queueLength;
    if (queueLength == 0 || queueLength > 100'000) {
        GTEST_SKIP() << "the fanotify queue length is unknown or too long to fill here";
    }
    const fs::path protectedDirectory = mount.path() / "protected";
    fs::create_directory(protectedDirectory);
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> first{true};
    FanotifyEndpointSecurity service(mount.path().string(), clock, log);
    const es_new_client_outcome outcome =
        service.es_new_client([&](es_client_t, const es_message_t&) {
            if (first.exchange(false)) {  // the reader stops here while the queue fills
                entered.set_value();
                released.wait();
            }
        });
    if (outcome.result != es_new_client_result_t::ES_NEW_CLIENT_RESULT_SUCCESS) {
        GTEST_SKIP() << "fanotify is not available";
    }
    ASSERT_EQ(service.es_invert_muting(
                  *outcome.client, es_mute_inversion_type_t::ES_MUTE_INVERSION_TYPE_TARGET_PATH),
              es_return_t::ES_RETURN_SUCCESS);
    ASSERT_EQ(service.es_mute_path(*outcome.client, protectedDirectory.string(),
                                   es_mute_path_type_t::ES_MUTE_PATH_TYPE_TARGET_PREFIX),
              es_return_t::ES_RETURN_SUCCESS);
    ASSERT_EQ(service.es_subscribe(*outcome.client, {es_event_type_t::ES_EVENT_TYPE_NOTIFY_CREATE}),
              es_return_t::ES_RETURN_SUCCESS);
    std::ofstream(protectedDirectory / "first") << "";
    ASSERT_EQ(entered.get_future().wait_for(10s), std::future_status::ready);
    for (std::size_t index = 0; index <= queueLength; ++index) {
        ::close(
            ::open((protectedDirectory / std::to_string(index)).c_str(), O_WRONLY | O_CREAT, 0600));
    }
    release.set_value();
    const std::string overflow = "fanotify error: event queue overflowed; changes were missed";
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::vector<std::string> lines = log->lines();
        if (std::find(lines.begin(), lines.end(), overflow) != lines.end()) {
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(log->lines(), std::vector<std::string>{overflow});
}

TEST_F(FanotifyEndpointSecurityTest, HoldsEachExecUntilItsOneAnswer) {
    const fs::path tool = mount.path() / "tool";
    fs::copy_file("/bin/true", tool);
    fs::permissions(tool, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);

    enum class Answer { allow, deny, later, never };
    std::atomic<Answer> next{Answer::allow};
    std::mutex mutex;
    std::vector<std::string> seen;
    std::vector<std::thread> answerers;
    FanotifyEndpointSecurity service(mount.path().string(), clock, log);
    const es_new_client_outcome outcome =
        service.es_new_client([&](es_client_t client, const es_message_t& message) {
            {
                const std::lock_guard lock(mutex);
                seen.push_back(message.event.exec.target.executable.path.text());
            }
            switch (next.load()) {
                case Answer::allow:
                    EXPECT_EQ(service.es_respond_auth_result(
                                  client, message, es_auth_result_t::ES_AUTH_RESULT_ALLOW, false),
                              es_respond_result_t::ES_RESPOND_RESULT_SUCCESS);
                    // A second answer is refused and changes nothing.
                    EXPECT_EQ(service.es_respond_auth_result(
                                  client, message, es_auth_result_t::ES_AUTH_RESULT_DENY, false),
                              es_respond_result_t::ES_RESPOND_RESULT_ERR_DUPLICATE_RESPONSE);
                    break;
                case Answer::deny:
                    service.es_respond_auth_result(client, message,
                                                   es_auth_result_t::ES_AUTH_RESULT_DENY, false);
                    break;
                case Answer::later:
                    // Held after the handler returns, answered from another thread.
                    service.es_retain_message(message);
                    answerers.emplace_back([&service, client, &message] {
                        std::this_thread::sleep_for(50ms);
                        service.es_respond_auth_result(
                            client, message, es_auth_result_t::ES_AUTH_RESULT_ALLOW, false);
                        service.es_release_message(message);
                    });
                    break;
                case Answer::never:
                    break;  // let go unanswered
            }
        });
    if (outcome.result != es_new_client_result_t::ES_NEW_CLIENT_RESULT_SUCCESS) {
        GTEST_SKIP() << "fanotify is not available";
    }
    ASSERT_EQ(service.es_subscribe(*outcome.client, {es_event_type_t::ES_EVENT_TYPE_AUTH_EXEC}),
              es_return_t::ES_RETURN_SUCCESS);

    struct Case {
        Answer answer;
        int status;
    };
    const Case cases[] = {
        {Answer::allow, 0},
        {Answer::deny, EPERM},
        {Answer::later, 0},
        {Answer::never, EPERM},
    };
    for (const Case& test : cases) {
        next = test.answer;
        EXPECT_EQ(testing::execInChild(tool), test.status) << static_cast<int>(test.answer);
    }
    // Execs outside the scope are not held.
    EXPECT_EQ(testing::execInChild("/bin/true"), 0);
    for (std::thread& answerer : answerers) {
        answerer.join();
    }
    const std::lock_guard lock(mutex);
    EXPECT_EQ(seen, std::vector<std::string>(4, tool.string()));
}

TEST_F(FanotifyEndpointSecurityTest, AnExecHeldWhenItsClientGoesRuns) {
    const fs::path tool = mount.path() / "tool";
    fs::copy_file("/bin/true", tool);
    FanotifyEndpointSecurity service(mount.path().string(), clock, log);
    std::promise<const es_message_t*> held;
    const es_new_client_outcome outcome =
        service.es_new_client([&](es_client_t, const es_message_t& message) {
            service.es_retain_message(message);  // kept, never answered
            held.set_value(&message);
        });
    if (outcome.result != es_new_client_result_t::ES_NEW_CLIENT_RESULT_SUCCESS) {
        GTEST_SKIP() << "fanotify is not available";
    }
    ASSERT_EQ(service.es_subscribe(*outcome.client, {es_event_type_t::ES_EVENT_TYPE_AUTH_EXEC}),
              es_return_t::ES_RETURN_SUCCESS);
    std::future<int> execution = testing::launchExecInChild(tool);
    const es_message_t* message = held.get_future().get();
    EXPECT_EQ(execution.wait_for(100ms), std::future_status::timeout);  // held
    // The client goes (as when the daemon dies): its group closes and the kernel lets the exec
    // through; an answer after that is refused.
    ASSERT_EQ(service.es_delete_client(*outcome.client), es_return_t::ES_RETURN_SUCCESS);
    EXPECT_EQ(execution.get(), 0);
    EXPECT_EQ(service.es_respond_auth_result(*outcome.client, *message,
                                             es_auth_result_t::ES_AUTH_RESULT_DENY, false),
              es_respond_result_t::ES_RESPOND_RESULT_ERR_INTERNAL);
    service.es_release_message(*message);
}

}  // namespace
}  // namespace quorin::daemon
