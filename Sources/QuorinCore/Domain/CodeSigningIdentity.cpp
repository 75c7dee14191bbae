#include "QuorinCore/Domain/CodeSigningIdentity.hpp"

namespace quorin {

Json CodeSigningIdentity::toJSON() const {
    JSONObjectEncoder encoder;
    encoder.encode("status", status);
    encoder.encodeIfPresent("signingIdentifier", signingIdentifier);
    encoder.encodeIfPresent("teamID", teamID);
    encoder.encodeIfPresent("designatedRequirement", designatedRequirement);
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
