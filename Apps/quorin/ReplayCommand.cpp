#include "quorin/ReplayCommand.hpp"

#include "QuorinCore/Replay/ReplayTerminalOutput.hpp"
#include "QuorinCore/Support/Enumeration.hpp"
#include "QuorinCore/Support/JSONTextWriter.hpp"
#include "quorin/CommandOutput.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <iostream>
#include <memory>
#include <string_view>
#include <vector>

namespace quorin::cli {

namespace {

std::string joined(const std::vector<std::string>& parts) {
    std::string text;
    for (const std::string& part : parts) {
        if (!text.empty()) {
            text += ", ";
        }
        text += part;
    }
    return text;
}

std::string describeFile(const FileMetadata& file) {
    std::vector<std::string> traits;
    if (file.isExecutable) {
        traits.emplace_back("executable");
    }
    if (file.signing) {
        traits.emplace_back(rawValue(file.signing->status));
    }
    return traits.empty() ? "" : " [" + joined(traits) + "]";
}

std::string describeProcess(const EventEnvelope& event, const ProcessGraph& graph) {
    if (!event.processID()) {
        return "no process";
    }
    const ProcessIdentity* process = graph.process(*event.processID());
    if (process == nullptr) {
        return "process " + event.processID()->value.uuidString();
    }
    return safe(process->executablePath.value()) + " (pid " + std::to_string(process->pid) + ")";
}

void appendEvent(std::string& out, const EventEnvelope& event, const ProcessGraph& graph) {
    out += "    ";
    if (event.sequence()) {
        out += "#" + std::to_string(*event.sequence()) + " ";
    }
    out += formatTimestamp(event.observedAt()) + " " + std::string(rawValue(event.operation()));
    if (event.file()) {
        out += " " + safe(event.file()->path.value());
    }
    if (event.destinationPath()) {
        out += " -> " + safe(event.destinationPath()->value());
    }
    if (event.file()) {
        out += describeFile(*event.file());
    }
    out += "\n      by " + describeProcess(event, graph) + ", attribution " +
           std::string(rawValue(event.attribution())) + "\n";
    if (!event.addedReferencedExecutables().empty()) {
        std::vector<std::string> added;
        for (const NormalizedPath& path : event.addedReferencedExecutables()) {
            added.push_back(safe(path.value()));
        }
        out += "      adds references to " + joined(added) + "\n";
    }
}

void appendIncident(std::string& out, const Incident& incident, std::size_t number,
                    std::size_t count, const ProcessGraph& graph) {
    out += "Incident " + std::to_string(number) + " of " + std::to_string(count) + ": ";
    const auto& assessment = incident.assessment();
    if (assessment) {
        out += std::string(rawValue(assessment->severity())) + ", score " +
               std::to_string(assessment->score()) + "\n";
    } else {
        out += "not scored\n";
    }
    out += "  Summary: " + safe(incident.summary()) + "\n";
    if (assessment) {
        std::vector<std::string> factors;
        for (const RiskFactor factor : assessment->factors()) {
            factors.emplace_back(rawValue(factor));
        }
        out += "  Factors: " + (factors.empty() ? std::string("none") : joined(factors)) + "\n";
    }
    out += "  ID: " + incident.id().value.uuidString() + "\n";
    const std::size_t eventCount = incident.events().size();
    out += "  " + std::to_string(eventCount) + (eventCount == 1 ? " event" : " events") + " from " +
           formatTimestamp(incident.startedAt()) + " to " +
           formatTimestamp(incident.lastEventAt()) + ":\n";
    for (const EventEnvelope& event : incident.events()) {
        appendEvent(out, event, graph);
    }
}

std::string describe(const ReplayDiagnostic& diagnostic) {
    switch (diagnostic.kind) {
        case ReplayDiagnostic::Kind::sequenceGap:
            return "sequence gap: expected " + std::to_string(diagnostic.expected) + ", actual " +
                   std::to_string(diagnostic.actual);
    }
    return "unknown diagnostic";
}

Json toJSON(const ReplayDiagnostic& diagnostic) {
    switch (diagnostic.kind) {
        case ReplayDiagnostic::Kind::sequenceGap:
            return Json{{"kind", "sequenceGap"},
                        {"expected", diagnostic.expected},
                        {"actual", diagnostic.actual}};
    }
    return Json::object();
}

}  // namespace

std::string formatTimestamp(Date date) {
    constexpr double earliestUnixTime = -62'135'596'800.0;  // 0001-01-01T00:00:00Z
    constexpr double latestUnixTime = 253'402'300'799.0;    // 9999-12-31T23:59:59Z
    const double unixTime = date.unixTime();
    if (!(unixTime >= earliestUnixTime && unixTime <= latestUnixTime)) {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%g s after 2001-01-01T00:00:00Z",
                      date.timeIntervalSinceReferenceDate);
        return buffer;
    }
    const std::int64_t milliseconds = std::llround(unixTime * 1000);
    std::int64_t seconds = milliseconds / 1000;
    std::int64_t fraction = milliseconds % 1000;
    if (fraction < 0) {  // before 1970: borrow a second so the fraction counts forward
        seconds -= 1;
        fraction += 1000;
    }
    const auto time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    gmtime_r(&time, &parts);
    // Four-digit years always: strftime's %Y writes year 1 as "1".
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    std::string text = buffer;
    if (fraction != 0) {
        std::snprintf(buffer, sizeof buffer, ".%03lld", static_cast<long long>(fraction));
        text += buffer;
    }
    return text + "Z";
}

std::string formatHuman(const ReplayAnalysis& analysis) {
    std::string out;
    const std::size_t count = analysis.incidents.size();
    out += count == 0   ? std::string("No incidents\n")
           : count == 1 ? std::string("1 incident\n")
                        : std::to_string(count) + " incidents\n";
    for (std::size_t index = 0; index < count; ++index) {
        out += "\n";
        appendIncident(out, analysis.incidents[index], index + 1, count, analysis.processGraph);
    }
    out += "\n";
    if (analysis.diagnostics.empty()) {
        out += "Diagnostics: none\n";
    } else {
        out += "Diagnostics (" + std::to_string(analysis.diagnostics.size()) + "):\n";
        for (const ReplayDiagnostic& diagnostic : analysis.diagnostics) {
            out += "  " + describe(diagnostic) + "\n";
        }
    }
    return out;
}

std::string formatJSON(const ReplayAnalysis& analysis) {
    Json diagnostics = Json::array();
    for (const ReplayDiagnostic& diagnostic : analysis.diagnostics) {
        diagnostics.push_back(toJSON(diagnostic));
    }
    std::string text;
    JSONTextWriter writer(text, JSONCharacters::asciiOnly);
    JSONTextObjectEncoder report(writer);
    report.encode("incidents", analysis.incidents);
    report.encode("diagnostics", diagnostics);
    std::move(report).finish();
    text += '\n';
    return text;
}

std::string terminalSafeJSONText(const Json& json) {
    std::string text;
    JSONTextWriter(text, JSONCharacters::asciiOnly).writeTree(json);
    text += '\n';
    return text;
}

std::optional<std::string> defaultHomeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return std::string(home);
    }
    const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16'384);
    passwd entry{};
    passwd* result = nullptr;
    int status = 0;
    while ((status = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result)) ==
               ERANGE &&
           buffer.size() < (std::size_t{1} << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0 || result == nullptr || result->pw_dir == nullptr || *result->pw_dir == '\0') {
        return std::nullopt;
    }
    return std::string(result->pw_dir);
}

int runReplay(const ReplayOptions& options, std::ostream& out, std::ostream& err) {
    return reportingFailures(err, [&] {
        const std::optional<std::string> home =
            options.home ? options.home : defaultHomeDirectory();
        if (!home) {
            err << "Could not determine the home directory; pass --home\n";
            return 1;
        }
        // Each stage's input is freed as soon as the next stage has what it needs, so a large
        // fixture's later stages reuse its memory instead of faulting in pages of their own.
        const ReplayAnalysis analysis = [&] {
            const MaterializedReplayFixture materialized =
                ReplayFixture::load(options.fixture, options.dates).materialize(*home);
            return ReplayAnalyzer().analyze(materialized);
        }();
        if (options.only) {
            (void)analysis.onlyIncident();
        }
        return written(out, err, options.json ? formatJSON(analysis) : formatHuman(analysis),
                       "the replay report");
    });
}

void addReplayCommand(CLI::App& app, int& exitStatus) {
    auto options = std::make_shared<ReplayOptions>();
    auto home = std::make_shared<std::string>();
    CLI::App* command = app.add_subcommand(
        "replay", "Replay a recorded fixture through the correlator and the risk scorer.");
    command->add_option("FIXTURE", options->fixture, "The fixture file (JSON, schema version 2).")
        ->required();
    CLI::Option* homeOption = command->add_option(
        "--home", *home, "Home directory that \"~\" in the fixture stands for (default: yours).");
    command->add_flag("--json", options->json, "Print one JSON object instead of a report.");
    command->add_flag("--only", options->only,
                      "Fail unless the fixture gives exactly one incident.");
    command->add_flag_callback(
        "--unix-time", [options] { options->dates = ReplayDateDecodingStrategy::secondsSince1970; },
        "Read time stamps as seconds since 1970 (default: since 2001-01-01T00:00:00Z).");
    command->callback([options, home, homeOption, &exitStatus] {
        if (homeOption->count() > 0) {
            options->home = *home;
        }
        exitStatus = runReplay(*options, std::cout, std::cerr);
    });
}

}  // namespace quorin::cli
