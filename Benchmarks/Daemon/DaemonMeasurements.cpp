// End-to-end measurements of the daemon as a process of its own, run by hand as root
// (`make bench-daemon`), never as tests:
//
//   1. the time an exec that needs no question takes with the daemon and without it: while
//      nobody is protected, of a program outside every protected root, and of baseline programs
//      under one, root's (which the kernel may remember) and a user's (asked about every time),
//      beside the floor: a bare responder that allows every exec at once;
//   2. the time from a write() under a protected prefix to the record at a connected client;
//   3. whether 5,000 changes per second for 20 s all reach the client, and the daemon's memory
//      meanwhile;
//   4. the daemon's resident memory when idle with a client connected.
//
// The daemon is the scoped stand-in, which marks only a private tmpfs mounted here: an exec it
// held would otherwise stall the whole machine. A second tmpfs, never marked, runs the same
// program as a control. An alarm ends everything (the stand-in dies with this process) and
// detaches both mounts should a measurement hang.

#include "QuorinCore/Protection/ExecutionProtectionConfiguration.hpp"
#include "QuorinCore/Service/QuorinDaemonXPCInterfaces.hpp"
#include "quorin/DaemonConnection.hpp"

#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr unsigned watchdogSeconds = 300;
constexpr int execRuns = 2000;
constexpr int latencyWrites = 1000;
constexpr int writesPerSecond = 5000;
constexpr int throughputSeconds = 20;
constexpr int throughputFiles = 100;

// What the watchdog undoes; written before the alarm is armed, read only by its handler.
char watchedMount[256];
char controlMount[256];
volatile sig_atomic_t daemonPid = 0;

extern "C" void onWatchdog(int) {
    static const char message[] = "DaemonMeasurements: a measurement hung; giving up\n";
    if (daemonPid > 0) {
        ::kill(daemonPid, SIGKILL);
    }
    ::umount2(watchedMount, MNT_DETACH);
    ::umount2(controlMount, MNT_DETACH);
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, message, sizeof message - 1);
    ::_exit(3);
}

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

double microseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::micro>(duration).count();
}

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    return values.at(index);
}

// The process's VmRSS; 0 once it has ended.
long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

// The processor time the process has used so far (user and system), in seconds.
double processorSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The fields after the command name, which may itself hold spaces and parentheses:
    // state is field 3, utime and stime are fields 14 and 15.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skipped;
    for (int field = 3; field < 14; ++field) {
        fields >> skipped;
    }
    unsigned long long user = 0;
    unsigned long long system = 0;
    fields >> user >> system;
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Kills the process the watchdog would kill, and waits for it.
void endWatchedProcess(pid_t pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    daemonPid = 0;
}

// A private tmpfs at `path`, detached again when the measurement ends.
class Mount {
  public:
    explicit Mount(fs::path path) : path_(std::move(path)) {
        fs::create_directory(path_);
        if (::mount("tmpfs", path_.c_str(), "tmpfs", 0, "size=64m,mode=0755") != 0) {
            fail("cannot mount a tmpfs at " + path_.string());
        }
    }
    Mount(const Mount&) = delete;
    Mount& operator=(const Mount&) = delete;
    ~Mount() { ::umount2(path_.c_str(), MNT_DETACH); }

    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

// The stand-in daemon, killed when the measurement ends; its log goes to `logPath`.
class ScopedDaemon {
  public:
    ScopedDaemon(const fs::path& mount, const fs::path& directory, const fs::path& logPath)
        : socketPath_(directory / "com.brenmoor.quorin.daemon.xpc") {
        pid_ = ::fork();
        if (pid_ < 0) {
            fail("cannot fork the daemon");
        }
        if (pid_ == 0) {
            const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(log, STDERR_FILENO);
            ::close_range(3, ~0U, 0);
            ::execl(QUORIN_SCOPED_DAEMON_PATH, QUORIN_SCOPED_DAEMON_PATH, mount.c_str(),
                    directory.c_str(), (directory / "protect").c_str(), mount.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        daemonPid = pid_;
    }
    ScopedDaemon(const ScopedDaemon&) = delete;
    ScopedDaemon& operator=(const ScopedDaemon&) = delete;
    ~ScopedDaemon() {
        endWatchedProcess(pid_);
    }

    pid_t pid() const { return pid_; }

    // Connects once the socket is there (within 10 s).
    std::unique_ptr<quorin::cli::DaemonConnection> connect() const {
        for (const auto deadline = Clock::now() + 10s;; std::this_thread::sleep_for(10ms)) {
            try {
                return std::make_unique<quorin::cli::DaemonConnection>(socketPath_.string());
            } catch (const std::runtime_error&) {
                if (Clock::now() > deadline || ::waitpid(pid_, nullptr, WNOHANG) != 0) {
                    throw;
                }
            }
        }
    }

  private:
    fs::path socketPath_;
    pid_t pid_;
};

// The least any user-space answer can cost here: a process that allows every exec on `mount` at
// once (read, answer, close), killed when the measurement ends.
class BareResponder {
  public:
    explicit BareResponder(const fs::path& mount) {
        int ready[2];
        if (::pipe(ready) != 0) {
            fail("cannot make a pipe");
        }
        pid_ = ::fork();
        if (pid_ < 0) {
            fail("cannot fork the bare responder");
        }
        if (pid_ == 0) {
            ::close(ready[0]);
            respond(mount, ready[1]);
        }
        daemonPid = pid_;
        ::close(ready[1]);
        char marked = 0;
        const bool started = ::read(ready[0], &marked, 1) == 1;
        ::close(ready[0]);
        if (!started) {
            throw std::runtime_error("the bare responder could not mark " + mount.string());
        }
    }
    BareResponder(const BareResponder&) = delete;
    BareResponder& operator=(const BareResponder&) = delete;
    ~BareResponder() {
        endWatchedProcess(pid_);
    }

  private:
    [[noreturn]] static void respond(const fs::path& mount, int ready) {
        const int group = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_CLOEXEC);
        if (group < 0 || ::fanotify_mark(group, FAN_MARK_ADD | FAN_MARK_MOUNT, FAN_OPEN_EXEC_PERM,
                                         AT_FDCWD, mount.c_str()) != 0) {
            ::_exit(1);
        }
        [[maybe_unused]] const auto told = ::write(ready, "r", 1);
        alignas(fanotify_event_metadata) char buffer[4096];
        for (;;) {
            const ssize_t length = ::read(group, buffer, sizeof buffer);
            if (length <= 0) {
                ::_exit(1);
            }
            auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
            for (ssize_t left = length; FAN_EVENT_OK(event, left);
                 event = FAN_EVENT_NEXT(event, left)) {
                const fanotify_response allow{event->fd, FAN_ALLOW};
                [[maybe_unused]] const auto answered = ::write(group, &allow, sizeof allow);
                ::close(event->fd);
            }
        }
    }

    pid_t pid_;
};

// Runs `program` once in a child with no inherited descriptors; the time to its exit.
Clock::duration timedRun(const fs::path& program) {
    const auto start = Clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        ::close_range(3, ~0U, 0);
        ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        throw std::runtime_error(program.string() + " did not run to success");
    }
    return Clock::now() - start;
}

struct ExecMedians {
    double watched;
    double control;
};

// Alternates runs of the program on the daemon's mount and on the control mount.
ExecMedians execMedians(const fs::path& watched, const fs::path& control) {
    std::vector<double> watchedRuns;
    std::vector<double> controlRuns;
    for (int run = 0; run < execRuns; ++run) {
        watchedRuns.push_back(microseconds(timedRun(watched)));
        controlRuns.push_back(microseconds(timedRun(control)));
    }
    return {percentile(watchedRuns, 0.5), percentile(controlRuns, 0.5)};
}

fs::path copyOfTrue(const fs::path& mount, const std::string& folder = "bin",
                    const std::string& name = "true") {
    fs::create_directories(mount / folder);
    const fs::path program = mount / folder / name;
    fs::copy_file("/bin/true", program);
    return program;
}

// Protection on for the folder of `programs`, each a known executable.
void protectWithBaseline(quorin::cli::DaemonConnection& connection,
                         const std::vector<fs::path>& programs) {
    quorin::ExecutionProtectionConfiguration configuration;
    configuration.enabled = true;
    configuration.executableRoots = {programs.front().parent_path().string()};
    for (const fs::path& program : programs) {
        struct stat status {};
        if (::lstat(program.c_str(), &status) != 0) {
            fail("cannot read the status of " + program.string());
        }
        configuration.baseline.emplace(program.string(), quorin::fileVersion(status));
    }
    if (!connection.configureProtection(quorin::encodeJSONText(configuration))) {
        throw std::runtime_error("the daemon refused the protection configuration");
    }
}

// The exec-permission marks the daemon's fanotify groups hold, from its descriptors' fdinfo.
int execMarks(pid_t daemon) {
    int count = 0;
    for (const auto& entry :
         fs::directory_iterator("/proc/" + std::to_string(daemon) + "/fdinfo")) {
        std::ifstream info(entry.path());
        for (std::string line; std::getline(info, line);) {
            const std::size_t at = line.find(" mask:");
            count += line.rfind("fanotify ", 0) == 0 && at != std::string::npos &&
                     (std::stoul(line.substr(at + 6), nullptr, 16) & 0x40000) != 0;
        }
    }
    return count;
}

// Execs of `program` alternating with the control's, with and without the daemon, and the
// daemon's processor time they cost.
void reportExecs(const char* what, const fs::path& program, const fs::path& control,
                 const ExecMedians& before, pid_t daemon) {
    const double processorBefore = processorSeconds(daemon);
    const ExecMedians with = execMedians(program, control);
    const double processorPerExec = 1e6 * (processorSeconds(daemon) - processorBefore) / execRuns;
    std::printf("  %-52s %7.1f µs %7.1f µs %+8.1f µs %+8.1f µs %6.1f µs\n", what, with.watched,
                with.control, with.watched - before.watched, with.watched - with.control,
                processorPerExec);
}

void protectPaths(quorin::cli::DaemonConnection& connection, const fs::path& folder) {
    const std::vector<std::string> paths{folder.string()};
    const std::string expected = quorin::QuorinDaemonXPCInterfaces::subscribedStatus(
        quorin::QuorinDaemonXPCInterfaces::protectedPathsFingerprint(paths));
    connection.setProtectedPaths(paths);
    if (connection.status() != expected) {
        throw std::runtime_error("the daemon did not take the protected paths");
    }
}

// Whether `record` is the modification of a file whose path begins with `pathPrefix`; creating a
// file gives a record too, which must not count.
bool isModification(const std::string& record, const std::string& pathPrefix) {
    return record.rfind("{\"path\":\"" + pathPrefix, 0) == 0 &&
           record.find("\"operation\":\"fileModified\"") != std::string::npos;
}

void writeByte(int descriptor) {
    if (::write(descriptor, "x", 1) != 1) {
        fail("cannot write a protected file");
    }
}

// Writes a protected file `latencyWrites` times, each time waiting for its record.
std::vector<double> recordLatencies(quorin::cli::DaemonConnection& connection,
                                    const fs::path& file) {
    const int descriptor = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (descriptor < 0) {
        fail("cannot create " + file.string());
    }
    const std::string exactPath = file.string() + "\"";
    std::vector<double> latencies;
    for (int write = 0; write < latencyWrites; ++write) {
        const auto start = Clock::now();
        writeByte(descriptor);
        connection.receive([&](const std::string& record) {
            if (!isModification(record, exactPath)) {
                return true;  // the file's creation
            }
            latencies.push_back(microseconds(Clock::now() - start));
            return false;
        });
    }
    ::close(descriptor);
    return latencies;
}

struct ThroughputResult {
    long writes;
    double writeSeconds;
    long records;
    double drainSeconds;  // from the last write to the last record
    std::vector<long> residentKiBEachSecond;
};

// Writes `writesPerSecond` times a second, in batches each millisecond, round robin over
// `throughputFiles` open files, then a last write to an end marker. A thread counts the records
// until the marker's arrives; the daemon's VmRSS is sampled each second meanwhile. Everything is
// created before counting starts.
ThroughputResult throughput(quorin::cli::DaemonConnection& connection, const fs::path& folder,
                            pid_t daemon) {
    std::vector<int> descriptors;
    for (int file = 0; file < throughputFiles; ++file) {
        const fs::path path = folder / ("file" + std::to_string(file));
        descriptors.push_back(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        if (descriptors.back() < 0) {
            fail("cannot create " + path.string());
        }
    }
    const fs::path marker = folder / "end";
    const int end = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (end < 0) {
        fail("cannot create " + marker.string());
    }
    const std::string markerPath = marker.string() + "\"";
    const std::string filePrefix = (folder / "file").string();

    ThroughputResult result{};
    std::atomic<bool> done = false;
    std::string failure;
    Clock::time_point lastRecord;
    std::thread counter([&] {
        try {
            connection.receive([&](const std::string& record) {
                if (isModification(record, filePrefix)) {
                    ++result.records;
                } else if (isModification(record, markerPath)) {
                    lastRecord = Clock::now();
                    return false;
                }
                return true;
            });
        } catch (const std::exception& error) {
            failure = error.what();
        }
        done = true;
    });
    std::thread sampler([&] {
        // The daemon cannot end while this process lives, except by a fault that the counter
        // then reports.
        for (long kib; !done && (kib = residentKiB(daemon)) > 0;) {
            result.residentKiBEachSecond.push_back(kib);
            for (int tick = 0; tick < 100 && !done; ++tick) {
                std::this_thread::sleep_for(10ms);
            }
        }
    });

    constexpr int perBatch = writesPerSecond / 1000;
    const auto start = Clock::now();
    for (int batch = 0; batch < throughputSeconds * 1000; ++batch) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(batch));
        for (int index = 0; index < perBatch; ++index) {
            writeByte(descriptors[static_cast<std::size_t>(result.writes++ % throughputFiles)]);
        }
    }
    const auto lastWrite = Clock::now();
    result.writeSeconds = std::chrono::duration<double>(lastWrite - start).count();
    writeByte(end);
    counter.join();
    sampler.join();
    if (!failure.empty()) {
        throw std::runtime_error(failure);
    }
    result.drainSeconds = std::chrono::duration<double>(lastRecord - lastWrite).count();
    ::close(end);
    for (const int descriptor : descriptors) {
        ::close(descriptor);
    }
    return result;
}

void measure(const fs::path& directory) {
    const Mount watched(directory / "watched");
    const Mount control(directory / "control");
    std::snprintf(watchedMount, sizeof watchedMount, "%s", watched.path().c_str());
    std::snprintf(controlMount, sizeof controlMount, "%s", control.path().c_str());
    ::signal(SIGALRM, onWatchdog);
    ::alarm(watchdogSeconds);

    const fs::path program = copyOfTrue(watched.path());
    const fs::path controlProgram = copyOfTrue(control.path());
    // A user's own program under the protected root, which only the question can let run, and
    // root's program outside every root.
    const fs::path usersProgram = copyOfTrue(watched.path(), "bin", "users-true");
    if (::chown(usersProgram.c_str(), 1000, 1000) != 0) {
        fail("cannot give " + usersProgram.string() + " to user 1000");
    }
    const fs::path outsideProgram = copyOfTrue(watched.path(), "opt/bin");
    const fs::path protectedFolder = watched.path() / "protected";
    fs::create_directory(protectedFolder);

    const ExecMedians before = execMedians(program, controlProgram);
    const ExecMedians bare = [&] {
        const BareResponder responder(watched.path());
        return execMedians(program, controlProgram);
    }();

    const ScopedDaemon daemon(watched.path(), directory, directory / "daemon.log");
    const auto connection = daemon.connect();
    protectPaths(*connection, protectedFolder);
    std::printf(
        "exec of a copy of /bin/true, median of %d (fork, exec, wait), each run alternating with "
        "the same on the control mount; without the daemon %.1f µs watched, %.1f µs control\n"
        "  %-52s %10s %10s %11s %11s %9s\n",
        execRuns, before.watched, before.control, "", "watched", "control", "− without",
        "− control", "daemon");
    std::printf("  %-52s %7.1f µs %7.1f µs %+8.1f µs %+8.1f µs\n",
                "a bare responder that allows at once (the floor)", bare.watched, bare.control,
                bare.watched - before.watched, bare.watched - bare.control);
    std::printf("  exec-permission marks while nobody is protected: %d\n", execMarks(daemon.pid()));
    reportExecs("nobody protected (target: 0 within noise)", program, controlProgram, before,
                daemon.pid());
    protectWithBaseline(*connection, {program, usersProgram});
    std::printf("  exec-permission marks with protection on: %d\n", execMarks(daemon.pid()));
    reportExecs("outside every protected root (target 5 µs)", outsideProgram, controlProgram,
                before, daemon.pid());
    reportExecs("root's baseline program under the root", program, controlProgram, before,
                daemon.pid());
    reportExecs("a user's baseline program under it (target 30 µs)", usersProgram, controlProgram,
                before, daemon.pid());
    std::this_thread::sleep_for(3s);
    const long idle = residentKiB(daemon.pid());
    std::printf(
        "idle VmRSS, a client connected with paths and protection set: %.1f MiB "
        "(target 20 MiB)\n",
        static_cast<double>(idle) / 1024.0);

    const std::vector<double> latencies = recordLatencies(*connection, protectedFolder / "latency");
    std::printf(
        "\nwrite() to record at the client, %d writes: median %.0f µs, p99 %.0f µs, "
        "max %.0f µs (target median 5 ms)\n",
        latencyWrites, percentile(latencies, 0.5), percentile(latencies, 0.99),
        percentile(latencies, 1.0));

    const long beforeLoad = residentKiB(daemon.pid());
    const double processorBefore = processorSeconds(daemon.pid());
    const ThroughputResult load = throughput(*connection, protectedFolder, daemon.pid());
    const double processor = processorSeconds(daemon.pid()) - processorBefore;
    std::this_thread::sleep_for(2s);
    const long afterLoad = residentKiB(daemon.pid());
    const long peak =
        *std::max_element(load.residentKiBEachSecond.begin(), load.residentKiBEachSecond.end());
    std::printf(
        "\n%ld writes in %.2f s (%.0f/s) over %d files: %ld records arrived (%.2f%%), the "
        "last %.3f s after the last write\n"
        "  daemon processor time: %.2f s, %.0f µs per record\n"
        "  daemon VmRSS: %.1f MiB before, peak %.1f MiB, %.1f MiB 2 s after\n"
        "  each second:",
        load.writes, load.writeSeconds, static_cast<double>(load.writes) / load.writeSeconds,
        throughputFiles, load.records,
        100.0 * static_cast<double>(load.records) / static_cast<double>(load.writes),
        load.drainSeconds, processor,
        1e6 * processor / static_cast<double>(std::max(load.records, 1L)),
        static_cast<double>(beforeLoad) / 1024.0, static_cast<double>(peak) / 1024.0,
        static_cast<double>(afterLoad) / 1024.0);
    for (const long sample : load.residentKiBEachSecond) {
        std::printf(" %.1f", static_cast<double>(sample) / 1024.0);
    }
    std::printf(" MiB\n");
    ::alarm(0);
}

}  // namespace

int main() {
    if (::geteuid() != 0) {
        std::fprintf(stderr,
                     "DaemonMeasurements needs root: it mounts private tmpfs file "
                     "systems and the daemon uses fanotify.\n");
        return 2;
    }
    char pattern[] = "/tmp/quorin-daemon-measurements.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        std::perror("DaemonMeasurements: cannot make a temporary directory");
        return 1;
    }
    const fs::path directory = pattern;
    int exitCode = 0;
    try {
        measure(directory);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "DaemonMeasurements: %s\n", error.what());
        exitCode = 1;
    }
    std::error_code ignored;
    fs::remove_all(directory, ignored);
    return exitCode;
}
