#pragma once

// Typed identifiers. Each names one kind of thing by a UUID that its producer chose; the types
// are never interchangeable. They compare and hash by `value` alone, and order by the upper-case
// text of the UUID. JSON form: {"value": "<UUID text>"}.

#include "QuorinCore/Support/JSON.hpp"
#include "QuorinCore/Support/UUID.hpp"

#include <compare>
#include <functional>

namespace quorin {

template <class Tag>
struct Identifier {
    UUID value;

    constexpr explicit Identifier(UUID uuid) : value(uuid) {}

    friend constexpr bool operator==(const Identifier&, const Identifier&) = default;
    friend constexpr std::strong_ordering operator<=>(const Identifier&,
                                                      const Identifier&) = default;

    Json toJSON() const {
        JSONObjectEncoder encoder;
        encodeMembers(encoder);
        return std::move(encoder).finish();
    }
    /// Encodes the value into a `JSONObjectEncoder` or a `JSONTextObjectEncoder`.
    template <class Encoder>
    void encodeMembers(Encoder& encoder) const {
        encoder.encode("value", value);
    }
    static Identifier fromJSON(const JSONValueDecoder& decoder) {
        return Identifier(decoder.object().decode<UUID>("value"));
    }
};

/// One observed process instance (not a pid, which the system reuses).
using ProcessID = Identifier<struct ProcessIDTag>;
/// One observed event.
using EventID = Identifier<struct EventIDTag>;
/// One correlated incident.
using IncidentID = Identifier<struct IncidentIDTag>;
/// One file object, followed across renames.
using FileObjectID = Identifier<struct FileObjectIDTag>;
/// One protected-path configuration entry.
using ProtectedPathID = Identifier<struct ProtectedPathIDTag>;

}  // namespace quorin

template <class Tag>
struct std::hash<quorin::Identifier<Tag>> {
    std::size_t operator()(const quorin::Identifier<Tag>& identifier) const noexcept {
        return std::hash<quorin::UUID>{}(identifier.value);
    }
};
