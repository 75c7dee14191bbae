#include "QuorinCore/Replay/JSONDuplicateKeyValidator.hpp"
#include "QuorinCore/Replay/ReplayFixture.hpp"
#include "QuorinCore/Replay/ReplayFixtureDecoding.hpp"
#include "QuorinCore/Replay/ReplayFixtureFileLoader.hpp"
#include "QuorinCore/Replay/ReplayFixtureLimits.hpp"
#include "QuorinCore/Replay/ReplayFixtureValidationError.hpp"
#include "QuorinCore/Support/UniqueFd.hpp"
#include "TestSupport/JSONTesting.hpp"
#include "TestSupport/ReplaySamples.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_set>
#include <utility>
#include <vector>

namespace quorin {
namespace {

namespace fs = std::filesystem;
using testing::numberedUUID;

// A fixture exactly as it is written: the first record of each kind sets every optional key (with
// values other than the defaults), the second sets none, so it is written with the defaults.
const std::string written =
    R"({"schemaVersion":2,"protectedPaths":[{"id":"00000000-0000-4000-8000-000000000001",)"
    R"("path":"~/.zshrc","category":"shellStartup","recursive":false,)"
    R"("contentPolicy":"encryptedVersions"}],"processes":[)"
    R"({"id":"00000000-0000-4000-8000-000000000002","pid":4242,"auditToken":"token-4242",)"
    R"("parentID":"00000000-0000-4000-8000-000000000003",)"
    R"("responsibleID":"00000000-0000-4000-8000-000000000003","executablePath":"/usr/bin/curl",)"
    R"("signingStatus":"platform","recognizedPackageManager":true,"observedAt":10.5},)"
    R"({"id":"00000000-0000-4000-8000-000000000003","pid":1,"auditToken":"t",)"
    R"("executablePath":"/sbin/init","signingStatus":"unsigned",)"
    R"("recognizedPackageManager":false,"observedAt":-1.0}],"events":[)"
    R"({"id":"00000000-0000-4000-8000-000000000004","sequence":1,"observedAt":11.25,)"
    R"("operation":"fileRenamed","processID":"00000000-0000-4000-8000-000000000002",)"
    R"("attribution":"complete","fileID":"00000000-0000-4000-8000-000000000005",)"
    R"("path":"/tmp/a","size":12,"ownerID":0,"groupID":0,"sha256":"ab","isExecutable":true,)"
    R"("mode":493,"signingStatus":"adHoc","destinationPath":"~/bin/a","previousFile":)"
    R"({"id":"00000000-0000-4000-8000-000000000005","path":"/tmp/a","size":3,"ownerID":501,)"
    R"("groupID":20,"mode":420,"sha256":"cd","isExecutable":false,)"
    R"("signingStatus":"developerID"},"referencedExecutables":["/bin/sh","~/bin/a"],)"
    R"("addedReferencedExecutables":["~/bin/a"]},)"
    R"({"id":"00000000-0000-4000-8000-000000000006","sequence":2,"observedAt":12.0,)"
    R"("operation":"fileModified","attribution":"incomplete",)"
    R"("fileID":"00000000-0000-4000-8000-000000000007","path":"/tmp/b","size":0,)"
    R"("ownerID":501,"groupID":20,"isExecutable":false,"mode":420,)"
    R"("referencedExecutables":[],"addedReferencedExecutables":[]}]})";

// `written` with the value at each JSON pointer set (added when absent), as compact text.
std::string edited(std::initializer_list<std::pair<std::string, Json>> edits) {
    Json document = parseJSON(written);
    for (const auto& [pointer, value] : edits) {
        document[Json::json_pointer(pointer)] = value;
    }
    return serializeJSON(document);
}

// A document of version `version` with empty lists, followed by the root members `extra`.
std::string emptyDocument(std::string_view version, std::string_view extra = "") {
    return R"({"schemaVersion":)" + std::string(version) +
           R"(,"protectedPaths":[],"processes":[],"events":[])" + std::string(extra) + "}";
}

constexpr auto maximumBytes = static_cast<std::size_t>(ReplayFixtureLimits::maximumDataBytes);
const std::string tooLarge =
    "validation: Replay fixture is too large (10485761 bytes; maximum 10485760)";

// What `body` gives: "ok", or the error thrown, tagged with its family.
std::string outcome(const std::function<void()>& body) {
    try {
        body();
        return "ok";
    } catch (const ReplayFixtureFileError& error) {
        return std::string("file: ") + error.what();
    } catch (const ReplayFixtureValidationError& error) {
        return "validation: " + error.message();
    } catch (const DecodingError& error) {
        return std::string("decoding: ") + error.what();
    }
}

// What is read is checked through materialization below; what is written must be what was read.
// Time stamps count from 2001 or, when asked, from 1970.
TEST(ReplayFixtureCoding, WritesBackWhatItReadsFillsTheDefaultsAndRequiresEveryOtherKey) {
    const ReplayFixture fixture = ReplayFixture::decode(written);
    EXPECT_EQ(serializeJSON(fixture.toJSON()), written);
    const ReplayFixture from1970 =
        ReplayFixture::decode(written, ReplayDateDecodingStrategy::secondsSince1970);
    EXPECT_EQ((std::vector{from1970.processes[0].observedAt, from1970.processes[1].observedAt}),
              (std::vector{Date::fromUnixTime(10.5), Date::fromUnixTime(-1)}));
    Json sparse = parseJSON(written);
    sparse["processes"][1].erase("recognizedPackageManager");
    for (const char* key : {"size", "ownerID", "groupID", "addedReferencedExecutables"}) {
        sparse["events"][1].erase(key);
    }
    EXPECT_EQ(ReplayFixture::decode(serializeJSON(sparse)), fixture);
    // Each record by its pointer and its coding path, with its required keys.
    const std::tuple<std::string, std::string, std::vector<std::string>> records[] = {
        {"/protectedPaths/0",
         "protectedPaths[0]",
         {"id", "path", "category", "recursive", "contentPolicy"}},
        {"/processes/1",
         "processes[1]",
         {"id", "pid", "auditToken", "executablePath", "signingStatus", "observedAt"}},
        {"/events/0/previousFile",
         "events[0].previousFile",
         {"id", "path", "size", "ownerID", "groupID", "mode", "isExecutable"}},
        {"/events/1",
         "events[1]",
         {"id", "sequence", "observedAt", "operation", "attribution", "fileID", "path",
          "isExecutable", "mode", "referencedExecutables"}},
    };
    for (const auto& [pointer, path, keys] : records) {
        for (const std::string& key : keys) {
            Json document = parseJSON(written);
            document[Json::json_pointer(pointer)].erase(key);
            EXPECT_EQ(outcome([&] { (void)ReplayFixture::decode(serializeJSON(document)); }),
                      "decoding: Key not found at " + path + "." + key +
                          ": No value associated with key \"" + key + "\".");
        }
    }
}

// Paths are normalized against the home directory, signing statuses become identities, and a
// correlated event without a process is lowered to incomplete by its envelope.
TEST(ReplayFixtureMaterialization, MapsEveryRecordOntoItsCoreValueInFixtureOrder) {
    const MaterializedReplayFixture materialized =
        ReplayFixture::decode(edited({{"/processes/0/executablePath", "~/bin/../bin/brew"},
                                      {"/events/0/path", "~/.ssh/./config"},
                                      {"/events/1/attribution", "correlated"}}))
            .materialize(testing::replayHome);
    using enum CodeSigningStatus;
    const auto path = [](std::string_view text) { return NormalizedPath(text, "/"); };
    const auto signing = [](CodeSigningStatus status) {
        return CodeSigningIdentity{status, std::nullopt, std::nullopt, std::nullopt};
    };
    EXPECT_EQ(materialized.protectedPaths(),
              (std::vector<ProtectedPath>{{ProtectedPathID(numberedUUID(1)), "~/.zshrc",
                                           path("/Users/ana/.zshrc"), PathCategory::shellStartup,
                                           false, ContentHistoryPolicy::encryptedVersions}}));
    const ProcessID curl(numberedUUID(2)), init(numberedUUID(3));
    EXPECT_EQ(materialized.processes(),
              (std::vector<ProcessIdentity>{
                  {curl, 4242, "token-4242", init, init, path("/Users/ana/bin/brew"), std::nullopt,
                   signing(platform), Date{10.5}},
                  {init, 1, "t", std::nullopt, std::nullopt, path("/sbin/init"), std::nullopt,
                   signing(unsigned_), Date{-1}}}));
    const FileObjectID file(numberedUUID(5)), other(numberedUUID(7));
    const FileMetadata current{
        file, path("/Users/ana/.ssh/config"), 12, 0, 0, 493, "ab", true, signing(adHoc), {}, {}};
    const FileMetadata previous{file,  path("/tmp/a"),       3,  501, 20, 420, "cd",
                                false, signing(developerID), {}, {}};
    EXPECT_EQ(
        materialized.events(),
        (std::vector{
            EventEnvelope(EventID(numberedUUID(4)), 1, Date{11.25}, EventOperation::fileRenamed,
                          curl, current, previous, path("/Users/ana/bin/a"),
                          {path("/bin/sh"), path("/Users/ana/bin/a")}, {path("/Users/ana/bin/a")},
                          AttributionConfidence::complete),
            EventEnvelope(
                EventID(numberedUUID(6)), 2, Date{12}, EventOperation::fileModified, std::nullopt,
                FileMetadata{other, path("/tmp/b"), 0, 501, 20, 420, {}, false, {}, {}, {}},
                std::nullopt, std::nullopt, {}, {}, AttributionConfidence::incomplete)}));
    EXPECT_EQ(materialized.recognizedPackageManagerProcessIDs(),
              std::unordered_set<ProcessID>{curl});
}

// What a decoding of validated bytes gives: the fixture as JSON, "left to the reference", or the
// error thrown.
std::string decodedBy(const std::function<std::optional<ReplayFixture>()>& decoding) {
    std::string result = "left to the reference";
    const std::string status = outcome([&] {
        if (const std::optional<ReplayFixture> fixture = decoding()) {
            result = serializeJSON(fixture->toJSON());
        }
    });
    return status == "ok" ? result : status;
}

// The reading path gives what the reference gives, or leaves the bytes to it; `mustRead` bytes
// it reads itself.
void expectReadingPathAgrees(std::string_view bytes, bool mustRead) {
    if (outcome([&] { JSONDuplicateKeyValidator::validate(bytes); }) != "ok") {
        return;  // neither decoding sees bytes the validator refuses
    }
    const std::string fast = decodedBy([&] { return ReplayFixtureDecoding::fast(bytes); });
    const std::string reference =
        decodedBy([&] { return ReplayFixtureDecoding::reference(bytes); });
    if (mustRead || fast != "left to the reference") {
        EXPECT_EQ(fast, reference) << bytes.substr(0, 200);
    }
}

// The strict pipeline: the size, then the duplicate-key validator on the bytes, then unknown keys
// in the parsed document, then structural decoding, then the schema version.
TEST(ReplayFixtureDecoding, ReportsTheFirstFaultOfTheStrictPipeline) {
    // Large enough for the validator and the decoding to run side by side.
    const auto atTheLimit = [](std::string text) {
        text.resize(maximumBytes, ' ');
        return text;
    };
    // `written` with the text `from` replaced by `to`.
    const auto replaced = [](std::string_view from, std::string_view to) {
        std::string text = written;
        return text.replace(text.find(from), from.size(), to);
    };
    const std::pair<std::string, std::string> cases[] = {
        // The size limit, checked before anything looks at the bytes.
        {atTheLimit(written), "ok"},
        {atTheLimit(written) + " ", tooLarge},
        {std::string(maximumBytes + 1, '\xFF'), tooLarge},
        // The schema version: its presence is tested before anything is decoded, its value only
        // after the lists have decoded.
        {R"({"protectedPaths":5,"processes":[],"events":[]})",
         "validation: Replay fixture requires schemaVersion 2"},
        {emptyDocument("null"),
         "decoding: Value not found at schemaVersion: Expected a value but found null instead."},
        {emptyDocument("3"), "validation: Unsupported replay schema version: 3"},
        {R"({"schemaVersion":3,"protectedPaths":[],"processes":[]})",
         R"(decoding: Key not found at events: No value associated with key "events".)"},
        // Duplicate keys, then unknown keys, then type errors.
        {emptyDocument("\"two\"", R"(,"extra":1,"processes":[])"),
         "validation: Duplicate replay key $.processes"},
        {emptyDocument("\"two\"", R"(,"extra":1)"), "validation: Unknown replay key $.extra"},
        {R"({"version":2})", "validation: Unknown replay key $.version"},
        {atTheLimit(emptyDocument("\"two\"", R"(,"extra":1,"processes":[])")),
         "validation: Duplicate replay key $.processes"},
        {atTheLimit(emptyDocument("2", R"(,"extra":1)")), "validation: Unknown replay key $.extra"},
        {edited({{"/events/0/sequence", "two"}}),
         "decoding: Type mismatch at events[0].sequence: Expected UInt64 but found a string "
         "instead."},
        {edited({{"/events/0/sequence", "two"}, {"/events/1/bogus", true}}),
         "validation: Unknown replay key $.events[1].bogus"},
        // Of an object's unknown keys the first in byte order (so scalar order) is named: upper
        // case first, and U+FF61 before U+1F600 although its UTF-16 code unit sorts after the
        // surrogate.
        {edited({{"/zeta", 1}, {"/Zeta", 1}, {"/alpha", 1}}),
         "validation: Unknown replay key $.Zeta"},
        {edited({{"/\U0001F600", 1}, {"/\uFF61", 1}}), "validation: Unknown replay key $.\uFF61"},
        // Each object has its own key set, and the root, protected paths, processes, events and
        // previous files are checked in that order.
        {edited({{"/protectedPaths/0/x", 1}, {"/x", 1}}), "validation: Unknown replay key $.x"},
        {edited({{"/processes/0/x", 1}, {"/protectedPaths/0/x", 1}}),
         "validation: Unknown replay key $.protectedPaths[0].x"},
        {edited({{"/events/0/x", 1}, {"/processes/1/x", 1}}),
         "validation: Unknown replay key $.processes[1].x"},
        {edited({{"/events/0/previousFile/isExecutible", false}, {"/events/1/x", 1}}),
         "validation: Unknown replay key $.events[0].previousFile.isExecutible"},
        // Containers of another shape are left to structural decoding: when not every element is
        // an object, no element is checked.
        {edited({{"/protectedPaths", parseJSON(R"([{"bogus":1},5])")}}),
         R"(decoding: Key not found at protectedPaths[0].id: No value associated with key "id".)"},
        // The validator does not bound magnitudes; a number beyond a double fails to parse.
        {replaced(R"("size":12,)", R"("size":1e400,)"),
         "decoding: Data corrupted at <root>: The given data was not valid JSON."},
        // "-0" is the integer 0 (so the date 0.0), which simdjson would read as the double -0.0.
        {replaced(R"("observedAt":11.25,)", R"("observedAt":-0,)"), "ok"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(outcome([&] { (void)ReplayFixture::decode(c.first); }), c.second)
            << c.first.substr(0, 200);
        expectReadingPathAgrees(c.first, false);
    }
    // simdjson reads valid fixtures itself, and reads them as the JSON layer does; the notations
    // it leaves to the reference are still read.
    for (const fs::directory_entry& entry : fs::directory_iterator(QUORIN_EXAMPLES_DIR)) {
        std::ifstream stream(entry.path(), std::ios::binary);
        expectReadingPathAgrees(std::string(std::istreambuf_iterator<char>(stream), {}), true);
    }
    expectReadingPathAgrees(written, true);
    // A long list is decoded in two halves side by side, and a notation left to the reference (an
    // integral fraction in an integer field) in either half leaves the whole document to it.
    Json longDocument = parseJSON(written);
    Json& events = longDocument["events"];
    while (events.size() < 4'096) {
        events.push_back(events[1]);
    }
    const std::string longText = serializeJSON(longDocument);
    expectReadingPathAgrees(longText, true);
    for (const std::size_t index : {std::size_t{1}, std::size_t{4'095}}) {
        events[index]["size"] = 12.0;
        const std::string text = serializeJSON(longDocument);
        EXPECT_EQ(decodedBy([&] { return ReplayFixtureDecoding::fast(text); }),
                  "left to the reference");
        EXPECT_EQ(decodedBy([&] { return ReplayFixture::decode(text); }),
                  decodedBy([&] { return ReplayFixtureDecoding::reference(text); }));
        events[index]["size"] = 12;
    }
}

std::size_t openDescriptorCount() {
    const fs::directory_iterator entries("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(entries, fs::directory_iterator()));
}

TEST(ReplayFixtureFileLoader, LoadsOnlyRegularFilesReachedWithoutAFinalLinkAndClosesThem) {
    const testing::TemporaryDirectory directory;
    const fs::path valid = directory.write(
        "valid.json", R"({"schemaVersion":2,"protectedPaths":[],"processes":[],"events":[]})");
    const fs::path link = directory / "link.json", fifo = directory / "fifo",
                   linkedDirectory = directory / "linked-directory";
    fs::create_symlink(valid, link);
    fs::create_directory_symlink(directory.path(), linkedDirectory);
    fs::create_directory(directory / "directory");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<fs::path, std::string> cases[] = {
        {valid, "ok"},
        // Links in earlier components are followed; only the last one is refused.
        {linkedDirectory / "valid.json", "ok"},
        {link, "file: Replay fixture must not be a symbolic link"},
        {directory / "directory", "file: Replay fixture must be a regular file"},
        // Opened non-blocking, so a FIFO without a writer is refused rather than waited on.
        {fifo, "file: Replay fixture must be a regular file"},
        {directory / "missing.json", "file: Could not open replay fixture (errno 2)"},
        // /proc files report a size of 0 yet have content: the size is only a hint, the content
        // is read to its end and then judged (it begins with "Name:").
        {"/proc/self/status", "validation: Malformed replay JSON at byte 0"},
    };
    // Every round closes what it opened.
    const std::size_t before = openDescriptorCount();
    for (int round = 0; round < 20; ++round) {
        for (const auto& c : cases) {
            EXPECT_EQ(outcome([&] { (void)ReplayFixture::load(c.first); }), c.second) << c.first;
        }
    }
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(ReplayFixtureFileLoader, ReadsAtMostOneByteBeyondTheLimitAndReportsErrnos) {
    const testing::TemporaryDirectory directory;
    const auto openWith = [&](const std::string& bytes, int flags = O_RDONLY) {
        UniqueFd descriptor(::open(
            directory.write("f" + std::to_string(bytes.size()), bytes).c_str(), flags | O_CLOEXEC));
        EXPECT_TRUE(descriptor.valid());
        return descriptor;
    };
    const UniqueFd large = openWith(std::string(maximumBytes + 1, ' '));
    // Content beyond what the size reported, as from a file that grew while it was read.
    const UniqueFd growing = openWith(std::string(maximumBytes + 70'000, ' '));
    const UniqueFd writeOnly = openWith("{}", O_WRONLY);
    EXPECT_EQ(outcome([&] { (void)ReplayFixtureFileLoader::readOpenFile(large.get()); }), tooLarge);
    EXPECT_EQ(outcome([&] { (void)ReplayFixtureFileLoader::readContents(growing.get(), 10); }),
              tooLarge);
    EXPECT_EQ(outcome([&] { (void)ReplayFixtureFileLoader::readOpenFile(writeOnly.get()); }),
              "file: Could not read replay fixture (errno 9)");
    EXPECT_EQ(outcome([] { (void)ReplayFixtureFileLoader::readOpenFile(-1); }),
              "file: Could not inspect replay fixture (errno 9)");
    EXPECT_EQ(::lseek(large.get(), 0, SEEK_CUR), 0);
    EXPECT_EQ(::lseek(growing.get(), 0, SEEK_CUR), static_cast<off_t>(maximumBytes + 1));
    // Exactly the limit is read whole, whatever size was reported, with room for the parser to
    // read past its end.
    for (const std::size_t reported : {std::size_t{0}, maximumBytes}) {
        const UniqueFd atLimit = openWith(std::string(maximumBytes, 'x'));
        const std::string read = ReplayFixtureFileLoader::readContents(atLimit.get(), reported);
        EXPECT_EQ(read.size(), maximumBytes);
        EXPECT_GE(read.capacity() - read.size(), ReplayFixtureFileLoader::readableSlack);
    }
}

using namespace std::string_view_literals;

// What the validator says of `input`: "ok", or its error tagged as such.
std::string verdict(std::string_view input) {
    return outcome([&] { JSONDuplicateKeyValidator::validate(input); });
}

std::string malformedAt(std::size_t offset) {
    return "validation: Malformed replay JSON at byte " + std::to_string(offset);
}

std::string duplicate(std::string_view pathAndKey) {
    return "validation: Duplicate replay key " + std::string(pathAndKey);
}

std::string repeated(std::string_view text, std::size_t count) {
    std::string result;
    for (std::size_t index = 0; index < count; ++index) {
        result += text;
    }
    return result;
}

// An array of `count` zeros, at least one: `count` + 1 values.
std::string zeros(std::size_t count) {
    return "[0" + repeated(",0", count - 1) + "]";
}

// An object of `count` members "k<first>" … with the value 0: `count` + 1 values.
std::string members(std::size_t count, std::size_t first = 0) {
    std::string text = "{";
    for (std::size_t index = 0; index < count; ++index) {
        text += (index == 0 ? "\"k" : ",\"k") + std::to_string(first + index) + "\":0";
    }
    return text + "}";
}

// `text` with its last byte replaced by `ending`.
std::string endingIn(std::string text, std::string_view ending) {
    text.pop_back();
    return text + std::string(ending);
}

TEST(JSONDuplicateKeyValidator, JudgesEachInputExactly) {
    const std::string tooDeep = "validation: Replay JSON nesting exceeds 256 levels";
    const std::string tooManyValues = "validation: Replay JSON exceeds 250000 values";
    const std::string tooManyMembers = "validation: Replay JSON exceeds 100000 object members";
    // Keys are not values: 100000 members and 149998 further zeros, with the array and the
    // object, make exactly 250000 values.
    const std::string membersAndZeros = "[" + members(100'000) + "," + zeros(149'998).substr(1);
    // Arrays whose last element is the 250000th value, or the 250001st, and not a value.
    const std::string almostFull = endingIn(zeros(249'998), ",x]");
    const std::string events = R"({"schemaVersion":2,"protectedPaths":[],"processes":[],"events":[)"
                               R"({"id":"A","previousFile":{"path":"/a","size":1}},)"
                               R"({"id":"B","previousFile":{"path":"/a","size":1,"path":"/b"}}]})";
    const struct {
        std::string_view name;
        std::string input;
        std::string expected;
    } cases[] = {
        {"blanks and nesting", " { \"a\" : [ 1 , {\"b\":null} ] , \"c\" : { } } \t\r\n", "ok"},
        {"scalar at the root", "-0.5e+10", "ok"},
        {"same key in sibling objects and elements", R"({"x":{"a":1},"y":[{"a":1},{"a":1}]})",
         "ok"},
        {"escapes, hex digits in either case", R"({"\u0000":"\"\\\/\b\f\n\r\t\u00e9\u00E9"})",
         "ok"},
        {"multi-byte UTF-8 and DEL", "\"\u00E9\u6587\U0001F600\U0010FFFF\x7F\"", "ok"},
        {"numbers", "[0,-0,1,-12,3.25,1e5,1E+5,1e-05,0.0e0]", "ok"},
        {"compatibility-equivalent keys differ", "{\"\uFB01\":1,\"fi\":2}", "ok"},
        // Malformed input where it ended early: at its length.
        {"empty data", "", malformedAt(0)},
        {"unterminated string", R"(["abc)", malformedAt(5)},
        {"exponent sign without digits", "1e+", malformedAt(3)},
        // At a byte it only looked at: its index.
        {"letter after the root", "{} a", malformedAt(3)},
        {"byte-order mark", "\xEF\xBB\xBF{}", malformedAt(0)},
        {"trailing comma", R"({"a":1,})", malformedAt(7)},
        {"leading zero", "01", malformedAt(1)},
        // At a byte it consumed and rejected: just after it.
        {"wrong separator in an array", "[1 2]", malformedAt(4)},
        {"closing bracket for an object", R"({"a":1])", malformedAt(7)},
        {"control byte in a string", "\"a\x01\"", malformedAt(3)},
        {"upper-case unicode escape", R"("\U0041")", malformedAt(3)},
        {"bad hexadecimal digit", R"("\u12G4")", malformedAt(6)},
        // Surrogate escapes pass only in pairs.
        {"pairs, the highest in a value", R"({"\uD83D\uDE00":"\uDBFF\uDFFF"})", "ok"},
        {"lone low surrogate", R"("\uDC00")", malformedAt(7)},
        {"high surrogate before the closing quote", R"("\uD800")", malformedAt(8)},
        {"two high surrogates", R"("\uD800\uD800")", malformedAt(13)},
        // UTF-8 is judged once the closing quote is reached, at the byte after it, so another fault
        // later in the same string is reported first.
        {"invalid byte in a key", "{\"\xFF\":1}", malformedAt(4)},
        {"truncated before an escape", "\"\xC3\\u00A9\"", malformedAt(9)},
        {"overlong slash", "\"\xC0\xAF\"", malformedAt(4)},
        {"encoded surrogate", "\"\xED\xA0\x80\"", malformedAt(5)},
        {"beyond U+10FFFF", "\"\xF4\x90\x80\x80\"", malformedAt(6)},
        {"invalid UTF-8 outside strings", "[\xFF]", malformedAt(1)},
        {"control byte later in the same string wins", "[\"\xFF\x01\"]", malformedAt(4)},
        // A repeated key names the object's path; the last key is written as it is.
        {"root, same value", R"({"a":"b","a":"b"})", duplicate("$.a")},
        {"second event's previous file", events, duplicate("$.events[1].previousFile.path")},
        {"quote and backslash in the path", R"({"q\"\\":{"k":1,"k":2}})",
         duplicate(R"($["q\"\\"].k)")},
        {"control characters in the path", R"({"\n\t\u0001\u007f\u0085":{"k":1,"k":2}})",
         duplicate(R"($["\n\t\u0001\u007F\u0085"].k)")},
        {"non-Latin letters and digits", "{\"_\u00E9v\u0663\":{\"k\":1,\"k\":2}}",
         duplicate("$._\u00E9v\u0663.k")},
        {"combining mark in the path", "{\"e\u0301\":{\"k\":1,\"k\":2}}",
         duplicate("$[\"e\u0301\"].k")},
        {"duplicate NUL key", R"({"\u0000":1,"\u0000":2})", duplicate("$.\0"sv)},
        // Keys are compared by canonical equivalence; the later spelling is named.
        {"precomposed then decomposed", "{\"\u00E9\":1,\"e\u0301\":2}", duplicate("$.e\u0301")},
        {"K after Kelvin sign", "{\"\u212A\":1,\"K\":2}", duplicate("$.K")},
        {"reordered combining marks", "{\"a\u0323\u0301\":1,\"a\u0301\u0323\":2}",
         duplicate("$.a\u0301\u0323")},
        {"surrogate pair and plain emoji", "{\"\\uD83D\\uDE00\":1,\"\U0001F600\":2}",
         duplicate("$.\U0001F600")},
        // Nesting: 256 levels below the root; a scalar is a level too.
        {"257 arrays", repeated("[", 257) + repeated("]", 257), "ok"},
        {"258 arrays", repeated("[", 258) + repeated("]", 258), tooDeep},
        {"258 objects", repeated("{\"a\":", 257) + "{}" + repeated("}", 257), tooDeep},
        {"257 arrays around a scalar", repeated("[", 257) + "0" + repeated("]", 257), tooDeep},
        {"depth is met before the end of input", repeated("[", 100'000), tooDeep},
        // Values and members are counted across the document.
        {"250000 values", zeros(249'999), "ok"},
        {"250001 values", zeros(250'000), tooManyValues},
        {"bad last value within the limit", almostFull, malformedAt(almostFull.size() - 2)},
        {"bad value over the limit is counted before it is read", endingIn(zeros(249'999), ",x]"),
         tooManyValues},
        {"100000 members", members(100'000), "ok"},
        {"100001 members in two objects",
         "[" + members(50'000) + "," + members(50'001, 50'000) + "]", tooManyMembers},
        {"the member limit comes before the duplicate", endingIn(members(100'000), ",\"k5\":0}"),
         tooManyMembers},
        {"members and values at their limits", membersAndZeros, "ok"},
        {"one value more", "[0," + membersAndZeros.substr(1), tooManyValues},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(verdict(c.input), c.expected) << c.name;
    }
}

// A parsed document as compact text, or "refused".
template <class Parse>
std::string parsedOrRefused(Parse parse) {
    try {
        return serializeJSON(parse());
    } catch (const std::exception&) {
        return "refused";
    }
}

// The shared JSON parsing conformance corpus, read where it lies: files named y_ are valid JSON,
// n_ invalid, i_ left to the implementation (any verdict of the validator's own passes).
TEST(JSONConformance, AcceptsValidJSONUnlessAKeyRepeatsAndRejectsInvalidJSON) {
    const fs::path corpus = fs::path(QUORIN_SHARED_TESTDATA_DIR) / "jsontestsuite/test_parsing";
    if (!fs::is_directory(corpus)) {
        GTEST_SKIP() << "The shared test data is absent: no JSON conformance corpus at " << corpus;
    }
    // Valid JSON that a replay fixture still may not be, and invalid JSON refused for its depth
    // before the reader reaches the fault.
    const std::set<std::string> repeatKeyA = {"y_object_duplicated_key.json",
                                              "y_object_duplicated_key_and_value.json"};
    const std::set<std::string> tooDeep = {"n_structure_100000_opening_arrays.json",
                                           "n_structure_open_array_object.json"};
    std::map<char, std::size_t> counts;
    for (const fs::directory_entry& entry : fs::directory_iterator(corpus)) {
        const std::string name = entry.path().filename().string();
        std::ifstream stream(entry.path(), std::ios::binary);
        const std::string text(std::istreambuf_iterator<char>(stream), {});
        const std::string result = verdict(text);
        ++counts[name[0]];
        // The document builder reads every text as the JSON library's own does.
        EXPECT_EQ(parsedOrRefused([&] { return parseJSON(text); }),
                  parsedOrRefused([&] { return Json::parse(text); }))
            << name;
        if (name.starts_with("y_")) {
            EXPECT_EQ(result, repeatKeyA.contains(name) ? duplicate("$.a") : "ok") << name;
        } else if (name.starts_with("n_")) {
            EXPECT_TRUE(result.starts_with(tooDeep.contains(name)
                                               ? "validation: Replay JSON nesting exceeds "
                                               : "validation: Malformed replay JSON at byte "))
                << name << ": " << result;
        }
    }
    EXPECT_GT(counts['y'], 90U);
    EXPECT_GT(counts['n'], 150U);
    EXPECT_GT(counts['i'], 0U);
}

using testing::failsToDecode;
using Kind = DecodingError::Kind;

// `text` read as a `T` and written back as compact JSON.
template <class T>
std::string rewritten(std::string_view text) {
    return encodeJSONText(decodeJSONText<T>(text));
}

// Dates are seconds since the reference date, written at full precision and never when not
// finite; UUIDs are read in either case and written upper case; a null optional reads as absent,
// an unknown key is ignored and absent optionals are omitted; integers are read whatever their
// notation.
TEST(JSONCoding, WritesBackWhatItReads) {
    const std::pair<std::string, std::string> cases[] = {
        {rewritten<Date>("0"), "0.0"},
        {rewritten<Date>("817000000.123456789"), "817000000.1234568"},
        {rewritten<UUID>(R"("e621E1F8-c36C-495a-93FC-0c247a3E6e5f")"),
         R"("E621E1F8-C36C-495A-93FC-0C247A3E6E5F")"},
        {rewritten<CodeSigningIdentity>(R"({"status": "adHoc", "teamID": null, "x": 1})"),
         R"({"status":"adHoc"})"},
        {rewritten<std::uint32_t>("50e-1"), "5"},
        {rewritten<std::uint32_t>("-0.0"), "0"},
        {rewritten<std::uint64_t>("-0"), "0"},
        {rewritten<std::int32_t>("-2147483648.0"), "-2147483648"},
        {rewritten<std::int64_t>("-9223372036854775808"), "-9223372036854775808"},
        // Members keep the order of the text; a repeated key keeps its first place, last value.
        {serializeJSON(parseJSON(R"({"b":1,"a":[{"d":0,"c":[]}],"b":{"b":2}})")),
         R"({"b":{"b":2},"a":[{"d":0,"c":[]}]})"},
    };
    for (const auto& [actual, expected] : cases) {
        EXPECT_EQ(actual, expected);
    }
    EXPECT_EQ(Date::fromUnixTime(978'307'200.0), Date{0});
    EXPECT_EQ(Date{10}.unixTime(), 978'307'210.0);
    for (const double seconds :
         {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
          std::numeric_limits<double>::quiet_NaN()}) {
        try {
            (void)encodeJSON(std::vector<Date>{Date{1}, Date{seconds}});
            ADD_FAILURE() << "encoded " << seconds;
        } catch (const EncodingError& error) {
            EXPECT_EQ(describe(error.codingPath()), "[1]") << seconds;
        }
    }
}

TEST(JSONCoding, UUIDsOrderAsTheirUpperCaseTextAndRandomOnesAreVersionFour) {
    const auto a = testing::uuid("0000000A-0000-0000-0000-000000000000");
    const auto b = testing::uuid("00000009-FFFF-FFFF-FFFF-FFFFFFFFFFFF");
    EXPECT_LT(b, a);
    EXPECT_LT(b.uuidString(), a.uuidString());
    const UUID first = UUID::random();
    EXPECT_NE(first, UUID::random());
    EXPECT_EQ(first.uuidString()[14], '4');
}

// Each failure names its kind, the path to the offending value and what was wrong.
TEST(JSONCoding, ReportsEachDecodingFailureExactly) {
    const auto corrupt = [](std::string description) {
        return testing::ExpectedDecodingError{Kind::dataCorrupted, "<root>", description};
    };
    const auto mismatch = [](std::string type, std::string found) {
        return testing::ExpectedDecodingError{
            Kind::typeMismatch, "<root>", "Expected " + type + " but found " + found + " instead."};
    };
    const auto doesNotFit = [&](std::string number, std::string type) {
        return corrupt("Number " + number + " does not fit in " + type + ".");
    };
    const std::string notJSON = "The given data was not valid JSON.";
    const auto notUUID = corrupt("Expected a UUID text (8-4-4-4-12 hexadecimal digits).");
    const ::testing::AssertionResult cases[] = {
        failsToDecode<Date>(R"("2001-01-01T00:00:00Z")", mismatch("Double", "a string")),
        failsToDecode<std::vector<NormalizedPath>>(
            R"([{"value": "/"}, {"value": "/x"}, {"value": 3}])",
            {Kind::typeMismatch, "[2].value", "Expected String but found a number instead."}),
        failsToDecode<std::vector<std::vector<std::int32_t>>>(
            "[[1], [2, 3.5]]",
            {Kind::dataCorrupted, "[1][1]", "Number 3.5 does not fit in Int32."}),
        failsToDecode<CodeSigningIdentity>(
            "{}", {Kind::keyNotFound, "status", "No value associated with key \"status\"."}),
        failsToDecode<CodeSigningIdentity>(
            R"({"status": null})",
            {Kind::valueNotFound, "status", "Expected a value but found null instead."}),
        failsToDecode<CodeSigningIdentity>("[]", mismatch("an object", "an array")),
        // Enumerations decode only their exact raw text.
        failsToDecode<CodeSigningStatus>(
            R"("developerId")",
            corrupt("Cannot initialize CodeSigningStatus from invalid value \"developerId\".")),
        failsToDecode<CodeSigningIdentity>("", corrupt(notJSON)),
        failsToDecode<CodeSigningIdentity>("{} {}", corrupt(notJSON)),
        failsToDecode<CodeSigningIdentity>(R"({"status": 1e400})", corrupt(notJSON)),
        // Integers must be integral and fit their type; 2^64 written as an integer is more than
        // the parser holds exactly.
        failsToDecode<std::uint32_t>("1e10", doesNotFit("10000000000.0", "UInt32")),
        failsToDecode<std::int32_t>("2147483648", doesNotFit("2147483648", "Int32")),
        failsToDecode<std::int64_t>("9223372036854775808",
                                    doesNotFit("9223372036854775808", "Int64")),
        failsToDecode<std::uint64_t>("18446744073709551616",
                                     doesNotFit("1.8446744073709552e+19", "UInt64")),
        failsToDecode<std::int32_t>("true", mismatch("Int32", "a boolean")),
        failsToDecode<std::int32_t>(R"({"v":5})", mismatch("Int32", "an object")),
        failsToDecode<std::int32_t>("null", mismatch("Int32", "null")),
        failsToDecode<UUID>(R"("")", notUUID),
        failsToDecode<UUID>(R"("E621E1F8C36C495A93FC0C247A3E6E5F")", notUUID),
        failsToDecode<UUID>(R"("G621E1F8-C36C-495A-93FC-0C247A3E6E5F")", notUUID),
        failsToDecode<UUID>(R"("E621E1F-8C36C-495A-93FC-0C247A3E6E5F")", notUUID),
    };
    for (std::size_t index = 0; index < std::size(cases); ++index) {
        EXPECT_TRUE(cases[index]) << "case " << index;
    }
}

}  // namespace
}  // namespace quorin
