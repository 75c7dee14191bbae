#include "QuorinCore/Domain/CodeSigningIdentity.hpp"

#include "QuorinCore/Support/JSONTextWriter.hpp"

namespace quorin {

template <class Encoder>
void CodeSigningIdentity::encodeMembers(Encoder& encoder) const {
    encoder.encode("status", status);
    encoder.encodeIfPresent("signingIdentifier", signingIdentifier);
    encoder.encodeIfPresent("teamID", teamID);
    encoder.encodeIfPresent("designatedRequirement", designatedRequirement);
}

template void CodeSigningIdentity::encodeMembers(JSONObjectEncoder&) const;
template void CodeSigningIdentity::encodeMembers(JSONTextObjectEncoder&) const;

Json CodeSigningIdentity::toJSON() const {
    JSONObjectEncoder encoder;
    encodeMembers(encoder);
    return std::move(encoder).finish();
}

CodeSigningIdentity CodeSigningIdentity::fromJSON(const JSONValueDecoder& decoder) {
    const JSONObjectDecoder object = decoder.object();
    return CodeSigningIdentity{
        .status = object.decode<CodeSigningStatus>("status"),
        .signingIdentifier = object.decodeIfPresent<std::string>("signingIdentifier"),
        .teamID = object.decodeIfPresent<std::string>("teamID"),
        .designatedRequirement = object.decodeIfPresent<std::string>("designatedRequirement"),
    };
}

}  // namespace quorin
