// The duplicate-key validator against the shared JSON parsing conformance corpus: files named y_
// are valid JSON, n_ invalid, i_ left to the implementation. The corpus is read where it lies.

#include "QuorinCore/Replay/JSONDuplicateKeyValidator.hpp"

#include "QuorinCore/Replay/ReplayFixtureValidationError.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
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

std::string contents(const fs::path& file) {
    std::ifstream stream(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
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

TEST_F(JSONConformance, AcceptsValidJSONWithoutRepeatedKeys) {
    const std::vector<fs::path> files = corpusFiles("y_");
    ASSERT_GT(files.size(), 90U);
    for (const fs::path& file : files) {
        const std::string name = file.filename().string();
        if (validFilesWithRepeatedKeys.contains(name)) {
            continue;
        }
        EXPECT_NO_THROW(JSONDuplicateKeyValidator::validate(contents(file))) << name;
    }
}

TEST_F(JSONConformance, RejectsValidJSONWithRepeatedKeys) {
    for (const std::string& name : validFilesWithRepeatedKeys) {
        try {
            JSONDuplicateKeyValidator::validate(contents(corpusDirectory / name));
            ADD_FAILURE() << name << " was accepted";
        } catch (const ReplayFixtureValidationError& error) {
            EXPECT_EQ(error, ReplayFixtureValidationError::duplicateJSONKey("$", "a")) << name;
        }
    }
}

TEST_F(JSONConformance, RejectsInvalidJSON) {
    const std::vector<fs::path> files = corpusFiles("n_");
    ASSERT_GT(files.size(), 150U);
    for (const fs::path& file : files) {
        const std::string name = file.filename().string();
        const Kind expected =
            invalidFilesTooDeep.contains(name) ? Kind::jsonNestingTooDeep : Kind::malformedJSON;
        try {
            JSONDuplicateKeyValidator::validate(contents(file));
            ADD_FAILURE() << name << " was accepted";
        } catch (const ReplayFixtureValidationError& error) {
            EXPECT_EQ(error.kind(), expected) << name << ": " << error.what();
        }
    }
}

// Whatever the verdict, it is one of the validator's own errors.
TEST_F(JSONConformance, DecidesImplementationDefinedInputsWithoutCrashing) {
    const std::vector<fs::path> files = corpusFiles("i_");
    ASSERT_FALSE(files.empty());
    for (const fs::path& file : files) {
        try {
            JSONDuplicateKeyValidator::validate(contents(file));
        } catch (const ReplayFixtureValidationError&) {
        }
    }
}

}  // namespace
}  // namespace quorin
