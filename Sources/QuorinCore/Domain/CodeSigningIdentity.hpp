#pragma once

#include "QuorinCore/Support/Enumeration.hpp"
#include "QuorinCore/Support/Hashing.hpp"
#include "QuorinCore/Support/JSON.hpp"

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>

namespace quorin {

/// How an executable is signed.
enum class CodeSigningStatus {
    platform,     // signed as part of the operating system
    developerID,  // validly signed by an identified developer (a team)
    adHoc,        // ad-hoc signed, without a signing certificate
    unsigned_,    // not signed (raw text "unsigned")
};

template <>
struct EnumerationTexts<CodeSigningStatus> {
    static constexpr std::string_view typeName = "CodeSigningStatus";
    static constexpr std::array cases{
        std::pair{CodeSigningStatus::platform, std::string_view("platform")},
        std::pair{CodeSigningStatus::developerID, std::string_view("developerID")},
        std::pair{CodeSigningStatus::adHoc, std::string_view("adHoc")},
        std::pair{CodeSigningStatus::unsigned_, std::string_view("unsigned")},
    };
};

/// The code signature of an executable: of a file's content, or of a process's image.
/// No field is checked against another.
struct CodeSigningIdentity {
    CodeSigningStatus status;
    std::optional<std::string> signingIdentifier;
    std::optional<std::string> teamID;
    std::optional<std::string> designatedRequirement;

    friend bool operator==(const CodeSigningIdentity&, const CodeSigningIdentity&) = default;

    Json toJSON() const;
    /// Encodes the fields, in order, into a `JSONObjectEncoder` or a `JSONTextObjectEncoder`.
    template <class Encoder>
    void encodeMembers(Encoder& encoder) const;
    static CodeSigningIdentity fromJSON(const JSONValueDecoder& decoder);
};

}  // namespace quorin

template <>
struct std::hash<quorin::CodeSigningIdentity> {
    std::size_t operator()(const quorin::CodeSigningIdentity& identity) const noexcept {
        std::size_t seed = 0;
        quorin::hashCombine(seed, identity.status);
        quorin::hashCombine(seed, identity.signingIdentifier);
        quorin::hashCombine(seed, identity.teamID);
        quorin::hashCombine(seed, identity.designatedRequirement);
        return seed;
    }
};
