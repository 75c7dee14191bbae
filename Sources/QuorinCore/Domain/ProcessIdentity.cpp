#include "QuorinCore/Domain/ProcessIdentity.hpp"

namespace quorin {

Json ProcessIdentity::toJSON() const {
    JSONObjectEncoder encoder;
    encoder.encode("id", id);
    encoder.encode("pid", pid);
    encoder.encode("auditToken", auditToken);
    encoder.encodeIfPresent("parentID", parentID);
    encoder.encodeIfPresent("responsibleID", responsibleID);
    encoder.encode("executablePath", executablePath);
    encoder.encodeIfPresent("executableSHA256", executableSHA256);
    encoder.encode("signing", signing);
    encoder.encode("observedAt", observedAt);
    return std::move(encoder).finish();
}

ProcessIdentity ProcessIdentity::fromJSON(const JSONValueDecoder& decoder) {
    const JSONObjectDecoder object = decoder.object();
    return ProcessIdentity{
        .id = object.decode<ProcessID>("id"),
        .pid = object.decode<std::int32_t>("pid"),
        .auditToken = object.decode<std::string>("auditToken"),
        .parentID = object.decodeIfPresent<ProcessID>("parentID"),
        .responsibleID = object.decodeIfPresent<ProcessID>("responsibleID"),
        .executablePath = object.decode<NormalizedPath>("executablePath"),
        .executableSHA256 = object.decodeIfPresent<std::string>("executableSHA256"),
        .signing = object.decode<CodeSigningIdentity>("signing"),
        .observedAt = object.decode<Date>("observedAt"),
    };
}

}  // namespace quorin
