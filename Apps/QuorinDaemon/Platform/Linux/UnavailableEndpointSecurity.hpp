#pragma once

#include "QuorinDaemon/Platform/EndpointSecurity.hpp"

namespace quorin::daemon {

/// The security-event service where the system offers none to this daemon: creating a client
/// fails with `ES_NEW_CLIENT_RESULT_ERR_INTERNAL`, so the daemon runs on with file events
/// reported as "es-error:internal" and execution protection unavailable. Operations on clients
/// cannot be reached, as no client ever exists; they report failure.
class UnavailableEndpointSecurity final : public EndpointSecurity {
  public:
    es_new_client_outcome es_new_client(es_handler_block_t) override {
        return {es_new_client_result_t::ES_NEW_CLIENT_RESULT_ERR_INTERNAL, std::nullopt};
    }
    es_return_t es_delete_client(es_client_t) override { return es_return_t::ES_RETURN_ERROR; }
    es_return_t es_subscribe(es_client_t, const std::vector<es_event_type_t>&) override {
        return es_return_t::ES_RETURN_ERROR;
    }
    es_return_t es_unmute_all_target_paths(es_client_t) override {
        return es_return_t::ES_RETURN_ERROR;
    }
    es_mute_inverted_return_t es_muting_inverted(es_client_t, es_mute_inversion_type_t) override {
        return es_mute_inverted_return_t::ES_MUTE_INVERTED_ERROR;
    }
    es_return_t es_invert_muting(es_client_t, es_mute_inversion_type_t) override {
        return es_return_t::ES_RETURN_ERROR;
    }
    es_return_t es_mute_path(es_client_t, const std::string&, es_mute_path_type_t) override {
        return es_return_t::ES_RETURN_ERROR;
    }
    es_respond_result_t es_respond_auth_result(es_client_t, const es_message_t&, es_auth_result_t,
                                               bool) override {
        return es_respond_result_t::ES_RESPOND_RESULT_ERR_INTERNAL;
    }
    void es_retain_message(const es_message_t&) override {}
    void es_release_message(const es_message_t&) override {}
};

}  // namespace quorin::daemon
