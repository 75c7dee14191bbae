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
        out += '#';
        out += std::to_string(*event.sequence());
        out += ' ';
    }
    appendTimestamp(out, event.observedAt());
    out += ' ';
    out += rawValue(event.operation());
    if (event.file()) {
        out += ' ';
        out += safe(event.file()->path.value());
    }
    if (event.destinationPath()) {
        out += " -> ";
        out += safe(event.destinationPath()->value());
    }
    if (event.file()) {
        out += describeFile(*event.file());
    }
    out += "\n      by ";
    out += describeProcess(event, graph);
    out += ", attribution ";
    out += rawValue(event.attribution());
    out += '\n';
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
    out += "  " + std::to_string(eventCount) + (eventCount == 1 ? " event" : " events") + " from ";
    appendTimestamp(out, incident.startedAt());
    out += " to ";
    appendTimestamp(out, incident.lastEventAt());
    out += ":\n";
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

// The proleptic Gregorian date of a day counted from 1970-01-01, by whole 400-year eras of
// 146,097 days, each counted from a March first so that the leap day ends its year.
struct CivilDate {
    std::int64_t year;
    unsigned month;
    unsigned day;
};

CivilDate civilDate(std::int64_t daysSince1970) {
    constexpr std::int64_t daysPerEra = 146'097;
    const std::int64_t days = daysSince1970 + 719'468;  // from 0000-03-01
    const std::int64_t era = (days >= 0 ? days : days - (daysPerEra - 1)) / daysPerEra;
    const auto dayOfEra = static_cast<unsigned>(days - era * daysPerEra);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1'460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned monthFromMarch = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
    const unsigned month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
    return {static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

// `value` in exactly `width` decimal digits, zero-padded.
void appendDigits(std::string& out, std::uint64_t value, std::size_t width) {
    char digits[20];
    for (std::size_t index = width; index > 0; --index) {
        digits[index - 1] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    out.append(digits, width);
}

}  // namespace

void appendTimestamp(std::string& out, Date date) {
    constexpr double earliestUnixTime = -62'135'596'800.0;  // 0001-01-01T00:00:00Z
    constexpr double latestUnixTime = 253'402'300'799.0;    // 9999-12-31T23:59:59Z
    constexpr std::int64_t secondsPerDay = 86'400;
    const double unixTime = date.unixTime();
    if (!(unixTime >= earliestUnixTime && unixTime <= latestUnixTime)) {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%g s after 2001-01-01T00:00:00Z",
                      date.timeIntervalSinceReferenceDate);
        out += buffer;
        return;
    }
    const std::int64_t milliseconds = std::llround(unixTime * 1000);
    // Floor division, so that times before 1970 count forward from the start of their day.
    std::int64_t seconds = milliseconds / 1000;
    std::int64_t fraction = milliseconds % 1000;
    if (fraction < 0) {
        seconds -= 1;
        fraction += 1000;
    }
    std::int64_t days = seconds / secondsPerDay;
    std::int64_t secondOfDay = seconds % secondsPerDay;
    if (secondOfDay < 0) {
        days -= 1;
        secondOfDay += secondsPerDay;
    }
    const CivilDate civil = civilDate(days);
    // Four-digit years always, year 1 included.
    appendDigits(out, static_cast<std::uint64_t>(civil.year), 4);
    out += '-';
    appendDigits(out, civil.month, 2);
    out += '-';
    appendDigits(out, civil.day, 2);
    out += 'T';
    appendDigits(out, static_cast<std::uint64_t>(secondOfDay / 3'600), 2);
    out += ':';
    appendDigits(out, static_cast<std::uint64_t>(secondOfDay / 60 % 60), 2);
    out += ':';
    appendDigits(out, static_cast<std::uint64_t>(secondOfDay % 60), 2);
    if (fraction != 0) {
        out += '.';
        appendDigits(out, static_cast<std::uint64_t>(fraction), 3);
    }
    out += 'Z';
}

std::string formatTimestamp(Date date) {
    std::string text;
    appendTimestamp(text, date);
    return text;
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
    return accountHomeDirectory(getuid());
}

std::optional<std::string> accountHomeDirectory(uid_t user) {
    const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16'384);
    passwd entry{};
    passwd* result = nullptr;
    int status = 0;
    while ((status = getpwuid_r(user, &entry, buffer.data(), buffer.size(), &result)) == ERANGE &&
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
