#include "QuorinDaemon/Protection/Rule.hpp"

namespace quorin::daemon {

Json Rule::toJSON() const {
    JSONObjectEncoder encoder;
    encoder.encodeIfPresent("requirement", requirement);
    encoder.encodeIfPresent("sha256", sha256);
    return std::move(encoder).finish();
}

Rule Rule::fromJSON(const JSONValueDecoder& decoder) {
    const JSONObjectDecoder object = decoder.object();
    return Rule{object.decodeIfPresent<std::string>("requirement"),
                object.decodeIfPresent<std::string>("sha256")};
}

}  // namespace quorin::daemon
