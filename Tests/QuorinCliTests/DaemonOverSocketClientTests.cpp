// The built client run as a user would: on files and the example fixtures, and against a fake
// daemon on a real socket whose script runs on a thread of its own. Also the client's connection,
// in this process, against the same fake.

#include "QuorinCore/Protection/ExecutionProtectionConfiguration.hpp"
#include "QuorinCore/Service/QuorinDaemonXPCInterfaces.hpp"
#include "QuorinCore/Service/XPCFrame.hpp"
#include "QuorinCore/Service/XPCMessage.hpp"
#include "QuorinCore/Support/UniqueFd.hpp"
#include "TestSupport/ChildProcess.hpp"
#include "TestSupport/JSONTesting.hpp"
#include "TestSupport/TemporaryDirectory.hpp"
#include "quorin/CommandOutput.hpp"
#include "quorin/DaemonConnection.hpp"
#include "quorin/DiffCommand.hpp"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace quorin {
namespace {

using testing::TemporaryDirectory;

/// Runs the client with the words of `command`, split at each single blank (so "a " ends with an
/// empty word), in a fixed time zone two hours east of UTC and no other environment.
testing::ChildProcessResult quorin(const std::string& command,
                                   const std::string& input = "/dev/null",
                                   const std::vector<std::string>& environment = {"TZ=QRT-2"}) {
    std::vector<std::string> words;
    for (std::size_t start = 0, end = 0; !command.empty() && end != std::string::npos;
         start = end + 1) {
        end = command.find(' ', start);
        words.push_back(command.substr(start, end - start));
    }
    return testing::runChildProcess(QUORIN_CLI_PATH, words, environment, std::chrono::seconds(30),
                                    input);
}

// Its exit status, output and error output.
auto outcome(const testing::ChildProcessResult& result) {
    return std::tie(result.exitStatus, result.out, result.err);
}

const std::string examples = QUORIN_EXAMPLES_DIR;
const std::string two = examples + "/two-unrelated-changes.json";
const std::string requestID = "6F1C2B9E-0D3A-4C55-9E77-1A2B3C4D5E6F";

// Exit status 2 for bad usage, 1 with one line on standard error for a failure, 0 with exactly
// the result.
TEST(CommandsTest, PrintExactlyTheirResultOrOneLineAndTheirStatus) {
    const TemporaryDirectory directory;
    const auto file = [&directory](const char* name, const std::string& content) {
        return directory.write(name, content).string();
    };
    const std::string folder = directory.path().string();
    const std::string text = file("in.txt", "cd /home/ana/src\nexport GH_TOKEN=\"ghp_x\"\nlast");
    const std::string redacted = "cd ~/src\nexport GH_TOKEN=[REDACTED]\nlast";
    const std::string diff =
        "diff " + file("old", "a\nb\nc\nd\ne\n") + " " + file("new", "a\nB\nc\nd\ne\nf\x1B\n");
    const std::string diffHeader = "--- " + folder + "/old\n+++ " + folder + "/new\n";
    const std::string exportTwo = "export " + two + " --home /home/ana";
    const std::string home = "The home directory ";
    // Checked before the daemon is asked for anything.
    const auto references = [&file](const char* name, const std::string& content) {
        return "protect references " + file(name, content) + " --socket /nonexistent";
    };
    const std::string refused = "quorin protect references: " + folder + "/";
    struct Case {
        std::string command;
        int status;
        std::string text;  // the output with status 0, the error otherwise
        std::string input = "/dev/null";
    };
    const std::vector<Case> cases{
        {"replay " + two + " --bogus\x1B[2J", 2,
         "The following argument was not expected: --bogus\\u{001B}[2J\n"},
        {diff + " --context -1", 2, "--context: must be a whole number of at least 0, not -1\n"},
        {diff + " --color=yes", 2, "--color: must be never, always or auto, not \"yes\"\n"},
        {exportTwo + " --diff /p " + two, 2, "--diff takes three values: PATH OLD NEW\n"},
        {"watch /a b", 2, "PATH: must be an absolute path, not \"b\"\n"},
        {"watch --json", 2, "PATH: give at least one PATH, or --defaults\n"},
        {"protect enable --socket /nonexistent", 2,
         "ROOT: give at least one ROOT, or --defaults\n"},
        {"protect decide 6F1C2B9E block", 2,
         "ID: must be a request id (a UUID), not \"6F1C2B9E\"\n"},
        {"protect decide " + requestID + " Block", 2,
         "DECISION: must be block, allowOnce or alwaysTrust, not \"Block\"\n"},
        {"status --socket /nonexistent", 1,
         "cannot connect to the daemon at /nonexistent: No such file or directory\n"},
        {"redact --home /", 1,
         home + "\"/\" is the root directory, which would redact every path\n"},
        {"redact --home ~", 1, home + "\"~\" is not an absolute path\n"},
        {"redact --home ", 1, home + "is empty\n"},
        {"redact --home /h /none", 1, "Could not open /none: No such file or directory\n"},
        {"redact --home /h " + folder, 1, "Could not read " + folder + ": Is a directory\n"},
        {exportTwo + " --incident 3", 1, "There is no incident 3: the fixture gives 2 incidents\n"},
        {exportTwo + " --diff-text relative " + two, 1,
         "The diff path \"relative\" is not absolute\n"},
        {"replay " + two + " --home /home/ana --only", 1,
         "The fixture produced 2 incidents; expected exactly one\n"},
        {references("list.json", "[]"), 1,
         refused + "list.json is not a JSON object from paths to time stamps: Type mismatch at "
                   "<root>: Expected an object but found an array instead.\n"},
        {references("relative.json", R"({"/a":1,"relative/x":1})"), 1,
         refused + "relative.json must hold at most 2000 absolute paths without NUL, each of at "
                   "most 4096 bytes and dated at most an hour from now\n"},
        {references("large.json", std::string(1'048'577, ' ')), 1,
         refused + "large.json is larger than 1048576 bytes\n"},
        {"replay " +
             file("empty.json",
                  R"({"schemaVersion":2,"protectedPaths":[],"processes":[],"events":[]})") +
             " --home /home/ana",
         0, "No incidents\n\nDiagnostics: none\n"},
        {"redact --home /home/ana/ " + text, 0, redacted},
        {"redact --home /home/ana", 0, redacted, text},
        // Not to a terminal, lines keep their bytes; colour only when asked (see also ColorChoice).
        {diff, 0, diffHeader + "@@ -1,5 +1,6 @@\n a\n-b\n+B\n c\n d\n e\n+f\x1B\n"},
        {diff + " --context 0 --color=never", 0,
         diffHeader + "@@ -2 +2 @@\n-b\n+B\n@@ -5,0 +6 @@\n+f\x1B\n"},
        {diff + " --context 0 --color=always", 0,
         "\x1B[1m--- " + folder + "/old\x1B[0m\n\x1B[1m+++ " + folder +
             "/new\x1B[0m\n\x1B[36m@@ -2 +2 @@\x1B[0m\n\x1B[31m-b\x1B[0m\n\x1B[32m+B\x1B[0m\n"
             "\x1B[36m@@ -5,0 +6 @@\x1B[0m\n\x1B[32m+f\x1B\x1B[0m\n"},
        {"diff " + folder + "/old " + folder + "/old", 0, ""},
        {diff + " --context 0 --json", 0,
         R"([[{"kind":"removed","text":"b"},{"kind":"added","text":"B"}],[{"kind":"added","text":"f\u001b"}]])"
         "\n"},
        {"fingerprint /b /a", 0, "b340cf7806105740\n"},
    };
    for (const Case& sample : cases) {
        SCOPED_TRACE(sample.command);
        const std::string none;
        EXPECT_EQ(outcome(quorin(sample.command, sample.input)),
                  std::tie(sample.status, sample.status == 0 ? sample.text : none,
                           sample.status == 0 ? none : sample.text));
    }
}

// What `diff` prints, applied by `patch` to a copy of the old file, gives the new one byte for
// byte, with every hunk where its header says (`patch` reports no offset or fuzz).
TEST(CommandsTest, DiffIsAPatchThatMakesTheNewFile) {
    const TemporaryDirectory directory;
    const std::string lines = "1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n11\n12\n";
    const std::pair<std::string, std::string> cases[] = {
        {lines, "0\n" + lines.substr(2)},                    // a change at the start
        {lines, lines.substr(0, 21) + "x\n"},                // at the end
        {lines, "1\n2\nx\n4\n5\n6\n7\n8\ny\n10\n11\n12\n"},  // 5 lines apart: one hunk
        {lines, "1\nx\n3\n4\n5\n6\n7\n8\n9\ny\n11\n12\n"},   // 7 lines apart: two
        {"", "a\nb\n"},
        {lines, ""},
        {"a\nb", "a\nb\n"},
        {"a\nb\n", "a\nc"},
        {"a\nb\tc\r\n\x1B", "a\nb\tc\r\n\x1B\n"},  // bytes a terminal would see escaped
    };
    for (const auto& [oldText, newText] : cases) {
        SCOPED_TRACE(oldText + "|" + newText);
        const std::string copy = directory.write("copy", oldText).string();
        const auto diff = quorin("diff " + directory.write("old", oldText).string() + " " +
                                 directory.write("new", newText).string());
        ASSERT_EQ(diff.exitStatus, 0) << diff.err;
        const auto patched =
            testing::runChildProcess("/usr/bin/patch", {copy}, std::nullopt,
                                     std::chrono::seconds(30), directory.write("patch", diff.out));
        EXPECT_EQ(outcome(patched),
                  std::make_tuple(std::optional(0), "patching file " + copy + "\n", std::string()));
        std::ifstream result(copy, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(result), {}), newText);
    }
}

// In auto mode, colour only on a terminal and while NO_COLOR is unset or empty.
TEST(ColorChoiceTest, ColoursAsAskedAndAsTheTerminalAndNO_COLORAllow) {
    using cli::ColorChoice;
    const struct {
        ColorChoice choice;
        bool terminal;
        const char* noColor;
        bool colors;
    } cases[] = {
        {ColorChoice::never, true, nullptr, false},
        {ColorChoice::always, false, "1", true},
        {ColorChoice::automatic, false, nullptr, false},
        {ColorChoice::automatic, true, nullptr, true},
        {ColorChoice::automatic, true, "", true},
        {ColorChoice::automatic, true, "1", false},
    };
    for (const auto& sample : cases) {
        EXPECT_EQ(cli::colorsOutput(sample.choice, sample.terminal, sample.noColor), sample.colors)
            << static_cast<int>(sample.choice) << sample.terminal << (sample.noColor != nullptr);
    }
}

// For a terminal, names always and lines when asked have their controls escaped.
TEST(ColorChoiceTest, UnifiedDiffEscapesForATerminal) {
    const auto hunks = LineDiff::hunks("\x1B\n", "b\n", 0);
    EXPECT_EQ(cli::unifiedDiff(hunks, "o\x1B", "n", true, false),
              "--- o\\u{001B}\n+++ n\n@@ -1 +1 @@\n-\\u{001B}\n+b\n");
    EXPECT_EQ(cli::unifiedDiff(hunks, "o\x1B", "n", false, false),
              "--- o\\u{001B}\n+++ n\n@@ -1 +1 @@\n-\x1B\n+b\n");
}

TEST(CommandsTest, ReplayEachExampleToItsIncidentsWithTheHomeAndTimeStampsAsked) {
    const auto replay = [](const std::string& arguments,
                           const std::vector<std::string>& environment = {}) {
        const auto result =
            quorin("replay " + examples + "/" + arguments + " --json", "/dev/null", environment);
        EXPECT_EQ(result.exitStatus, 0) << result.err;
        return parseJSON(result.out);
    };
    // Each incident's severity and score, then the number of diagnostics. (The analysis itself,
    // factors included, is checked where it is made.)
    const std::map<std::string, std::string> expected{
        {"launch-daemon-added.json", "high 80; 0"},
        {"unsigned-executable-dropped.json", "high 70; 0"},
        {"package-manager-install.json", "low 0; 0"},
        {"shell-startup-edited.json", "medium 55; 1"},
        {"two-unrelated-changes.json", "low 0; medium 60; 0"},
    };
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(examples), {}),
              static_cast<std::ptrdiff_t>(expected.size()));
    for (const auto& [name, incidents] : expected) {
        const Json report = replay(name + " --home /home/ana");
        std::string summary;
        for (const Json& incident : report["incidents"]) {
            summary += incident["assessment"]["severity"].get<std::string>() + " " +
                       incident["assessment"]["score"].dump() + "; ";
        }
        EXPECT_EQ(summary + std::to_string(report["diagnostics"].size()), incidents) << name;
    }
    const auto startedAt = [&replay](const std::string& options) {
        return replay("launch-daemon-added.json --home /h" + options)["incidents"][0]["startedAt"]
            .get<double>();
    };
    EXPECT_DOUBLE_EQ(startedAt(" --unix-time"), startedAt("") - 978'307'200.0);
    // "~" in the fixture stands for $HOME, or without it for the home the password database gives.
    EXPECT_NE(
        replay("shell-startup-edited.json", {"HOME=/home/bob"}).dump().find("/home/bob/.bashrc"),
        std::string::npos);
    EXPECT_EQ(replay("shell-startup-edited.json", {"HOME="})["incidents"].size(), 1U);
}

// The diffs are shared in the order given: a --diff-text as the file holds it, a --diff as `diff`
// writes its hunks (with the context asked, "@@" between hunks, no file or hunk headers). A diff of
// a private-key file shows no part of the key, whatever its context holds: keys made now by
// ssh-keygen, OpenSSH and PEM, each with a line changed just before it (only its begin marker in
// context) and just after it (only its end marker), cut short of its end marker, and the OpenSSH
// ones with their comment changed (lines inside the key).
TEST(CommandsTest, ExportSharesTheDiffsInTheOrderGivenAndNoPartOfAPrivateKey) {
    const TemporaryDirectory directory;
    const auto text = [](const std::filesystem::path& path) {
        std::ifstream stream(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(stream), {});
    };
    const auto keygen = [](const std::vector<std::string>& arguments) {
        EXPECT_EQ(testing::runChildProcess("/usr/bin/ssh-keygen", arguments).exitStatus, 0);
    };
    const std::string marker = "[REDACTED PRIVATE KEY]";
    const std::string verbatim = directory.write("text", "+verbatim");
    std::string command = "export " + examples + "/shell-startup-edited.json --home /home/ana";
    command += " --context 1 --diff-text /first " + verbatim;
    std::string expected = "### /first\n\n```diff\n+verbatim\n```\n\n";
    int count = 0;
    const auto share = [&](const std::string& oldText, const std::string& newText,
                           const std::string& diff) {
        const std::string name = std::to_string(++count);
        command += " --diff /" + name + " " + directory.write(name + ".old", oldText).string() +
                   " " + directory.write(name + ".new", newText).string();
        expected += "### /" + name + "\n\n```diff\n" + diff + "\n```\n\n";
    };
    share("a\nb\nc\nd\ne\n", "x\nb\nc\nd\nE",
          "-a\n+x\n b\n@@\n d\n-e\n+E\n\\ No newline at end of file");
    for (const std::vector<std::string>& type :
         std::vector<std::vector<std::string>>{{"ed25519"},
                                               {"rsa", "-b", "1024"},
                                               {"rsa", "-b", "1024", "-m", "PEM"},
                                               {"ecdsa", "-m", "PEM"}}) {
        const std::string file = (directory.path() / ("key" + std::to_string(count))).string();
        std::vector<std::string> arguments{"-q", "-N", "", "-C", "one", "-f", file, "-t"};
        arguments.insert(arguments.end(), type.begin(), type.end());
        keygen(arguments);
        const std::string key = text(file);
        share("# one\n" + key, "# two\n" + key, "-# one\n+# two\n " + marker);
        share(key + "# one\n", key + "# two\n", " " + marker + "\n-# one\n+# two");
        share(key.substr(0, key.find("-----END")), key, "-" + marker + "\n+" + marker);
        if (type.size() < 5) {
            keygen({"-q", "-c", "-C", "two", "-f", file});
            share(key, text(file), "-" + marker + "\n+" + marker);
        }
    }
    command += " --diff-text ~/last " + verbatim;
    expected += "### ~/last\n\n```diff\n+verbatim\n```\n\n";
    const auto result = quorin(command);
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    const std::size_t from = result.out.find("### /first");
    EXPECT_EQ(result.out.substr(from, result.out.find("## Requested analysis") - from), expected);
    const std::string exportTwo = "export " + two + " --home /home/ana";
    EXPECT_NE(quorin(exportTwo).out, quorin(exportTwo + " --incident 2").out);
}

XPCValue bytes(const std::string& content) {
    return XPCValue(XPCData{content});
}

template <class... Values>
std::vector<XPCValue> args(Values... values) {
    return {XPCValue(std::move(values))...};
}

/// Listens at `path` and runs `script` on the first connection; the script talks through `next`,
/// `reply`, `deliver` and `close`. The destructor waits for the script to end, so a script must
/// end once the client has gone (`next` then gives nothing). A script that throws fails the test.
class FakeDaemon {
    TemporaryDirectory directory_;

  public:
    const std::string path = (directory_ / "daemon.sock").string();

    explicit FakeDaemon(std::function<void(FakeDaemon&)> script) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::copy(path.begin(), path.end(), address.sun_path);
        const auto* at = reinterpret_cast<const sockaddr*>(&address);
        listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::bind(listener_.get(), at, sizeof address) != 0 || ::listen(listener_.get(), 1) != 0) {
            throw std::system_error(errno, std::generic_category(), "listen at " + path);
        }
        thread_ = std::thread([this, script = std::move(script)] {
            try {
                // A client that never comes (it failed before connecting) ends the wait.
                pollfd incoming{listener_.get(), POLLIN, 0};
                if (::poll(&incoming, 1, 30'000) == 1) {
                    connection_.reset(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
                    script(*this);
                }
            } catch (const std::exception& error) {
                ADD_FAILURE() << "the fake daemon's script failed: " << error.what();
            }
        });
    }
    ~FakeDaemon() { thread_.join(); }

    /// The next call the client sent, or nothing once it has closed the connection.
    std::optional<XPCInvocation> next() {
        static const XPCInterface interface = QuorinDaemonXPCInterfaces::daemonInterface();
        for (char buffer[65536];;) {
            if (std::optional<std::string> body = reader_.next()) {
                return decodeInvocation(*body, interface);
            }
            const ssize_t count = ::recv(connection_.get(), buffer, sizeof buffer, 0);
            if (count <= 0) {
                return std::nullopt;
            }
            reader_.append(std::string_view(buffer, static_cast<std::size_t>(count)));
        }
    }
    void drain() {
        while (next()) {
        }
    }
    void reply(std::uint64_t id, XPCValue value) {
        write(encodeReply(XPCReply{id, std::move(value)}));
    }
    void deliver(const std::string& record) {
        write(encodeInvocation({std::nullopt, "deliver:", args(bytes(record))}));
    }
    void close() { connection_.reset(); }

  private:
    void write(const std::string& body) {
        const std::string bytes = framed(body);
        if (::send(connection_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(bytes.size())) {
            throw std::system_error(errno, std::generic_category(), "send");
        }
    }

    UniqueFd listener_;
    UniqueFd connection_;
    XPCFrameReader reader_;
    std::thread thread_;
};

TEST(DaemonOverSocketClientTest, SendsItsRequestsAndPrintsTheAnswerForPeopleAndPrograms) {
    const TemporaryDirectory directory;
    const std::string blocked =
        R"({"id":")" + requestID +
        R"(","path":"/home/ana/bin/t)"
        "\xE2\x80\xAE"
        R"(","date":736000000.25,"reason":"Blocked by user","allowed":false})";
    const std::string state =
        R"({"executableRoots":["/home/ana/bin","/opt/x"],"available":true,"enabled":true,)"
        R"("error":"Protection storage unavailable","pending":[{"id":")" +
        requestID +
        R"(","path":"/home/ana/bin/new","signingID":"","teamID":"","deadline":736000060,)"
        R"("canAlwaysTrust":false,"explanation":{"reasons":["notInBaseline",)"
        R"("recentPersistenceReference"],"signature":"unsigned","trust":"noMatchingRule",)"
        R"("recordedAt":736000000}}],"outcomes":[)" +
        blocked + R"(],"trustedRuleCount":3})";
    // At the most the daemon takes, sent as it is; a byte more is refused before connecting.
    std::string references = R"({"/usr/local/bin/tool":700000000.5})";
    references.resize(1'048'576, ' ');
    const auto subscribed = [](std::vector<std::string> paths) {
        return "subscribed:" + QuorinDaemonXPCInterfaces::protectedPathsFingerprint(paths);
    };
    const std::string both = subscribed({"/home/ana/a", "/home/ana/b"});
    const std::string zshrcRecord =
        R"({"path":"/home/ana/b/.zshrc","timestamp":20.5,"operation":"fileModified","writer":{"pid":4242,"executablePath":"/usr/bin/zsh"},"isPlatformBinary":false,"ancestry":[{"pid":4200,"executablePath":"/usr/sbin/sshd"},{"pid":1,"executablePath":"/"}]})";
    const std::vector<std::string> records{
        R"({"path":"/home/ana/a/x\u001b[31m)"
        "\xC3\xA9"
        R"(","timestamp":10.5,"writer":{"pid":42,"executablePath":"/usr/bin/vi"},"isPlatformBinary":false,"ancestry":[],"extra":1})",
        zshrcRecord, "not JSON"};
    const std::string recordsEnd =
        "quorin watch: skipped a record that does not decode: Data corrupted at <root>: The given "
        "data was not valid JSON.\nthe daemon closed the connection\n";
    const auto watching = [](std::vector<std::string> paths) {
        return XPCInvocation{std::nullopt, "setProtectedPaths:", args(std::move(paths))};
    };
    const std::vector<XPCInvocation> watchingBA{watching({"/home/ana/b", "/home/ana/a"})};
    const std::string root = std::filesystem::canonical(directory.path()).string();
    // The directory holds no executable and no link.
    const auto configuration =
        args(bytes(encodeJSONText(ExecutionProtectionConfiguration{true, {root}, {}, {}, {}})));
    const XPCInvocation askState{1, "protectionStateWithReply:", {}};
    const std::vector<XPCInvocation> stateFirst{askState};
    // What `status --paths` sends before the status of those paths: the state, the status of the
    // connection without paths, then the paths.
    const auto statusOf = [&](std::vector<std::string> paths) {
        return std::vector<XPCInvocation>{
            askState, {2, "statusWithReply:", {}}, watching(std::move(paths))};
    };
    const auto stateWith = [](const char* enabled, const std::string& pending) {
        return bytes(R"({"executableRoots":[],"available":true,"enabled":)" + std::string(enabled) +
                     R"(,"pending":[)" + pending + R"(],"outcomes":[],"trustedRuleCount":0})");
    };
    const XPCValue off = stateWith("false", "");
    const std::string held =
        R"({"id":")" + requestID +
        R"(","path":"/home/ana/bin/new","signingID":"","teamID":"","deadline":1e12,"canAlwaysTrust":false})";
    const std::string enable = "protect enable " + root, decide = "decideExecution:decision:reply:";
    const std::string configure = "configureProtection:reply:",
                      history = "exportExecutionHistoryWithReply:", status = "statusWithReply:";
    struct Case {
        std::string command;
        std::string selector;  // of the last request, the one with the reply below
        XPCValue reply;
        int status;
        std::string out;
        std::string err;
        std::vector<XPCValue> arguments = {};    // of that request
        std::vector<XPCInvocation> before = {};  // the calls sent before it
        XPCValue state = bytes("");              // the reply to `askState`
        std::string input = "/dev/null";
        std::vector<std::string> records = {};  // delivered before the first reply, which closes
    };
    const std::vector<Case> cases{
        // The fake gives every status the same reply.
        {"status", status, std::string("es-error:internal\x1b[2J"), 3,
         "file events: not running: es-error:internal\\u{001B}[2J\nexec protection: available, "
         "off for you\n",
         "", args(), stateFirst, off},
        {"status --paths /home/ana/b /home/ana/a", status, both, 3,
         "file events: not running: " + both +
             "\nexec protection: on for you, 0 roots, 1 held\npaths: in force, fingerprint " +
             both.substr(11) + "\n",
         "", args(), statusOf({"/home/ana/b", "/home/ana/a"}), stateWith("true", held)},
        {"status --json --paths /home/ana/b", status, std::string("starting"), 3,
         R"({"fileEvents":{"running":true,"status":"starting"},"execProtection":{"available":true,"enabled":false,"roots":0,"held":0,"problem":null},"healthy":false,"paths":{"inForce":false,"fingerprint":")" +
             subscribed({"/home/ana/b"}).substr(11) + R"(","status":"starting"}})" + "\n",
         "", args(), statusOf({"/home/ana/b"}), off},
        {"watch /home/ana/b /home/ana/a", status, subscribed({"/home/ana"}), 1, "",
         "quorin watch: the daemon reports " + subscribed({"/home/ana"}) + "\n", args(),
         watchingBA},
        // Each record as one line for people, or of its exact JSON form, terminal-safe,
        // without unknown keys.
        {"watch /home/ana/b /home/ana/a", status, both, 1,
         "2001-01-01 02:00:10  changed  /home/ana/a/x\\u{001B}[31m\xC3\xA9  by 42 vi\n"
         "2001-01-01 02:00:20  modified  /home/ana/b/.zshrc  by 4242 zsh \xE2\x86\x90 4200 sshd "
         "\xE2\x86\x90 1 ?\n",
         recordsEnd, args(), watchingBA, bytes(""), "/dev/null", records},
        {"watch --json /home/ana/b /home/ana/a", status, both, 1,
         R"({"path":"/home/ana/a/x\u001b[31m\u00e9","timestamp":10.5,"writer":{"pid":42,"executablePath":"/usr/bin/vi"},"isPlatformBinary":false,"ancestry":[]})"
         "\n" +
             zshrcRecord + "\n",
         recordsEnd, args(), watchingBA, bytes(""), "/dev/null", records},
        {"protect references " + directory.write("references.json", references).string(), status,
         std::string("starting"), 0, "references sent\n", "", args(),
         std::vector<XPCInvocation>{
             {std::nullopt, "updateProtectionReferences:", args(bytes(references))}}},
        {"protect state", "protectionStateWithReply:", bytes(state), 0,
         "Protection: enabled\nExec client: available\nRoots: /home/ana/bin, /opt/x\nProblem: "
         "Protection storage unavailable\nTrusted rules: 3\n"
         "Pending requests: 1\n  6F1C2B9E-0D3A-4C55-9E77-1A2B3C4D5E6F  /home/ana/bin/new\n"
         "    reasons notInBaseline, recentPersistenceReference; signature unsigned, trust "
         "noMatchingRule\n"
         "    deadline 2024-04-28 14:27:40\nRecent outcomes: 1\n"
         "  2024-04-28 14:26:40  blocked  Blocked by user  /home/ana/bin/t\\u{202E}\n",
         ""},
        {"protect state --json", "protectionStateWithReply:", bytes(""), 1, "",
         "the daemon could not report the protection state\n"},
        {"protect state", "protectionStateWithReply:", bytes(R"({"available":true})"), 1, "",
         "the daemon's protection state does not decode: Key not found at executableRoots: No "
         "value associated with key \"executableRoots\".\n"},
        {"protect history", history, bytes("[]"), 0, "No executions recorded\n", ""},
        // The same document, with every character outside printable ASCII escaped.
        {"protect history --json", history, bytes("[" + blocked + "]"), 0,
         R"([{"id":")" + requestID +
             R"(","path":"/home/ana/bin/t\u202e","date":736000000.25,"reason":"Blocked by user","allowed":false}])"
             "\n",
         ""},
        {"protect disable", configure, XPCValue(true), 0, "protection disabled\n", "",
         args(bytes(
             R"({"enabled":false,"executableRoots":[],"executableAliases":{},"baseline":{},"references":{}})"))},
        {"protect decide " + requestID + " block", decide, XPCValue(false), 1, "",
         "quorin protect decide: the daemon did not apply the decision (it was not authorized, "
         "was decided already or ran out of time)\n",
         args(requestID, std::string("block"))},
        {"protect clear-history", "clearExecutionHistoryWithReply:", XPCValue(true), 0,
         "execution history cleared\n", ""},
        {"protect clear-trust", "clearExecutionTrustWithReply:", XPCValue(false), 1, "",
         "quorin protect clear-trust: the daemon could not clear the trust rules\n"},
        {enable, configure, XPCValue(true), 0,
         "protection enabled: 1 roots, 0 executables in the baseline, 0 aliases\n", "",
         configuration, stateFirst, off},
        {enable, configure, XPCValue(false), 1, "",
         "quorin protect enable: the daemon refused the configuration (is the exec client "
         "available? are the roots inside your home directory?)\n",
         configuration, stateFirst, off},
        // The daemon would keep the old configuration and still reply true.
        {enable, "protectionStateWithReply:", stateWith("true", ""), 1, "",
         "quorin protect enable: protection is already enabled; run \"quorin protect disable\" "
         "first to set it up again\n"},
        {"protect prompt", decide, XPCValue(true), 0,
         "Waiting for held executions; end the input (Ctrl-D) to stop.\nHeld: /home/ana/bin/new\n  "
         "reasons not given\n  signature unknown, trust unknown\n  1000000000 s left\n"
         "[b]lock, allow [o]nce, [a]lways trust, [s]kip? blocked: /home/ana/bin/new\n",
         "", args(requestID, std::string("block")), stateFirst, stateWith("true", held),
         directory.write("answers", "b\n")},
    };
    for (const Case& sample : cases) {
        SCOPED_TRACE(sample.command);
        std::vector<XPCInvocation> expected = sample.before;
        const auto asked = std::count_if(expected.begin(), expected.end(),
                                         [](const XPCInvocation& call) { return call.id; });
        expected.push_back(
            {static_cast<std::uint64_t>(asked) + 1, sample.selector, sample.arguments});
        // Every request is answered with the reply for its selector; records sent before a reply
        // wait in the client's connection until it asks for them.
        const std::map<std::string, XPCValue> replies{{sample.selector, sample.reply},
                                                      {askState.selector, sample.state}};
        std::vector<XPCInvocation> calls;
        {
            const FakeDaemon fake([&](FakeDaemon& peer) {
                while (std::optional<XPCInvocation> call = peer.next()) {
                    calls.push_back(*call);
                    if (call->id) {
                        for (const std::string& record : sample.records) {
                            peer.deliver(record);
                        }
                        peer.reply(*call->id, replies.at(call->selector));
                        if (!sample.records.empty()) {
                            return peer.close();
                        }
                    }
                }
            });
            EXPECT_EQ(outcome(quorin(sample.command + " --socket " + fake.path, sample.input)),
                      std::tie(sample.status, sample.out, sample.err));
        }  // the fake's script has ended: the client, having exited, closed its end
        EXPECT_EQ(calls, expected);
    }
}

// The message of the `std::runtime_error` that `call` throws.
std::string failureOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "(no error)";
}

// Nothing after a fault can be trusted, so every later call fails the same way; a request that
// cannot be encoded is no fault of the connection.
TEST(DaemonConnectionTest, FailsForGoodOnceClosedOnAReplyThatDoesNotFitOrOneNotInTime) {
    const std::vector<std::string> faults{
        "the daemon closed the connection",
        "the daemon sent a message that does not fit the protocol: the reply to request 1 must be "
        "text",
        "no reply from the daemon within 0.15 s"};
    for (std::size_t fault = 0; fault < faults.size(); ++fault) {
        SCOPED_TRACE(faults[fault]);
        const FakeDaemon fake([fault](FakeDaemon& peer) {
            const XPCInvocation call = peer.next().value();
            if (fault == 0) {
                peer.deliver("r1");
                peer.deliver("r2");
                return peer.close();
            }
            if (fault == 1) {
                peer.reply(call.id.value(), XPCValue(true));
            }
            peer.drain();
        });
        cli::DaemonConnection daemon(fake.path, std::chrono::milliseconds(150));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(failureOf([&] { (void)daemon.status(); }), faults[fault]);
        EXPECT_GE(std::chrono::steady_clock::now() - start,
                  std::chrono::milliseconds(fault == 2 ? 150 : 0));
        EXPECT_EQ(failureOf([&] { (void)daemon.clearExecutionTrust(); }), faults[fault]);
        EXPECT_EQ(failureOf([&] { daemon.setProtectedPaths({"/a"}); }), faults[fault]);
        if (fault == 0) {  // records that came before the end are still handed over, as taken
            std::vector<std::string> records;
            const auto take = [&records](bool more) {
                return [&records, more](const std::string& record) {
                    records.push_back(record);
                    return more;
                };
            };
            daemon.receive(take(false));
            EXPECT_EQ(records, std::vector<std::string>{"r1"});
            EXPECT_EQ(failureOf([&] { daemon.receive(take(true)); }), faults[0]);
            EXPECT_EQ(records, (std::vector<std::string>{"r1", "r2"}));
        }
    }
    const FakeDaemon fake([](FakeDaemon& peer) {
        EXPECT_EQ(peer.next(), (XPCInvocation{1, "statusWithReply:", {}}));
        peer.reply(1, std::string("starting"));
        peer.drain();
    });
    cli::DaemonConnection daemon(fake.path);
    EXPECT_EQ(failureOf([&] { (void)daemon.decideExecution("\xff", "block"); }),
              "cannot send a request to the daemon: the call of decideExecution:decision:reply: "
              "contains text that is not valid UTF-8");
    EXPECT_EQ(daemon.status(), "starting");
}

}  // namespace
}  // namespace quorin
