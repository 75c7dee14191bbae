// The duplicate-key validator against the shared JSON parsing conformance corpus: files named y_
// are valid JSON, n_ invalid, i_ left to the implementation. The corpus is read where it lies.

#include "QuorinCore/Replay/JSONDuplicateKeyValidator.hpp"

#include "QuorinCore/Replay/ReplayFixtureValidationError.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quorin {
namespace {

namespace fs = std::filesystem;
using Kind = ReplayFixtureValidationError::Kind;

const fs::path corpusDirectory =
    fs::path(QUORIN_SHARED_TESTDATA_DIR) / "jsontestsuite" / "test_parsing";

// Valid JSON that a replay fixture still may not be: an object repeats its key "a".
const std::set<std::string> validFilesWithRepeatedKeys = {
    "y_object_duplicated_key.json",
    "y_object_duplicated_key_and_value.json",
};

// Invalid JSON that is refused for its depth before the reader reaches the fault.
const std::set<std::string> invalidFilesTooDeep = {
    "n_structure_100000_opening_arrays.json",
    "n_structure_open_array_object.json",
};

std::vector<fs::path> corpusFiles(const std::string& prefix) {
    std::vector<fs::path> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(corpusDirectory)) {
        if (entry.path().filename().string().starts_with(prefix)) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// The validator's error for `file`, or nothing when it accepts the file.
std::optional<ReplayFixtureValidationError> errorFor(const fs::path& file) {
    std::ifstream stream(file, std::ios::binary);
    try {
        JSONDuplicateKeyValidator::validate(
            std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()));
    } catch (const ReplayFixtureValidationError& error) {
        return error;
    }
    return std::nullopt;
}

class JSONConformance : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::is_directory(corpusDirectory)) {
            GTEST_SKIP() << "The shared test data is absent: no JSON conformance corpus at "
                         << corpusDirectory;
        }
    }
};

TEST_F(JSONConformance, AcceptsValidJSONUnlessAKeyRepeats) {
    const std::vector<fs::path> files = corpusFiles("y_");
    ASSERT_GT(files.size(), 90U);
    std::size_t repeatedKeyFiles = 0;
    for (const fs::path& file : files) {
        const std::string name = file.filename().string();
        if (validFilesWithRepeatedKeys.contains(name)) {
            ++repeatedKeyFiles;
            EXPECT_EQ(errorFor(file), ReplayFixtureValidationError::duplicateJSONKey("$", "a"))
                << name;
        } else {
            EXPECT_EQ(errorFor(file), std::nullopt) << name;
        }
    }
    EXPECT_EQ(repeatedKeyFiles, validFilesWithRepeatedKeys.size());
}

TEST_F(JSONConformance, RejectsInvalidJSON) {
    const std::vector<fs::path> files = corpusFiles("n_");
    ASSERT_GT(files.size(), 150U);
    for (const fs::path& file : files) {
        const std::string name = file.filename().string();
        const auto error = errorFor(file);
        ASSERT_TRUE(error) << name << " was accepted";
        EXPECT_EQ(error->kind(), invalidFilesTooDeep.contains(name) ? Kind::jsonNestingTooDeep
                                                                    : Kind::malformedJSON)
            << name << ": " << error->what();
    }
}

// Whatever the verdict, it is one of the validator's own errors.
TEST_F(JSONConformance, DecidesImplementationDefinedInputsWithoutCrashing) {
    const std::vector<fs::path> files = corpusFiles("i_");
    ASSERT_FALSE(files.empty());
    for (const fs::path& file : files) {
        (void)errorFor(file);
    }
}

}  // namespace
}  // namespace quorin
