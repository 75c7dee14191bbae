#pragma once

// The two decodings of fixture bytes that the duplicate-key validator has accepted. Both check
// unknown keys and then decode the records; the schema version is the caller's to test. Time
// stamps come back as written, counted from the reference date.

#include "QuorinCore/Replay/ReplayFixture.hpp"

#include <cstddef>
#include <optional>
#include <string_view>

namespace quorin {

class ReplayFixtureDecoding {
  public:
    ReplayFixtureDecoding() = delete;

    /// The reading path: simdjson's document, decoded straight into the records. Throws the
    /// unknown-key errors and the missing schema version exactly as `reference` does; gives nothing
    /// when a value does not decode or its notation leaves a doubt (an integer field written with a
    /// fraction, a negative zero), and `reference` then decodes it or names the fault.
    /// simdjson reads blocks past the end of a text; with `readableSlack` bytes there to read,
    /// it parses the text where it lies instead of a padded copy.
    static std::optional<ReplayFixture> fast(std::string_view validatedBytes,
                                             std::size_t readableSlack = 0);

    /// The JSON layer's document and decoders, whose errors are the contract.
    static ReplayFixture reference(std::string_view validatedBytes);
};

}  // namespace quorin
