#include "QuorinCore/Protection/ExecutionOutcome.hpp"

namespace quorin {

ExecutionOutcomeResult ExecutionOutcome::resolvedResult() const {
    if (result) {
        return *result;
    }
    if (reason == responseFailedReason) {
        return ExecutionOutcomeResult::unknown;
    }
    return allowed ? ExecutionOutcomeResult::allowed : ExecutionOutcomeResult::blocked;
}

Json ExecutionOutcome::toJSON() const {
    JSONObjectEncoder encoder;
    encoder.encode("id", id);
    encoder.encode("path", path);
    encoder.encode("date", date);
    encoder.encode("reason", reason);
    encoder.encode("allowed", allowed);
    encoder.encodeIfPresent("result", result);
    encoder.encodeIfPresent("explanation", explanation);
    return std::move(encoder).finish();
}

ExecutionOutcome ExecutionOutcome::fromJSON(const JSONValueDecoder& decoder) {
    const JSONObjectDecoder object = decoder.object();
    return ExecutionOutcome{
        .id = object.decode<UUID>("id"),
        .path = object.decode<std::string>("path"),
        .date = object.decode<Date>("date"),
        .reason = object.decode<std::string>("reason"),
        .allowed = object.decode<bool>("allowed"),
        .result = object.decodeIfPresent<ExecutionOutcomeResult>("result"),
        .explanation = object.decodeIfPresent<ExecutionExplanation>("explanation"),
    };
}

}  // namespace quorin
