#pragma once

#include "QuorinCore/Attribution/AncestryCache.hpp"
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
/// the kind of file, the writer, and the writer's ancestry (at most eight parents) asked of the
/// cache once per message, which walks the process table once per writing process. Runs on the
/// file client's delivery queue; keeps nothing of its own between messages.
class AttributionMessageHandler {
  public:
    /// `ancestries` must outlive the handler.
    AttributionMessageHandler(AncestryCache& ancestries, Log log)
        : ancestries_(ancestries), log_(std::move(log)) {}

    /// Hands each record to `recordHandler`, in path order, waiting for each call to return. A
    /// message that touched no path (a close without modification, an event of another type)
    /// costs nothing: no ancestry asked, no log line.
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
    AncestryCache& ancestries_;
    Log log_;
};

}  // namespace quorin::daemon
