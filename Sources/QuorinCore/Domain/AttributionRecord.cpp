#include "QuorinCore/Domain/AttributionRecord.hpp"

#include <utility>

namespace quorin {

Json AttributionProcess::toJSON() const {
    JSONObjectEncoder encoder;
    encoder.encode("pid", pid);
    encoder.encode("executablePath", executablePath);
    encoder.encodeIfPresent("signingID", signingID);
    encoder.encodeIfPresent("teamID", teamID);
    return std::move(encoder).finish();
}

AttributionProcess AttributionProcess::fromJSON(const JSONValueDecoder& decoder) {
    const JSONObjectDecoder object = decoder.object();
    return AttributionProcess{
        .pid = object.decode<std::int32_t>("pid"),
        .executablePath = object.decode<std::string>("executablePath"),
        .signingID = object.decodeIfPresent<std::string>("signingID"),
        .teamID = object.decodeIfPresent<std::string>("teamID"),
    };
}

AttributionRecord::AttributionRecord(std::string changedPath, Date time,
                                     AttributionProcess writingProcess, bool writerIsPlatformBinary,
                                     std::vector<AttributionProcess> writerAncestry,
                                     std::optional<EventOperation> changeOperation,
                                     std::optional<FileKind> fileKind)
    : path(std::move(changedPath)),
      timestamp(time),
      operation(changeOperation),
      writer(std::move(writingProcess)),
      isPlatformBinary(writerIsPlatformBinary),
      ancestry(std::move(writerAncestry)),
      kind(fileKind) {}

Json AttributionRecord::toJSON() const {
    JSONObjectEncoder encoder;
    encoder.encode("path", path);
    encoder.encode("timestamp", timestamp);
    encoder.encodeIfPresent("operation", operation);
    encoder.encode("writer", writer);
    encoder.encode("isPlatformBinary", isPlatformBinary);
    encoder.encode("ancestry", ancestry);
    encoder.encodeIfPresent("kind", kind);
    return std::move(encoder).finish();
}

AttributionRecord AttributionRecord::fromJSON(const JSONValueDecoder& decoder) {
    const JSONObjectDecoder object = decoder.object();
    auto path = object.decode<std::string>("path");
    const auto timestamp = object.decode<Date>("timestamp");
    const auto operation = object.decodeIfPresent<EventOperation>("operation");
    auto writer = object.decode<AttributionProcess>("writer");
    const auto isPlatformBinary = object.decode<bool>("isPlatformBinary");
    auto ancestry = object.decode<std::vector<AttributionProcess>>("ancestry");
    const auto kind = object.decodeIfPresent<FileKind>("kind");
    return AttributionRecord(std::move(path), timestamp, std::move(writer), isPlatformBinary,
                             std::move(ancestry), operation, kind);
}

}  // namespace quorin
