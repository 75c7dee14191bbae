#pragma once

// The closed key sets of the replay fixture document, checked over a parsed document.

#include "QuorinCore/Support/JSON.hpp"

namespace quorin {

/// Rejects any object key that the replay fixture format does not define. Each object the format
/// defines (the document, its protected paths, processes and events, and an event's previous
/// file) is checked against its own key set; a container of an unexpected shape is skipped, since
/// structural decoding reports it with a better error. Runs after the duplicate-key validator and
/// before structural decoding, so an unknown key anywhere is reported before any type error.
class ReplayJSONSchema {
  public:
    ReplayJSONSchema() = delete;

    /// Throws `ReplayFixtureValidationError::unknownKey` for the first object, in document order,
    /// that has a key outside its set, naming the smallest such key in Unicode scalar order.
    static void validateUnknownKeys(const Json& document);
};

}  // namespace quorin
