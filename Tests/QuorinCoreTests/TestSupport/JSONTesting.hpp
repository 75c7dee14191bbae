#pragma once

// Helpers shared by the JSON tests: decoding text, editing documents, and checking a decoding
// failure exactly.

#include "QuorinCore/Support/JSON.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace quorin::testing {

/// What a decoding failure must look like: its kind, the coding path as text (see `describe`),
/// and its description.
struct ExpectedDecodingError {
    DecodingError::Kind kind;
    std::string path;
    std::string description;
};

/// Decodes `text` as a `T`, expecting exactly `expected`. An empty description matches any.
template <class T>
::testing::AssertionResult failsToDecode(std::string_view text,
                                         const ExpectedDecodingError& expected) {
    try {
        (void)decodeJSONText<T>(text);
    } catch (const DecodingError& error) {
        if (error.kind() != expected.kind || describe(error.codingPath()) != expected.path ||
            (!expected.description.empty() && error.description() != expected.description)) {
            return ::testing::AssertionFailure() << "failed differently: " << error.what();
        }
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "decoded without error";
}

/// Encodes `value` as compact JSON text and decodes it back.
template <class T>
T roundTrip(const T& value) {
    return decodeJSONText<T>(encodeJSONText(value));
}

/// `document` edited by a JSON merge patch (a null member removes the key), as compact text.
inline std::string patched(Json document, std::string_view patch) {
    document.merge_patch(parseJSON(patch));
    return serializeJSON(document);
}

/// The UUID written as `text`; throws when it is none.
inline UUID uuid(std::string_view text) {
    return UUID::parse(text).value();
}

}  // namespace quorin::testing
