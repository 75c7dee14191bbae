#include "QuorinDaemon/Platform/Linux/FanotifyEndpointSecurity.hpp"

#include "Fakes/CapturingLogSink.hpp"
#include "Linux/PrivateTmpfs.hpp"
#include "QuorinDaemon/Attribution/AttributionMessageHandler.hpp"
#include "QuorinDaemon/Platform/Linux/Fanotify/ExecAuthorizations.hpp"
#include "QuorinDaemon/Platform/Linux/Fanotify/FileNotifications.hpp"
#include "QuorinDaemon/Platform/Linux/SystemClock.hpp"

#include <array>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using enum es_event_type_t;
using quorin::testing::execInChild;

class FanotifyEndpointSecurityTest : public testing::PrivateTmpfsTest {
  protected:
    const SystemClock clock{};
    const std::shared_ptr<testing::CapturingLogSink> log =
        std::make_shared<testing::CapturingLogSink>();
    fanotify::LinuxFanotifyKernel kernel;
};

std::ptrdiff_t openDescriptors() {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
}

// The real kernel, whose reads fail as scripted (`failures` more reads fail with `error`), and
// which can refuse the newer interface to ignore marks, as a kernel before 6.0 does.
class FaultyKernel final : public fanotify::FanotifyKernel {
  public:
    int fanotify_init(unsigned int flags, unsigned int eventFlags) override {
        return kernel.fanotify_init(flags, eventFlags);
    }
    int fanotify_mark(int group, unsigned int flags, std::uint64_t mask, int directory,
                      const char* path) override {
        if (refuseIgnoreMarks && (flags & FAN_MARK_IGNORE) == FAN_MARK_IGNORE) {
            errno = EINVAL;
            return -1;
        }
        return kernel.fanotify_mark(group, flags, mask, directory, path);
    }
    ssize_t read(int group, void* buffer, std::size_t size) override {
        if (failures > 0) {
            --failures;
            errno = error;
            return -1;
        }
        return kernel.read(group, buffer, size);
    }

    std::atomic<int> failures{0};
    std::atomic<int> error{0};
    std::atomic<bool> refuseIgnoreMarks{false};

  private:
    fanotify::LinuxFanotifyKernel kernel;
};

// The marks of every fanotify group this process holds that ask about execs (`field` "mask") or
// keep them from being asked about ("ignored_mask"), as the kernel lists them: "fanotify
// mnt_id:… mflags:… mask:40000 ignored_mask:0" ("sdev:…" for a file system, "ino:…" a file).
int execMarks(std::string_view field = "mask") {
    int count = 0;
    const std::string key = " " + std::string(field) + ":";
    for (const auto& entry : fs::directory_iterator("/proc/self/fdinfo")) {
        std::ifstream info(entry.path());
        for (std::string line; std::getline(info, line);) {
            const std::size_t at = line.find(key);
            count +=
                line.starts_with("fanotify ") && at != std::string::npos &&
                (std::stoul(line.substr(at + key.size()), nullptr, 16) & FAN_OPEN_EXEC_PERM) != 0;
        }
    }
    return count;
}

template <class Condition>
bool eventually(Condition condition) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

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
    // What the client received, a line each: the type and the paths a record is made of
    // ("RENAME a -> b"), then "(directory)" when the records are of a directory; a close that
    // changed nothing names its file as "unchanged".
    std::mutex mutex;
    std::condition_variable changed;
    std::string received;
    bool holding = false;  // the handler waits while it is set
    FanotifyEndpointSecurity service(mountPoint.string(), clock, log, kernel);
    const auto handler = [&](es_client_t, const es_message_t& message) {
        // By the type's value: ES_EVENT_TYPE_AUTH_EXEC, then the notifications in order.
        static constexpr std::array names{"EXEC", "CLOSE", "CREATE", "RENAME", "UNLINK", "WRITE"};
        std::vector<std::string> paths = AttributionMessageHandler::targetPaths(message);
        if (paths.empty()) {
            paths = {"unchanged " + message.event.close.target.path.text()};
        }
        std::string line = names.at(static_cast<std::size_t>(message.event_type));
        for (const std::string& path : paths) {
            line += (path == paths.front() ? " " : " -> ") + path;
        }
        if (AttributionMessageHandler::kind(message) == FileKind::directory) {
            line += " (directory)";
        }
        std::unique_lock lock(mutex);
        received += line + "\n";
        changed.notify_all();
        changed.wait(lock, [&] { return !holding; });
    };
    const auto client = service.es_new_client(handler).client;
    if (!client) {
        GTEST_SKIP() << "fanotify is not available";
    }
    // Inverted muting, as the file-event client runs it: only events under the prefixes come.
    // Each prefix that cannot be covered is reported once; every update succeeds for the
    // others, which are watched all the same.
    EXPECT_EQ(
        service.es_subscribe(*client, {ES_EVENT_TYPE_NOTIFY_WRITE, ES_EVENT_TYPE_NOTIFY_CREATE,
                                       ES_EVENT_TYPE_NOTIFY_RENAME, ES_EVENT_TYPE_NOTIFY_UNLINK,
                                       ES_EVENT_TYPE_NOTIFY_CLOSE}),
        es_return_t::ES_RETURN_SUCCESS);
    EXPECT_EQ(service.es_invert_muting(
                  *client, es_mute_inversion_type_t::ES_MUTE_INVERSION_TYPE_TARGET_PATH),
              es_return_t::ES_RETURN_SUCCESS);
    for (const fs::path& prefix : {p, mountPoint / "proc" / "self", directory / "outside", s}) {
        EXPECT_EQ(service.es_mute_path(*client, prefix.string(),
                                       es_mute_path_type_t::ES_MUTE_PATH_TYPE_TARGET_PREFIX),
                  es_return_t::ES_RETURN_SUCCESS)
            << prefix;
    }
    EXPECT_EQ(log->lines(),
              (std::vector<std::string>{
                  "fanotify error: cannot watch " + (mountPoint / "proc" / "self").string() +
                      ": proc file system: " + std::strerror(EOPNOTSUPP),
                  "fanotify error: cannot watch " + (directory / "outside").string() +
                      ": outside the watched scope"}));

    // Runs `script`, with the handler held until it ends when `hold` is set, then gives what was
    // received once `expected` could have been.
    const auto run = [&](const std::string& script, const std::string& expected,
                         bool hold = false) {
        std::unique_lock lock(mutex);
        holding = hold;
        lock.unlock();
        EXPECT_EQ(quorin::testing::runChildProcess("/bin/sh", {"-c", script}).exitStatus, 0);
        lock.lock();
        holding = false;
        changed.notify_all();
        changed.wait_for(lock, 10s, [&] { return received.size() >= expected.size(); });
        return received;
    };
    const auto line = [](const std::string& type, const fs::path& path, bool ofDirectory = false) {
        return type + " " + path.string() + (ofDirectory ? " (directory)\n" : "\n");
    };
    const auto written = [&](const fs::path& file) {
        return line("CREATE", file) + line("WRITE", file) + line("CLOSE", file);
    };
    const auto renamed = [&](const fs::path& from, const fs::path& to, bool ofDirectory = false) {
        return line("RENAME", from.string() + " -> " + to.string(), ofDirectory);
    };
    const fs::path f = p / "f";
    std::string expected =
        written(p / "a") + renamed(p / "a", p / "b") + line("UNLINK", p / "b") + written(s / "c");
    EXPECT_EQ(run("echo x > " + (mountPoint / "other").string() + "; cd " + p.string() +
                      "; echo x > a; mv a b; rm b; echo x > " + (s / "c").string(),
                  expected),
              expected);
    // Directories are reported as files are, and said to be directories, the selected one itself
    // too, and a sibling whose name only begins with it is not selected. A close is modified only
    // when a write came between open and close, also from another process than the one that closes
    // and with the file renamed meanwhile.
    expected += line("CREATE", p / "d", true) + renamed(p / "d", p / "e", true) +
                line("UNLINK", p / "e", true) + line("CREATE", f) + line("CLOSE unchanged", f) +
                line("CLOSE unchanged", f) + line("WRITE", f) + renamed(f, p / "g") +
                line("CLOSE", p / "g") + renamed(p / "g", f);
    EXPECT_EQ(run("cd " + p.string() + "; mkdir d; mv d e; rmdir e; (: > f); (: >> f); " +
                      "exec 3>>f; (echo y >&3); mv f g; exec 3>&-; mv g f",
                  expected),
              expected);
    // (Once those are read: a path is resolved when its event is read, under the names then.)
    expected += renamed(p, p.string() + ".old", true) + line("CREATE", p, true) +
                line("UNLINK", p, true) + line("CREATE", p, true);
    EXPECT_EQ(
        run("mv " + p.string() + " " + p.string() + ".old; echo x > " + p.string() +
                ".old/g; mkdir " + p.string() + "; rmdir " + p.string() + "; mkdir " + p.string(),
            expected),
        expected);
    // A rename to a directory gone before the event is read is a record of its source.
    expected += line("CREATE", f) + line("CLOSE unchanged", f) + line("RENAME", f);
    EXPECT_EQ(
        run("cd " + p.string() + "; : > f; mkdir ../x; mv f ../x; rm -r ../x", expected, true),
        expected);
    // A prefix let go delivers nothing more; the one kept still does.
    EXPECT_EQ(service.es_unmute_path(*client, p.string(),
                                     es_mute_path_type_t::ES_MUTE_PATH_TYPE_TARGET_PREFIX),
              es_return_t::ES_RETURN_SUCCESS);
    expected += written(s / "e");
    EXPECT_EQ(run("echo x > " + (p / "d").string() + "; echo x > " + (s / "e").string(), expected),
              expected);
    // Files truncated by path are modified without being open, so they stay remembered: at the
    // bound, a close that changed nothing is still told apart; one past it, every close is
    // reported modified. (The truncations come from another process than the writes, so that
    // the kernel does not merge them into the writes' events.)
    constexpr std::size_t bound = fanotify::FileNotifications::maximumFilesModifiedWhileOpen;
    const fs::path many = s / "many";
    const auto file = [&](std::size_t index) { return many / std::to_string(index); };
    expected += line("CREATE", many, true);
    for (std::size_t index = 0; index <= bound + 1; ++index) {
        expected += written(file(index));
    }
    EXPECT_EQ(run("mkdir " + many.string() + " && cd " + many.string() + " && for i in $(seq 0 " +
                      std::to_string(bound + 1) + "); do echo x > $i; done",
                  expected),
              expected);
    for (std::size_t index = 0; index < bound; ++index) {
        ASSERT_EQ(::truncate(file(index).c_str(), 0), 0);
        expected += line("WRITE", file(index));
    }
    const std::string closeUnchanged = "(: >> " + file(bound + 1).string() + ")";
    expected += line("CLOSE unchanged", file(bound + 1));
    EXPECT_EQ(run(closeUnchanged, expected), expected);
    ASSERT_EQ(::truncate(file(bound).c_str(), 0), 0);
    expected += line("WRITE", file(bound)) + line("CLOSE", file(bound + 1));
    EXPECT_EQ(run(closeUnchanged, expected), expected);
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
    FanotifyEndpointSecurity service(mountPoint.string(), clock, log, kernel);
    const auto handler = [&](es_client_t, const es_message_t&) {
        if (first.exchange(false)) {  // the reader stops here while the queue fills
            entered.set_value();
            released.wait();
        }
    };
    const auto client = service.es_new_client(handler).client;
    if (!client) {
        GTEST_SKIP() << "fanotify is not available";
    }
    ASSERT_EQ(service.es_subscribe(*client, {ES_EVENT_TYPE_NOTIFY_CREATE}),
              es_return_t::ES_RETURN_SUCCESS);
    std::ofstream(mountPoint / "first") << "";
    ASSERT_EQ(entered.get_future().wait_for(10s), std::future_status::ready);
    for (std::size_t index = 0; index <= queueLength; ++index) {
        ::close(::open((mountPoint / std::to_string(index)).c_str(), O_WRONLY | O_CREAT, 0600));
    }
    release.set_value();
    eventually([&] { return !log->lines().empty(); });
    EXPECT_EQ(log->lines(), std::vector<std::string>{
                                "fanotify error: event queue overflowed; changes were missed"});
}

// Also the lower layer of the daemon's fail-open: an exec held when its client goes runs. And the
// lower layer of its watchdog: the reader answers between execs, not while a handler holds it.
TEST_F(FanotifyEndpointSecurityTest, HoldsEachExecUntilItsOneAnswerOrItsClientGoes) {
    const fs::path tool = mountPoint / "tool";
    fs::copy_file("/bin/true", tool);
    fs::permissions(tool, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);

    enum class Answer { allow, deny, never, keep, block };
    std::atomic<Answer> next{Answer::allow};
    std::atomic<int> held{0};
    std::promise<const es_message_t*> kept;
    std::promise<void> blocked;
    std::promise<void> unblock;
    FanotifyEndpointSecurity service(mountPoint.string(), clock, log, kernel);
    const auto respond = [&service](es_client_t client, const es_message_t& message, bool allow) {
        return service.es_respond_auth_result(
            client, message,
            allow ? es_auth_result_t::ES_AUTH_RESULT_ALLOW : es_auth_result_t::ES_AUTH_RESULT_DENY,
            false);
    };
    std::string path = tool.string();  // as the messages must give it
    const auto handler = [&](es_client_t self, const es_message_t& message) {
        EXPECT_EQ(message.event.exec.target.executable.path.text(), path);
        EXPECT_TRUE(message.event.exec.target.executable.descriptor);
        ++held;
        if (next == Answer::block) {
            // The handler holds the reading thread until the test lets it go.
            blocked.set_value();
            unblock.get_future().wait();
            respond(self, message, true);
        } else if (next == Answer::keep) {
            // Held after the handler returns, for the test to answer or not.
            service.es_retain_message(message);
            kept.set_value(&message);
        } else if (next != Answer::never) {  // `never` lets it go unanswered
            EXPECT_EQ(respond(self, message, next == Answer::allow),
                      es_respond_result_t::ES_RESPOND_RESULT_SUCCESS);
            // A second answer is refused and changes nothing.
            EXPECT_EQ(respond(self, message, next != Answer::allow),
                      es_respond_result_t::ES_RESPOND_RESULT_ERR_DUPLICATE_RESPONSE);
        }
    };
    const auto client = service.es_new_client(handler).client;
    if (!client) {
        GTEST_SKIP() << "fanotify is not available";
    }
    ASSERT_EQ(service.es_subscribe(*client, {ES_EVENT_TYPE_AUTH_EXEC}),
              es_return_t::ES_RETURN_SUCCESS);
    for (const auto& [answer, status] :
         {std::pair{Answer::allow, 0}, std::pair{Answer::deny, EPERM},
          std::pair{Answer::never, EPERM}}) {
        next = answer;
        EXPECT_EQ(execInChild(tool), status) << static_cast<int>(answer);
    }
    // A file deleted once opened, then run, has no path, and is held like any other.
    const fs::path doomed = mountPoint / "doomed";
    fs::copy_file("/bin/true", doomed);
    path = "";
    next = Answer::deny;
    EXPECT_EQ(quorin::testing::execDeletedInChild(doomed), EPERM);
    path = tool.string();
    // Execs outside the scope are not held.
    EXPECT_EQ(execInChild("/bin/true"), 0);
    // The reader answers the watchdog between execs, not while a handler holds it.
    next = Answer::block;
    std::future<int> blocking = quorin::testing::launchExecInChild(tool);
    blocked.get_future().wait();
    service.askExecReaders();
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(service.execReadersAnswered());
    unblock.set_value();
    EXPECT_EQ(blocking.get(), 0);
    EXPECT_TRUE(eventually([&service] { return service.execReadersAnswered(); }));
    // A kept exec waits for its answer from another thread (the reader answers meanwhile); one
    // still waiting when its client goes (as when the daemon dies) runs, as its group closes, and
    // an answer after that is refused.
    next = Answer::keep;
    for (const bool answered : {true, false}) {
        kept = {};
        std::future<int> execution = quorin::testing::launchExecInChild(tool);
        const es_message_t* message = kept.get_future().get();
        EXPECT_EQ(execution.wait_for(100ms), std::future_status::timeout);  // held
        service.askExecReaders();
        EXPECT_TRUE(eventually([&service] { return service.execReadersAnswered(); }));
        if (answered) {
            const auto open = openDescriptors();
            EXPECT_EQ(respond(*client, *message, true),
                      es_respond_result_t::ES_RESPOND_RESULT_SUCCESS);
            // The event's descriptor and the copy identification reads go with the answer,
            // though the message is still kept.
            EXPECT_EQ(openDescriptors(), open - 2);
        } else {
            ASSERT_EQ(service.es_delete_client(*client), es_return_t::ES_RETURN_SUCCESS);
        }
        EXPECT_EQ(execution.get(), 0);
        EXPECT_EQ(respond(*client, *message, false),
                  answered ? es_respond_result_t::ES_RESPOND_RESULT_ERR_DUPLICATE_RESPONSE
                           : es_respond_result_t::ES_RESPOND_RESULT_ERR_INTERNAL);
        service.es_release_message(*message);
    }
    EXPECT_EQ(held, 7);
}

// Off, checking leaves no mark for any exec to wait on, and a held exec still takes its answer;
// an exec whose file concerns nobody is allowed before it reaches the handler, and the kernel
// remembers that until the file is modified or the cache cleared, for a file only root can move.
TEST_F(FanotifyEndpointSecurityTest, ChecksExecsOnlyWhileOnAndOnlyThoseThatConcernSomeone) {
    for (const bool olderKernel : {false, true}) {
        SCOPED_TRACE(olderKernel ? "older kernel" : "kernel");
        const fs::path tool = mountPoint / "tool";
        fs::remove(tool);
        fs::copy_file("/bin/true", tool);
        fs::permissions(mountPoint, fs::perms::owner_all | fs::perms::group_read |
                                        fs::perms::group_exec | fs::perms::others_read |
                                        fs::perms::others_exec);
        FaultyKernel faulty;  // a kernel before 6.0 knows only the older interface to ignore marks
        faulty.refuseIgnoreMarks = olderKernel;
        std::atomic<int> held{0};
        std::atomic<bool> keep{false};
        std::promise<const es_message_t*> kept;
        FanotifyEndpointSecurity service(mountPoint.string(), clock, log, faulty);
        const auto client =
            service
                .es_new_client([&](es_client_t self, const es_message_t& message) {
                    ++held;
                    if (keep) {
                        service.es_retain_message(message);
                        kept.set_value(&message);
                        return;
                    }
                    service.es_respond_auth_result(self, message,
                                                   es_auth_result_t::ES_AUTH_RESULT_ALLOW, false);
                })
                .client;
        if (!client) {
            GTEST_SKIP() << "fanotify is not available";
        }
        std::atomic<bool> concerned{true};
        std::atomic<int> asked{0};
        service.setExecInterest(*client, [&](const es_process_t& target) {
            EXPECT_EQ(target.executable.path.text(), tool.string());
            ++asked;
            return concerned.load();
        });
        ASSERT_EQ(service.setExecChecking(*client, false), es_return_t::ES_RETURN_SUCCESS);
        ASSERT_EQ(service.es_subscribe(*client, {ES_EVENT_TYPE_AUTH_EXEC}),
                  es_return_t::ES_RETURN_SUCCESS);
        enum Before { nothing, clear, modify, openFolder };
        // before the exec, checking, concerned; then marks, questions, held execs, remembered files
        const std::vector<std::tuple<Before, bool, bool, int, int, int, int>> steps{
            {nothing, false, true, 0, 0, 0, 0},  // subscribed with checking off: never marked
            {nothing, true, true, 1, 1, 1, 0},
            {nothing, true, false, 1, 2, 1, 1},  // allowed unasked, and remembered
            {nothing, true, false, 1, 2, 1, 1},  // not even asked
            {nothing, true, true, 1, 2, 1, 1},   // a change of answer not yet told runs unasked
            {clear, true, true, 1, 3, 2, 0},
            {nothing, true, false, 1, 4, 2, 1},
            {modify, true, true, 1, 5, 3, 0},  // the kernel forgets a modified file
            {nothing, true, false, 1, 6, 3, 1},
            {nothing, false, true, 0, 6, 3, 0},     // off: no mark of either kind
            {openFolder, true, false, 1, 7, 3, 0},  // others could move it: never remembered
            {nothing, true, false, 1, 8, 3, 0},
        };
        for (const auto& [before, checking, concerns, marks, questions, holds, ignored] : steps) {
            SCOPED_TRACE(std::to_string(questions));
            if (before == clear) {
                ASSERT_EQ(service.es_clear_cache(*client),
                          es_clear_cache_result_t::ES_CLEAR_CACHE_RESULT_SUCCESS);
            } else if (before == modify) {
                std::ofstream(tool, std::ios::app) << '\0';
            } else if (before == openFolder) {
                fs::permissions(mountPoint, fs::perms::all);  // without the sticky bit
            }
            ASSERT_EQ(service.setExecChecking(*client, checking), es_return_t::ES_RETURN_SUCCESS);
            concerned = concerns;
            EXPECT_EQ(execMarks(), marks);
            EXPECT_EQ(execInChild(tool), 0);
            EXPECT_EQ(asked, questions);
            EXPECT_EQ(held, holds);
            EXPECT_EQ(execMarks("ignored_mask"), ignored);
        }
        keep = true;
        concerned = true;
        std::future<int> execution = quorin::testing::launchExecInChild(tool);
        const es_message_t* message = kept.get_future().get();
        ASSERT_EQ(service.setExecChecking(*client, false), es_return_t::ES_RETURN_SUCCESS);
        EXPECT_EQ(execMarks(), 0);
        EXPECT_EQ(execution.wait_for(100ms), std::future_status::timeout);  // still held
        EXPECT_EQ(service.es_respond_auth_result(*client, *message,
                                                 es_auth_result_t::ES_AUTH_RESULT_DENY, false),
                  es_respond_result_t::ES_RESPOND_RESULT_SUCCESS);
        EXPECT_EQ(execution.get(), EPERM);
        service.es_release_message(*message);
    }
}

// At the bound every answer is remembered; one past it all are forgotten, and remembering starts
// again with that one.
TEST_F(FanotifyEndpointSecurityTest, RemembersAnswersForAtMostTheBoundOfFiles) {
    const std::size_t bound = fanotify::ExecAuthorizations::maximumRememberedFiles;
    for (std::size_t index = 0; index <= bound; ++index) {
        const fs::path script = mountPoint / std::to_string(index);
        std::ofstream(script) << "#!/bin/true\n";
        fs::permissions(script, fs::perms::owner_all | fs::perms::group_exec |
                                    fs::perms::others_exec | fs::perms::others_read);
    }
    FanotifyEndpointSecurity service(mountPoint.string(), clock, log, kernel);
    std::atomic<std::size_t> asked{0};
    const auto client =
        service.es_new_client([](es_client_t, const es_message_t&) { ADD_FAILURE(); }).client;
    if (!client) {
        GTEST_SKIP() << "fanotify is not available";
    }
    service.setExecInterest(*client, [&asked](const es_process_t&) { return ++asked, false; });
    ASSERT_EQ(service.es_subscribe(*client, {ES_EVENT_TYPE_AUTH_EXEC}),
              es_return_t::ES_RETURN_SUCCESS);
    // One shell runs the scripts, far faster than a child of this process each.
    const auto run = [this](std::size_t from, std::size_t to) {
        const std::string loop = "cd '" + mountPoint.string() + "' && i=" + std::to_string(from) +
                                 " && while [ $i -lt " + std::to_string(to) +
                                 " ]; do ./$i || exit 1; i=$((i + 1)); done";
        return std::system(loop.c_str());
    };
    ASSERT_EQ(run(0, bound), 0);
    EXPECT_EQ(asked, bound);
    EXPECT_EQ(execMarks("ignored_mask"), static_cast<int>(bound));
    ASSERT_EQ(run(bound, bound + 1), 0);
    EXPECT_EQ(asked, bound + 1);
    EXPECT_EQ(execMarks("ignored_mask"), 1);
}

// Exec checking goes on through what a loaded machine does to a group: reads that fail for want
// of descriptors are retried, a group that can no longer be read is made again (and said so),
// and a file system mounted later is checked like the rest.
TEST_F(FanotifyEndpointSecurityTest, KeepsCheckingExecsThroughReadErrorsLostGroupsAndNewMounts) {
    const fs::path later = mountPoint / "later";
    const fs::path tool = mountPoint / "tool";
    fs::copy_file("/bin/true", tool);
    FaultyKernel faulty;
    std::atomic<int> held{0};
    std::mutex mutex;
    std::vector<bool> availability;
    FanotifyEndpointSecurity service(mountPoint.string(), clock, log, faulty);
    const auto client = service
                            .es_new_client([&](es_client_t self, const es_message_t& message) {
                                ++held;
                                service.es_respond_auth_result(
                                    self, message, es_auth_result_t::ES_AUTH_RESULT_ALLOW, false);
                            })
                            .client;
    if (!client) {
        GTEST_SKIP() << "fanotify is not available";
    }
    service.setAvailabilityHandler(*client, [&](bool available) {
        const std::lock_guard lock(mutex);
        availability.push_back(available);
    });
    ASSERT_EQ(service.es_subscribe(*client, {ES_EVENT_TYPE_AUTH_EXEC}),
              es_return_t::ES_RETURN_SUCCESS);

    faulty.error = EMFILE;
    faulty.failures = 3;
    EXPECT_EQ(execInChild(tool), 0);
    EXPECT_EQ(held, 1);

    faulty.error = EIO;
    faulty.failures = 1;
    EXPECT_EQ(execInChild(tool), 0);  // let through as the lost group closes
    ASSERT_TRUE(eventually([&] {
        const std::lock_guard lock(mutex);
        return availability == std::vector<bool>{false, true};
    }));
    EXPECT_EQ(execInChild(tool), 0);
    EXPECT_EQ(held, 2);

    fs::create_directory(later);
    ASSERT_EQ(::mount("tmpfs", later.c_str(), "tmpfs", 0, "size=4m"), 0);
    fs::copy_file("/bin/true", later / "tool");
    // Marked as soon as the daemon sees the mount table change.
    EXPECT_TRUE(eventually([&] { return execInChild(later / "tool") == 0 && held == 3; }));
    ::umount2(later.c_str(), MNT_DETACH);
    EXPECT_EQ(log->lines(),
              (std::vector<std::string>{
                  "fanotify error: reading exec events failed: Too many open files; retrying",
                  "fanotify default: reading exec events again after 3 failed reads",
                  "fanotify error: exec group lost: Input/output error; making a new one",
                  "fanotify default: exec group made again"}));
}

}  // namespace
}  // namespace quorin::daemon
