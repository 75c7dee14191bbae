#pragma once

#include "QuorinCore/Domain/CodeSigningIdentity.hpp"
#include "QuorinCore/Domain/FileKind.hpp"
#include "QuorinCore/Domain/Identifiers.hpp"
#include "QuorinCore/Domain/NormalizedPath.hpp"
#include "QuorinCore/Support/JSON.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace quorin {

/// The state of one file object at one moment: where it is, its size, owner and mode bits, and
/// what is known about its content (digest, executability, code signature, kind, link target).
/// `id` follows the object across renames. No field is checked against another.
struct FileMetadata {
    FileObjectID id;
    NormalizedPath path;
    std::uint64_t size;
    std::uint32_t ownerID;
    std::uint32_t groupID;
    std::uint16_t mode;
    std::optional<std::string> sha256;
    bool isExecutable;
    std::optional<CodeSigningIdentity> signing;
    std::optional<FileKind> kind;
    std::optional<std::string> symlinkTarget;

    friend bool operator==(const FileMetadata&, const FileMetadata&) = default;

    Json toJSON() const;
    /// Encodes the fields, in order, into a `JSONObjectEncoder` or a `JSONTextObjectEncoder`.
    template <class Encoder>
    void encodeMembers(Encoder& encoder) const;
    static FileMetadata fromJSON(const JSONValueDecoder& decoder);
};

}  // namespace quorin
