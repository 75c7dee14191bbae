#include "QuorinCore/Protection/ExecutionRequest.hpp"

namespace quorin {

Json ExecutionRequest::toJSON() const {
    JSONObjectEncoder encoder;
    encoder.encode("id", id);
    encoder.encode("path", path);
    encoder.encode("signingID", signingID);
    encoder.encode("teamID", teamID);
    encoder.encode("deadline", deadline);
    encoder.encode("canAlwaysTrust", canAlwaysTrust);
    encoder.encodeIfPresent("explanation", explanation);
    return std::move(encoder).finish();
}

ExecutionRequest ExecutionRequest::fromJSON(const JSONValueDecoder& decoder) {
    const JSONObjectDecoder object = decoder.object();
    return ExecutionRequest{
        .id = object.decode<UUID>("id"),
        .path = object.decode<std::string>("path"),
        .signingID = object.decode<std::string>("signingID"),
        .teamID = object.decode<std::string>("teamID"),
        .deadline = object.decode<Date>("deadline"),
        .canAlwaysTrust = object.decode<bool>("canAlwaysTrust"),
        .explanation = object.decodeIfPresent<ExecutionExplanation>("explanation"),
    };
}

}  // namespace quorin
