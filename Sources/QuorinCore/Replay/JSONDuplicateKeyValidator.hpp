#pragma once

#include <string_view>

namespace quorin {

/// The first gate a replay fixture's bytes pass: one pass over the bytes that accepts only strictly
/// well-formed UTF-8 JSON in which no object repeats a key and the document stays within the
/// nesting, object-member and value budgets of `ReplayFixtureLimits`. Keys are compared after
/// unescaping and by Unicode canonical equivalence, so "é" written precomposed, decomposed or as
/// escapes is one key. Nothing is built: keys are decoded only to compare them. A failure throws
/// `ReplayFixtureValidationError`: `malformedJSON` with the byte offset where the reader stood,
/// `jsonNestingTooDeep`, `tooManyJSONObjectMembers`, `tooManyJSONValues`, or `duplicateJSONKey`
/// with the path of the object ("$", then ".key", "[\"odd key\"]" or "[3]" per step) and the key
/// as decoded.
struct JSONDuplicateKeyValidator {
    JSONDuplicateKeyValidator() = delete;

    static void validate(std::string_view bytes);
};

}  // namespace quorin
