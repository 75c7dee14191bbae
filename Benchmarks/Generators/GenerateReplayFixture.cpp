// Writes the largest replay fixture the reading limits allow, for timing `quorin replay` end to
// end (`make bench-replay`). The document budgets bind before the byte limit does: at most
// 100,000 object members and 250,000 values, so a valid fixture holds fewer than 10,000 events.
// This one uses nearly all of both budgets and pads its reference paths until the file is just
// under 10 MiB: about 8,600 events from 400 process trees, active in bursts so that every tree
// opens and closes several incidents, with a few writes to a start-up file all trees share.
//
// Usage: GenerateReplayFixture OUTPUT

#include "QuorinCore/Replay/ReplayFixtureLimits.hpp"
#include "QuorinCore/Support/JSON.hpp"
#include "QuorinCore/Support/UUID.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <random>
#include <string>

namespace {

using quorin::Json;
using quorin::UUID;

constexpr std::uint32_t treeCount = 400;  // each a login shell and one tool it started
constexpr std::uint32_t eventCount = 8'600;
constexpr std::uint32_t referencesPerEvent = 16;
constexpr std::uint32_t burstLength = 20;      // consecutive events of one tree
constexpr double secondsBetweenEvents = 0.05;  // a tree's bursts come 400 s apart
constexpr double firstEventAt = 736'334'045;   // 2024-05-02T09:14:05Z

// A distinct, readable UUID per kind of record and number.
std::string uuid(std::uint8_t kind, std::uint64_t number) {
    UUID::Bytes bytes{};
    bytes[0] = kind;
    bytes[6] = 0x40;  // version 4
    bytes[8] = 0x80;  // variant
    for (std::size_t index = 0; index < 6; ++index) {
        bytes[15 - index] = static_cast<std::uint8_t>(number >> (8 * index));
    }
    return UUID(bytes).uuidString();
}

std::string processID(std::uint32_t tree, std::uint32_t depth) {
    return uuid(1, tree * 2 + depth);
}

Json protectedPath(std::uint8_t number, const char* path, const char* category) {
    return Json{{"id", uuid(2, number)},
                {"path", path},
                {"category", category},
                {"recursive", true},
                {"contentPolicy", "metadataOnly"}};
}

Json process(std::uint32_t tree, std::uint32_t depth) {
    static const char* const tools[] = {"/usr/bin/make", "/usr/bin/python3", "/usr/local/bin/brew",
                                        "/usr/bin/curl", "/usr/bin/node"};
    Json record{{"id", processID(tree, depth)},
                {"pid", 1'000 + tree * 2 + depth},
                {"auditToken", "uid=501,pid=" + std::to_string(1'000 + tree * 2 + depth)}};
    if (depth > 0) {
        record["parentID"] = processID(tree, depth - 1);
    }
    record["executablePath"] = depth == 0 ? "/bin/zsh" : tools[tree % 5];
    record["signingStatus"] = depth == 0 ? "platform" : "developerID";
    record["observedAt"] = firstEventAt - 1;
    return record;
}

struct Builder {
    std::mt19937 random{20'240'502};
    std::size_t padding = 0;  // extra characters in every reference path

    std::uint32_t pick(std::uint32_t count) { return static_cast<std::uint32_t>(random() % count); }

    // The files of one tree: its tool in a protected executable directory, its launch agent,
    // and project sources; now and then the start-up file every tree shares.
    Json event(std::uint32_t index) {
        const std::uint32_t tree = (index / burstLength) % treeCount;
        const std::uint32_t kind = pick(97) == 0 ? 99 : pick(10);
        std::string path;
        std::uint32_t file = tree * 16 + kind;
        bool executable = false;
        if (kind == 99) {
            path = "~/.zshrc";
            file = 0;
        } else if (kind < 3) {
            path = "/usr/local/bin/tool-" + std::to_string(tree) + "-" + std::to_string(kind);
            executable = true;
        } else if (kind == 3) {
            path = "~/Library/LaunchAgents/com.example.agent" + std::to_string(tree) + ".plist";
        } else {
            path =
                "~/projects/p" + std::to_string(tree) + "/src/file" + std::to_string(kind) + ".c";
        }
        Json record{{"id", uuid(3, index)},
                    {"sequence", index + 1},
                    {"observedAt", firstEventAt + index * secondsBetweenEvents},
                    {"operation", pick(5) == 0 ? "fileCreated" : "fileModified"},
                    {"processID", processID(tree, pick(2))},
                    {"attribution", "complete"},
                    {"fileID", uuid(4, file)},
                    {"path", path},
                    {"isExecutable", executable},
                    {"mode", executable ? 0755 : 0644}};
        Json references = Json::array();
        for (std::uint32_t reference = 0; reference < referencesPerEvent; ++reference) {
            references.push_back("/usr/local/lib/helpers-" + std::string(padding, 'x') + "/tool-" +
                                 std::to_string(tree) + "-" + std::to_string(reference));
        }
        record["referencedExecutables"] = std::move(references);
        return record;
    }

    Json document() {
        random.seed(20'240'502);
        Json processes = Json::array();
        for (std::uint32_t tree = 0; tree < treeCount; ++tree) {
            processes.push_back(process(tree, 0));
            processes.push_back(process(tree, 1));
        }
        Json events = Json::array();
        for (std::uint32_t index = 0; index < eventCount; ++index) {
            events.push_back(event(index));
        }
        return Json{{"schemaVersion", 2},
                    {"protectedPaths",
                     Json::array({protectedPath(1, "/usr/local/bin", "executableDirectory"),
                                  protectedPath(2, "~/Library/LaunchAgents", "launchAgent"),
                                  protectedPath(3, "~/projects", "custom"),
                                  protectedPath(4, "~/.zshrc", "shellStartup")})},
                    {"processes", std::move(processes)},
                    {"events", std::move(events)}};
    }
};

struct Budget {
    std::int64_t members = 0;
    std::int64_t values = 0;

    void count(const Json& value) {
        ++values;
        if (value.is_object()) {
            members += static_cast<std::int64_t>(value.size());
        }
        if (value.is_structured()) {
            for (const Json& element : value) {
                count(element);
            }
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: GenerateReplayFixture OUTPUT\n";
        return 2;
    }
    using Limits = quorin::ReplayFixtureLimits;
    Builder builder;
    const auto unpaddedSize =
        static_cast<std::int64_t>(quorin::serializeJSON(builder.document()).size());
    builder.padding = static_cast<std::size_t>((Limits::maximumDataBytes - unpaddedSize) /
                                               (eventCount * referencesPerEvent));
    const Json document = builder.document();
    const std::string text = quorin::serializeJSON(document);

    Budget budget;
    budget.count(document);
    std::cerr << "GenerateReplayFixture: " << text.size() << " bytes, " << eventCount << " events, "
              << treeCount << " process trees, " << budget.members << " object members, "
              << budget.values << " values\n";
    if (static_cast<std::int64_t>(text.size()) > Limits::maximumDataBytes ||
        budget.members > Limits::maximumJSONObjectMembers ||
        budget.values > Limits::maximumJSONValues) {
        std::cerr << "GenerateReplayFixture: the fixture exceeds a reading limit\n";
        return 1;
    }
    std::ofstream output(argv[1], std::ios::binary | std::ios::trunc);
    output << text;
    if (!output.flush()) {
        std::cerr << "GenerateReplayFixture: could not write " << argv[1] << "\n";
        return 1;
    }
    return 0;
}
