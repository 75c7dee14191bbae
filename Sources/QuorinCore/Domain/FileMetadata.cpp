#include "QuorinCore/Domain/FileMetadata.hpp"

#include "QuorinCore/Support/JSONTextWriter.hpp"

namespace quorin {

template <class Encoder>
void FileMetadata::encodeMembers(Encoder& encoder) const {
    encoder.encode("id", id);
    encoder.encode("path", path);
    encoder.encode("size", size);
    encoder.encode("ownerID", ownerID);
    encoder.encode("groupID", groupID);
    encoder.encode("mode", mode);
    encoder.encodeIfPresent("sha256", sha256);
    encoder.encode("isExecutable", isExecutable);
    encoder.encodeIfPresent("signing", signing);
    encoder.encodeIfPresent("kind", kind);
    encoder.encodeIfPresent("symlinkTarget", symlinkTarget);
}

template void FileMetadata::encodeMembers(JSONObjectEncoder&) const;
template void FileMetadata::encodeMembers(JSONTextObjectEncoder&) const;

Json FileMetadata::toJSON() const {
    JSONObjectEncoder encoder;
    encodeMembers(encoder);
    return std::move(encoder).finish();
}

FileMetadata FileMetadata::fromJSON(const JSONValueDecoder& decoder) {
    const JSONObjectDecoder object = decoder.object();
    return FileMetadata{
        .id = object.decode<FileObjectID>("id"),
        .path = object.decode<NormalizedPath>("path"),
        .size = object.decode<std::uint64_t>("size"),
        .ownerID = object.decode<std::uint32_t>("ownerID"),
        .groupID = object.decode<std::uint32_t>("groupID"),
        .mode = object.decode<std::uint16_t>("mode"),
        .sha256 = object.decodeIfPresent<std::string>("sha256"),
        .isExecutable = object.decode<bool>("isExecutable"),
        .signing = object.decodeIfPresent<CodeSigningIdentity>("signing"),
        .kind = object.decodeIfPresent<FileKind>("kind"),
        .symlinkTarget = object.decodeIfPresent<std::string>("symlinkTarget"),
    };
}

}  // namespace quorin
