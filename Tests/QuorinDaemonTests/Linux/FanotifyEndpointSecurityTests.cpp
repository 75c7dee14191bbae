#include "QuorinDaemon/Platform/Linux/FanotifyEndpointSecurity.hpp"

#include "Fakes/CapturingLogSink.hpp"
#include "Linux/PrivateTmpfs.hpp"
#include "QuorinDaemon/Platform/Linux/SystemClock.hpp"
#include "TestSupport/ChildProcess.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using enum es_event_type_t;
using quorin::testing::execInChild;

class FanotifyEndpointSecurityTest : public testing::PrivateTmpfsTest {
  protected:
    // A client of `service`; nothing when fanotify is not available here.
    static std::optional<es_client_t> newClient(FanotifyEndpointSecurity& service,
                                                es_handler_block_t handler) {
        const es_new_client_outcome outcome = service.es_new_client(std::move(handler));
        if (outcome.result != es_new_client_result_t::ES_NEW_CLIENT_RESULT_SUCCESS) {
            return std::nullopt;
        }
        return outcome.client;
    }

    // Inverted muting, as the file-event client runs it: only events under the prefixes come.
    static void watch(FanotifyEndpointSecurity& service, es_client_t client,
                      const std::vector<fs::path>& prefixes,
                      const std::vector<es_event_type_t>& events) {
        EXPECT_EQ(service.es_subscribe(client, events), es_return_t::ES_RETURN_SUCCESS);
        EXPECT_EQ(service.es_invert_muting(
                      client, es_mute_inversion_type_t::ES_MUTE_INVERSION_TYPE_TARGET_PATH),
                  es_return_t::ES_RETURN_SUCCESS);
        for (const fs::path& prefix : prefixes) {
            // Every update succeeds for what can be covered.
            EXPECT_EQ(service.es_mute_path(client, prefix.string(),
                                           es_mute_path_type_t::ES_MUTE_PATH_TYPE_TARGET_PREFIX),
                      es_return_t::ES_RETURN_SUCCESS)
                << prefix;
        }
    }

    const SystemClock clock{};
    const std::shared_ptr<testing::CapturingLogSink> log =
        std::make_shared<testing::CapturingLogSink>();
};

// What one client received, as "TYPE path [-> path]".
class Received {
  public:
    void add(const es_message_t& message) {
        const es_events_t& event = message.event;
        const auto at = [](const es_destination_t& destination) {
            return destination.new_path_dir.path.text() + "/" +
                   destination.new_path_filename.text();
        };
        // Only the member the type names is meaningful; the others are empty.
        const std::map<es_event_type_t, std::string> texts{
            {ES_EVENT_TYPE_NOTIFY_CREATE, "CREATE " + at(event.create.destination)},
            {ES_EVENT_TYPE_NOTIFY_WRITE, "WRITE " + event.write.target.path.text()},
            {ES_EVENT_TYPE_NOTIFY_CLOSE, "CLOSE " + event.close.target.path.text()},
            {ES_EVENT_TYPE_NOTIFY_UNLINK, "UNLINK " + event.unlink.target.path.text()},
            {ES_EVENT_TYPE_NOTIFY_RENAME,
             "RENAME " + event.rename.source.path.text() + " -> " + at(event.rename.destination)}};
        const auto text = texts.find(message.event_type);
        const std::string line = text == texts.end() ? "OTHER" : text->second;
        const std::lock_guard lock(mutex_);
        lines_.push_back(line);
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

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

TEST_F(FanotifyEndpointSecurityTest, DeliversChangesUnderTheCoveredPrefixesOnly) {
    const fs::path p = mountPoint / "protected";
    const fs::path s = mountPoint / "second";
    // A file system that cannot report through fanotify, inside the scope; the private mount's
    // detachment takes it along.
    fs::create_directory(mountPoint / "proc");
    if (::mount("proc", (mountPoint / "proc").c_str(), "proc", 0, nullptr) != 0) {
        GTEST_SKIP() << "cannot mount a proc file system here";
    }
    fs::create_directory(p);
    fs::create_directory(s);
    Received received;
    FanotifyEndpointSecurity service(mountPoint.string(), clock, log);
    const auto client = newClient(
        service, [&](es_client_t, const es_message_t& message) { received.add(message); });
    if (!client) {
        GTEST_SKIP() << "fanotify is not available";
    }
    // Each prefix that cannot be covered is reported once; the others are watched all the same.
    watch(service, *client, {p, mountPoint / "proc" / "self", directory / "outside", s},
          {ES_EVENT_TYPE_NOTIFY_WRITE, ES_EVENT_TYPE_NOTIFY_CREATE, ES_EVENT_TYPE_NOTIFY_RENAME,
           ES_EVENT_TYPE_NOTIFY_UNLINK, ES_EVENT_TYPE_NOTIFY_CLOSE});
    EXPECT_EQ(log->lines(),
              (std::vector<std::string>{
                  "fanotify error: cannot watch " + (mountPoint / "proc" / "self").string() +
                      ": proc file system: " + std::strerror(EOPNOTSUPP),
                  "fanotify error: cannot watch " + (directory / "outside").string() +
                      ": outside the watched scope"}));

    const auto run = [](const std::string& script) {
        EXPECT_EQ(quorin::testing::runChildProcess("/bin/sh", {"-c", script}).exitStatus, 0);
    };
    const auto written = [](const fs::path& file) {
        return std::vector<std::string>{"CREATE " + file.string(), "WRITE " + file.string(),
                                        "CLOSE " + file.string()};
    };
    run("echo x > " + (mountPoint / "other").string() + "; cd " + p.string() +
        "; echo x > a; mv a b; rm b; echo x > " + (s / "c").string());
    std::vector<std::string> expected = written(p / "a");
    expected.push_back("RENAME " + (p / "a").string() + " -> " + (p / "b").string());
    expected.push_back("UNLINK " + (p / "b").string());
    for (const std::string& line : written(s / "c")) {
        expected.push_back(line);
    }
    EXPECT_EQ(received.until(expected.back()), expected);

    // A prefix let go delivers nothing more; the one kept still does.
    EXPECT_EQ(service.es_unmute_path(*client, p.string(),
                                     es_mute_path_type_t::ES_MUTE_PATH_TYPE_TARGET_PREFIX),
              es_return_t::ES_RETURN_SUCCESS);
    run("echo x > " + (p / "d").string() + "; echo x > " + (s / "e").string());
    for (const std::string& line : written(s / "e")) {
        expected.push_back(line);
    }
    EXPECT_EQ(received.until(expected.back()), expected);
}

TEST_F(FanotifyEndpointSecurityTest, ReportsChangesTheKernelDroppedWhenItsQueueWasFull) {
    std::size_t queueLength = 0;
    std::ifstream("/proc/sys/fs/fanotify/max_queued_events") >> queueLength;
    if (queueLength == 0 || queueLength > 100'000) {
        GTEST_SKIP() << "the fanotify queue length is unknown or too long to fill here";
    }
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> first{true};
    FanotifyEndpointSecurity service(mountPoint.string(), clock, log);
    const auto client = newClient(service, [&](es_client_t, const es_message_t&) {
        if (first.exchange(false)) {  // the reader stops here while the queue fills
            entered.set_value();
            released.wait();
        }
    });
    if (!client) {
        GTEST_SKIP() << "fanotify is not available";
    }
    watch(service, *client, {mountPoint}, {ES_EVENT_TYPE_NOTIFY_CREATE});
    std::ofstream(mountPoint / "first") << "";
    ASSERT_EQ(entered.get_future().wait_for(10s), std::future_status::ready);
    for (std::size_t index = 0; index <= queueLength; ++index) {
        ::close(::open((mountPoint / std::to_string(index)).c_str(), O_WRONLY | O_CREAT, 0600));
    }
    release.set_value();
    const std::string overflow = "fanotify error: event queue overflowed; changes were missed";
    for (int attempt = 0; attempt < 1000 && log->lines().empty(); ++attempt) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(log->lines(), std::vector<std::string>{overflow});
}

TEST_F(FanotifyEndpointSecurityTest, HoldsEachExecUntilItsOneAnswer) {
    const fs::path tool = mountPoint / "tool";
    fs::copy_file("/bin/true", tool);
    fs::permissions(tool, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);

    enum class Answer { allow, deny, later, never };
    std::atomic<Answer> next{Answer::allow};
    std::mutex mutex;
    std::vector<std::string> seen;
    std::vector<std::thread> answerers;
    FanotifyEndpointSecurity service(mountPoint.string(), clock, log);
    const auto respond = [&service](es_client_t client, const es_message_t& message, bool allow) {
        return service.es_respond_auth_result(
            client, message,
            allow ? es_auth_result_t::ES_AUTH_RESULT_ALLOW : es_auth_result_t::ES_AUTH_RESULT_DENY,
            false);
    };
    const auto client = newClient(service, [&](es_client_t self, const es_message_t& message) {
        {
            const std::lock_guard lock(mutex);
            seen.push_back(message.event.exec.target.executable.path.text());
        }
        switch (next.load()) {
            case Answer::allow:
                EXPECT_EQ(respond(self, message, true),
                          es_respond_result_t::ES_RESPOND_RESULT_SUCCESS);
                // A second answer is refused and changes nothing.
                EXPECT_EQ(respond(self, message, false),
                          es_respond_result_t::ES_RESPOND_RESULT_ERR_DUPLICATE_RESPONSE);
                break;
            case Answer::deny:
                respond(self, message, false);
                break;
            case Answer::later:
                // Held after the handler returns, answered from another thread.
                service.es_retain_message(message);
                answerers.emplace_back([&service, respond, self, &message] {
                    std::this_thread::sleep_for(50ms);
                    respond(self, message, true);
                    service.es_release_message(message);
                });
                break;
            case Answer::never:
                break;  // let go unanswered
        }
    });
    if (!client) {
        GTEST_SKIP() << "fanotify is not available";
    }
    ASSERT_EQ(service.es_subscribe(*client, {ES_EVENT_TYPE_AUTH_EXEC}),
              es_return_t::ES_RETURN_SUCCESS);

    struct Case {
        Answer answer;
        int status;
    };
    const Case cases[] = {
        {Answer::allow, 0}, {Answer::deny, EPERM}, {Answer::later, 0}, {Answer::never, EPERM}};
    for (const Case& test : cases) {
        next = test.answer;
        EXPECT_EQ(execInChild(tool), test.status) << static_cast<int>(test.answer);
    }
    // Execs outside the scope are not held.
    EXPECT_EQ(execInChild("/bin/true"), 0);
    for (std::thread& answerer : answerers) {
        answerer.join();
    }
    const std::lock_guard lock(mutex);
    EXPECT_EQ(seen, std::vector<std::string>(4, tool.string()));
}

TEST_F(FanotifyEndpointSecurityTest, AnExecHeldWhenItsClientGoesRuns) {
    const fs::path tool = mountPoint / "tool";
    fs::copy_file("/bin/true", tool);
    FanotifyEndpointSecurity service(mountPoint.string(), clock, log);
    std::promise<const es_message_t*> held;
    const auto client = newClient(service, [&](es_client_t, const es_message_t& message) {
        service.es_retain_message(message);  // kept, never answered
        held.set_value(&message);
    });
    if (!client) {
        GTEST_SKIP() << "fanotify is not available";
    }
    ASSERT_EQ(service.es_subscribe(*client, {ES_EVENT_TYPE_AUTH_EXEC}),
              es_return_t::ES_RETURN_SUCCESS);
    std::future<int> execution = quorin::testing::launchExecInChild(tool);
    const es_message_t* message = held.get_future().get();
    EXPECT_EQ(execution.wait_for(100ms), std::future_status::timeout);  // held
    // The client goes (as when the daemon dies): its group closes and the kernel lets the exec
    // through; an answer after that is refused.
    ASSERT_EQ(service.es_delete_client(*client), es_return_t::ES_RETURN_SUCCESS);
    EXPECT_EQ(execution.get(), 0);
    EXPECT_EQ(service.es_respond_auth_result(*client, *message,
                                             es_auth_result_t::ES_AUTH_RESULT_DENY, false),
              es_respond_result_t::ES_RESPOND_RESULT_ERR_INTERNAL);
    service.es_release_message(*message);
}

}  // namespace
}  // namespace quorin::daemon
