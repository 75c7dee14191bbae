#include "QuorinCore/Protection/ExecutionProtectionState.hpp"

namespace quorin {

Json ExecutionProtectionState::toJSON() const {
    JSONObjectEncoder encoder;
    encoder.encode("executableRoots", executableRoots);
    encoder.encode("available", available);
    encoder.encode("enabled", enabled);
    encoder.encodeIfPresent("error", error);
    encoder.encode("pending", pending);
    encoder.encode("outcomes", outcomes);
    encoder.encode("trustedRuleCount", trustedRuleCount);
    return std::move(encoder).finish();
}

ExecutionProtectionState ExecutionProtectionState::fromJSON(const JSONValueDecoder& decoder) {
    const JSONObjectDecoder object = decoder.object();
    return ExecutionProtectionState{
        .executableRoots = object.decode<std::vector<std::string>>("executableRoots"),
        .available = object.decode<bool>("available"),
        .enabled = object.decode<bool>("enabled"),
        .error = object.decodeIfPresent<std::string>("error"),
        .pending = object.decode<std::vector<ExecutionRequest>>("pending"),
        .outcomes = object.decode<std::vector<ExecutionOutcome>>("outcomes"),
        .trustedRuleCount = object.decode<std::int64_t>("trustedRuleCount"),
    };
}

}  // namespace quorin
