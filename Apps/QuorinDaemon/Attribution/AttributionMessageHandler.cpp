#include "QuorinDaemon/Attribution/AttributionMessageHandler.hpp"

#include "QuorinCore/Attribution/AttributionRecordBuilder.hpp"

#include <sys/stat.h>

namespace quorin::daemon {

namespace {

// The path a created or renamed file ends up at, when the destination says.
std::optional<std::string> destinationPath(const es_destination_t& destination) {
    switch (destination.destination_type) {
        case es_destination_type_t::ES_DESTINATION_TYPE_EXISTING_FILE:
            return destination.existing_file.path.text();
        case es_destination_type_t::ES_DESTINATION_TYPE_NEW_PATH: {
            std::string path = destination.new_path_dir.path.text();
            if (!path.ends_with('/')) {
                path += '/';
            }
            return path + destination.new_path_filename.text();
        }
        case es_destination_type_t::ES_DESTINATION_TYPE_UNKNOWN:
            break;
    }
    return std::nullopt;
}

std::optional<std::string> present(std::string text) {
    return text.empty() ? std::nullopt : std::optional(std::move(text));
}

}  // namespace

std::vector<std::string> AttributionMessageHandler::targetPaths(const es_message_t& message) {
    using enum es_event_type_t;
    switch (message.event_type) {
        case ES_EVENT_TYPE_NOTIFY_WRITE:
            return {message.event.write.target.path.text()};
        case ES_EVENT_TYPE_NOTIFY_UNLINK:
            return {message.event.unlink.target.path.text()};
        case ES_EVENT_TYPE_NOTIFY_CLOSE:
            if (message.event.close.modified) {
                return {message.event.close.target.path.text()};
            }
            return {};
        case ES_EVENT_TYPE_NOTIFY_CREATE:
            if (auto created = destinationPath(message.event.create.destination)) {
                return {std::move(*created)};
            }
            return {};
        case ES_EVENT_TYPE_NOTIFY_RENAME: {
            std::vector<std::string> paths{message.event.rename.source.path.text()};
            if (auto destination = destinationPath(message.event.rename.destination)) {
                paths.push_back(std::move(*destination));
            }
            return paths;
        }
        case ES_EVENT_TYPE_AUTH_EXEC:
            return {};
    }
    return {};
}

std::optional<EventOperation> AttributionMessageHandler::operation(es_event_type_t type) {
    using enum es_event_type_t;
    switch (type) {
        case ES_EVENT_TYPE_NOTIFY_WRITE:
        case ES_EVENT_TYPE_NOTIFY_CLOSE:
            return EventOperation::fileModified;
        case ES_EVENT_TYPE_NOTIFY_CREATE:
            return EventOperation::fileCreated;
        case ES_EVENT_TYPE_NOTIFY_RENAME:
            return EventOperation::fileRenamed;
        case ES_EVENT_TYPE_NOTIFY_UNLINK:
            return EventOperation::fileDeleted;
        case ES_EVENT_TYPE_AUTH_EXEC:
            return std::nullopt;
    }
    return std::nullopt;
}

std::optional<FileKind> AttributionMessageHandler::kind(const es_message_t& message) {
    using enum es_event_type_t;
    std::uint32_t mode = 0;
    switch (message.event_type) {
        case ES_EVENT_TYPE_NOTIFY_WRITE:
            mode = message.event.write.target.stat.st_mode;
            break;
        case ES_EVENT_TYPE_NOTIFY_UNLINK:
            mode = message.event.unlink.target.stat.st_mode;
            break;
        case ES_EVENT_TYPE_NOTIFY_CLOSE:
            mode = message.event.close.target.stat.st_mode;
            break;
        case ES_EVENT_TYPE_NOTIFY_CREATE:
            if (message.event.create.destination.destination_type ==
                es_destination_type_t::ES_DESTINATION_TYPE_EXISTING_FILE) {
                mode = message.event.create.destination.existing_file.stat.st_mode;
            }
            break;
        case ES_EVENT_TYPE_NOTIFY_RENAME:
            mode = message.event.rename.source.stat.st_mode;
            break;
        case ES_EVENT_TYPE_AUTH_EXEC:
            break;
    }
    return S_ISDIR(mode) ? std::optional(FileKind::directory) : std::nullopt;
}

void AttributionMessageHandler::handle(const es_message_t& message,
                                       const RecordHandler& recordHandler) const {
    const std::vector<std::string> paths = targetPaths(message);
    if (paths.empty()) {
        return;
    }
    const es_process_t& process = message.process;
    const AttributionProcess writer{
        audit_token_to_pid(process.audit_token), process.executable.path.text(),
        present(process.signing_id.text()), present(process.team_id.text())};
    const std::vector<AttributionProcess> ancestry = ancestries_.ancestry(writer.pid);
    const Date timestamp = Date::fromUnixTime(static_cast<double>(message.time.tv_sec) +
                                              static_cast<double>(message.time.tv_nsec) / 1e9);
    const std::optional<EventOperation> recordOperation = operation(message.event_type);
    const std::optional<FileKind> recordKind = kind(message);
    for (const std::string& path : paths) {
        const AttributionRecord record =
            AttributionRecordBuilder::record(path, timestamp, writer, process.is_platform_binary,
                                             ancestry, recordOperation, recordKind);
        log_.log(LogLevel::default_,
                 "attribution: path=%{private}s writer=%{private}s writerPid=%{public}d "
                 "ancestryDepth=%{public}ld",
                 {LogValue::private_(path), LogValue::private_(writer.executablePath),
                  LogValue::public_(std::to_string(writer.pid)),
                  LogValue::public_(std::to_string(ancestry.size()))});
        recordHandler(record);
    }
}

}  // namespace quorin::daemon
