#include "QuorinCore/Domain/ProtectedPath.hpp"

namespace quorin {

Json ProtectedPath::toJSON() const {
    JSONObjectEncoder encoder;
    encoder.encode("id", id);
    encoder.encode("configuredPath", configuredPath);
    encoder.encode("normalizedPath", normalizedPath);
    encoder.encode("category", category);
    encoder.encode("recursive", recursive);
    encoder.encode("contentPolicy", contentPolicy);
    return std::move(encoder).finish();
}

ProtectedPath ProtectedPath::fromJSON(const JSONValueDecoder& decoder) {
    const JSONObjectDecoder object = decoder.object();
    return ProtectedPath{
        .id = object.decode<ProtectedPathID>("id"),
        .configuredPath = object.decode<std::string>("configuredPath"),
        .normalizedPath = object.decode<NormalizedPath>("normalizedPath"),
        .category = object.decode<PathCategory>("category"),
        .recursive = object.decode<bool>("recursive"),
        .contentPolicy = object.decode<ContentHistoryPolicy>("contentPolicy"),
    };
}

}  // namespace quorin
