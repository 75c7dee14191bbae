#include "QuorinCore/Attribution/AttributionRecordBuilder.hpp"

namespace quorin {

AttributionRecord AttributionRecordBuilder::record(std::string path, Date timestamp,
                                                   AttributionProcess writer, bool isPlatformBinary,
                                                   std::vector<AttributionProcess> ancestry,
                                                   std::optional<EventOperation> operation,
                                                   std::optional<FileKind> kind) {
    return AttributionRecord(std::move(path), timestamp, std::move(writer), isPlatformBinary,
                             std::move(ancestry), operation, kind);
}

}  // namespace quorin
