#include "QuorinDaemon/Attribution/ESAttributionClient.hpp"

#include <algorithm>

namespace quorin::daemon {

namespace {

constexpr const char* success = "ES_RETURN_SUCCESS";

}  // namespace

ESAttributionClient::ESAttributionClient(EndpointSecurity& endpointSecurity,
                                         const AncestryWalking& walking,
                                         std::shared_ptr<LogSink> logSink, Terminator& terminator)
    : endpointSecurity_(endpointSecurity),
      ancestries_(walking),
      log_(std::move(logSink), std::string(daemonLogSubsystem), "es"),
      terminator_(terminator) {}

ESAttributionClient::StartResult ESAttributionClient::start(RecordHandler recordHandler) {
    const es_new_client_outcome outcome = endpointSecurity_.es_new_client(
        [pipeline = AttributionMessageHandler(ancestries_, log_),
         recordHandler = std::move(recordHandler)](es_client_t, const es_message_t& message) {
            pipeline.handle(message, recordHandler);
        });

    using enum es_new_client_result_t;
    const char* fatal = nullptr;  // a failure the daemon cannot run without
    switch (outcome.result) {
        case ES_NEW_CLIENT_RESULT_SUCCESS:
            log_.log(LogLevel::default_, "es_new_client: ES_NEW_CLIENT_RESULT_SUCCESS");
            break;
        case ES_NEW_CLIENT_RESULT_ERR_INVALID_ARGUMENT:
            log_.log(LogLevel::error, "es_new_client: ES_NEW_CLIENT_RESULT_ERR_INVALID_ARGUMENT");
            return {"es-error:invalid-argument", std::nullopt};
        case ES_NEW_CLIENT_RESULT_ERR_INTERNAL:
            log_.log(LogLevel::error, "es_new_client: ES_NEW_CLIENT_RESULT_ERR_INTERNAL");
            return {"es-error:internal", std::nullopt};
        case ES_NEW_CLIENT_RESULT_ERR_NOT_ENTITLED:
            fatal =
                "es_new_client: ES_NEW_CLIENT_RESULT_ERR_NOT_ENTITLED -- missing the "
                "endpoint-security.client entitlement";
            break;
        case ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED:
            fatal =
                "es_new_client: ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED -- not TCC-approved "
                "(Full Disk Access)";
            break;
        case ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED:
            log_.log(
                LogLevel::error,
                "es_new_client: ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED -- not running as root");
            return {"es-error:not-privileged", std::nullopt};
        case ES_NEW_CLIENT_RESULT_ERR_TOO_MANY_CLIENTS:
            log_.log(LogLevel::error, "es_new_client: ES_NEW_CLIENT_RESULT_ERR_TOO_MANY_CLIENTS");
            return {"es-error:too-many-clients", std::nullopt};
        default:
            log_.log(
                LogLevel::error, "es_new_client: unrecognized es_new_client_result_t (%{public}u)",
                {LogValue::public_(std::to_string(static_cast<std::uint32_t>(outcome.result)))});
            return {"es-error:unknown", std::nullopt};
    }
    if (fatal != nullptr) {
        log_.log(LogLevel::fault, fatal);
        terminator_.exit(1);
    }
    if (!outcome.client) {
        log_.log(LogLevel::fault, "es_new_client reported SUCCESS but produced no client handle");
        terminator_.exit(1);
    }

    const es_client_t client = *outcome.client;
    try {
        // Inversion on with no prefix: nothing is delivered until a user configures paths.
        applyMuting({}, client);
        subscribe(client);
    } catch (const ConfigurationError&) {
        endpointSecurity_.es_delete_client(client);
        return {"es-error:configuration", std::nullopt};
    }
    return {"subscribed", [this, client](const std::vector<std::string>& prefixes) {
                applyMuting(prefixes, client);
            }};
}

void ESAttributionClient::applyMuting(const std::vector<std::string>& prefixes,
                                      es_client_t client) {
    const std::lock_guard lock(mutex_);
    if (selected_.empty()) {
        // Nothing is selected that clearing could lose.
        if (endpointSecurity_.es_unmute_all_target_paths(client) !=
            es_return_t::ES_RETURN_SUCCESS) {
            throw ConfigurationError();
        }
        log_.log(LogLevel::default_, "es_unmute_all_target_paths: %{public}s",
                 {LogValue::public_(success)});
    }

    // Asked every time, so a lost inversion is restored and a repeated call changes nothing.
    constexpr auto targetPath = es_mute_inversion_type_t::ES_MUTE_INVERSION_TYPE_TARGET_PATH;
    switch (endpointSecurity_.es_muting_inverted(client, targetPath)) {
        case es_mute_inverted_return_t::ES_MUTE_NOT_INVERTED:
            log_.log(
                LogLevel::default_,
                "es_muting_inverted(ES_MUTE_INVERSION_TYPE_TARGET_PATH): ES_MUTE_NOT_INVERTED");
            if (endpointSecurity_.es_invert_muting(client, targetPath) !=
                es_return_t::ES_RETURN_SUCCESS) {
                throw ConfigurationError();
            }
            log_.log(LogLevel::default_,
                     "es_invert_muting(ES_MUTE_INVERSION_TYPE_TARGET_PATH): %{public}s",
                     {LogValue::public_(success)});
            break;
        case es_mute_inverted_return_t::ES_MUTE_INVERTED:
            log_.log(LogLevel::default_,
                     "es_muting_inverted(ES_MUTE_INVERSION_TYPE_TARGET_PATH): ES_MUTE_INVERTED");
            break;
        default:
            throw ConfigurationError();
    }

    constexpr auto prefixType = es_mute_path_type_t::ES_MUTE_PATH_TYPE_TARGET_PREFIX;
    for (const std::string& prefix : prefixes) {
        if (std::find(selected_.begin(), selected_.end(), prefix) != selected_.end()) {
            continue;
        }
        if (endpointSecurity_.es_mute_path(client, prefix, prefixType) !=
            es_return_t::ES_RETURN_SUCCESS) {
            throw ConfigurationError();
        }
        selected_.push_back(prefix);
        log_.log(LogLevel::default_,
                 "es_mute_path(%{private}s, ES_MUTE_PATH_TYPE_TARGET_PREFIX): %{public}s",
                 {LogValue::private_(prefix), LogValue::public_(success)});
    }
    for (const std::string& prefix : std::vector<std::string>(selected_)) {
        if (std::find(prefixes.begin(), prefixes.end(), prefix) != prefixes.end()) {
            continue;
        }
        if (endpointSecurity_.es_unmute_path(client, prefix, prefixType) !=
            es_return_t::ES_RETURN_SUCCESS) {
            throw ConfigurationError();
        }
        std::erase(selected_, prefix);
        log_.log(LogLevel::default_,
                 "es_unmute_path(%{private}s, ES_MUTE_PATH_TYPE_TARGET_PREFIX): %{public}s",
                 {LogValue::private_(prefix), LogValue::public_(success)});
    }
}

void ESAttributionClient::subscribe(es_client_t client) const {
    using enum es_event_type_t;
    if (endpointSecurity_.es_subscribe(
            client, {ES_EVENT_TYPE_NOTIFY_WRITE, ES_EVENT_TYPE_NOTIFY_CREATE,
                     ES_EVENT_TYPE_NOTIFY_RENAME, ES_EVENT_TYPE_NOTIFY_UNLINK,
                     ES_EVENT_TYPE_NOTIFY_CLOSE}) != es_return_t::ES_RETURN_SUCCESS) {
        throw ConfigurationError();
    }
    log_.log(LogLevel::default_, "es_subscribe(WRITE, CREATE, RENAME, UNLINK, CLOSE): %{public}s",
             {LogValue::public_(success)});
}

}  // namespace quorin::daemon
