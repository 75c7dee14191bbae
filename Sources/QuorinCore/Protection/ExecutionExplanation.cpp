#include "QuorinCore/Protection/ExecutionExplanation.hpp"

namespace quorin {

Json ExecutionExplanation::toJSON() const {
    JSONObjectEncoder encoder;
    encoder.encode("reasons", reasons);
    encoder.encode("signature", signature);
    encoder.encode("trust", trust);
    encoder.encode("recordedAt", recordedAt);
    encoder.encodeIfPresent("fileCreatedAt", fileCreatedAt);
    encoder.encodeIfPresent("initiatingExecutable", initiatingExecutable);
    encoder.encodeIfPresent("trustScope", trustScope);
    encoder.encodeIfPresent("signingID", signingID);
    encoder.encodeIfPresent("teamID", teamID);
    return std::move(encoder).finish();
}

ExecutionExplanation ExecutionExplanation::fromJSON(const JSONValueDecoder& decoder) {
    const JSONObjectDecoder object = decoder.object();
    return ExecutionExplanation{
        .reasons = object.decode<std::vector<Reason>>("reasons"),
        .signature = object.decode<Signature>("signature"),
        .trust = object.decode<Trust>("trust"),
        .recordedAt = object.decode<Date>("recordedAt"),
        .fileCreatedAt = object.decodeIfPresent<Date>("fileCreatedAt"),
        .initiatingExecutable = object.decodeIfPresent<std::string>("initiatingExecutable"),
        .trustScope = object.decodeIfPresent<TrustScope>("trustScope"),
        .signingID = object.decodeIfPresent<std::string>("signingID"),
        .teamID = object.decodeIfPresent<std::string>("teamID"),
    };
}

}  // namespace quorin
