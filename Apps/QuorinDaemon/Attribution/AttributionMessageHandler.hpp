#pragma once

#include "QuorinCore/Attribution/AncestryWalking.hpp"
#include "QuorinCore/Domain/AttributionRecord.hpp"
#include "QuorinDaemon/Platform/EndpointSecurity.hpp"
#include "QuorinDaemon/Platform/Log.hpp"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorin::daemon {

/// Takes one record; called synchronously, once per record.
using RecordHandler = std::function<void(const AttributionRecord&)>;

/// Turns one file notification into attribution records: the paths it touched, the operation,
/// the kind of file, the writer, and the writer's ancestry walked once per message (at most eight
/// parents). Runs on the file client's delivery queue; stateless between messages.
class AttributionMessageHandler {
  public:
    /// `walking` must outlive the handler.
    AttributionMessageHandler(const AncestryWalking& walking, Log log)
        : walking_(walking), log_(std::move(log)) {}

    /// Hands each record to `recordHandler`, in path order, waiting for each call to return. A
    /// message that touched no path (a close without modification, an event of another type)
    /// costs nothing: no ancestry walk, no log line.
    void handle(const es_message_t& message, const RecordHandler& recordHandler) const;

    /// The paths a message touched: write, unlink, modified close → the target; create → the new
    /// file; rename → source, then destination when it can be formed; anything else → none.
    static std::vector<std::string> targetPaths(const es_message_t& message);

    /// The operation every record of the message carries, when the event type has one.
    static std::optional<EventOperation> operation(es_event_type_t type);

    /// The kind every record of the message carries: directory when the status of the file the
    /// message is about (the target; a rename's source; a create's existing file) has a
    /// directory's mode; otherwise absent (a mode of 0 says nothing, and the Linux back end knows
    /// the type of directories only, so no other type is told).
    static std::optional<FileKind> kind(const es_message_t& message);

  private:
    const AncestryWalking& walking_;
    Log log_;
};

}  // namespace quorin::daemon
