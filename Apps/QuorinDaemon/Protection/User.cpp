#include "QuorinDaemon/Protection/User.hpp"

namespace quorin::daemon {

Json User::toJSON() const {
    JSONObjectEncoder encoder;
    encoder.encode("configuration", configuration);
    encoder.encode("rules", rules);
    encoder.encode("outcomes", outcomes);
    return std::move(encoder).finish();
}

User User::fromJSON(const JSONValueDecoder& decoder) {
    const JSONObjectDecoder object = decoder.object();
    return User{object.decode<ExecutionProtectionConfiguration>("configuration"),
                object.decode<std::vector<Rule>>("rules"),
                object.decode<std::vector<ExecutionOutcome>>("outcomes")};
}

}  // namespace quorin::daemon
