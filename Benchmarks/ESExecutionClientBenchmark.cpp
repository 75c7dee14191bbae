// The exec handler on the path taken by almost every exec: the policy finds nothing to ask, and
// the message is answered before the handler returns. The security-event service is a stand-in
// that accepts every answer, so the figure is the handler's own cost.

#include "QuorinDaemon/Platform/Linux/AsioDispatch.hpp"
#include "QuorinDaemon/Platform/Linux/SystemClock.hpp"
#include "QuorinDaemon/Platform/Linux/UnsignedCodeSigning.hpp"
#include "QuorinDaemon/Protection/ESExecutionClient.hpp"

#include <benchmark/benchmark.h>

#include <asio/io_context.hpp>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace quorin::daemon {
namespace {

class AcceptingEndpointSecurity final : public EndpointSecurity {
  public:
    es_new_client_outcome es_new_client(es_handler_block_t) override {
        return {es_new_client_result_t::ES_NEW_CLIENT_RESULT_SUCCESS, es_client_t{1}};
    }
    es_return_t es_delete_client(es_client_t) override { return es_return_t::ES_RETURN_SUCCESS; }
    es_return_t es_subscribe(es_client_t, const std::vector<es_event_type_t>&) override {
        return es_return_t::ES_RETURN_SUCCESS;
    }
    es_return_t es_unmute_all_target_paths(es_client_t) override {
        return es_return_t::ES_RETURN_SUCCESS;
    }
    es_mute_inverted_return_t es_muting_inverted(es_client_t, es_mute_inversion_type_t) override {
        return es_mute_inverted_return_t::ES_MUTE_NOT_INVERTED;
    }
    es_return_t es_invert_muting(es_client_t, es_mute_inversion_type_t) override {
        return es_return_t::ES_RETURN_SUCCESS;
    }
    es_return_t es_mute_path(es_client_t, const std::string&, es_mute_path_type_t) override {
        return es_return_t::ES_RETURN_SUCCESS;
    }
    es_return_t es_unmute_path(es_client_t, const std::string&, es_mute_path_type_t) override {
        return es_return_t::ES_RETURN_SUCCESS;
    }
    es_respond_result_t es_respond_auth_result(es_client_t, const es_message_t&, es_auth_result_t,
                                               bool) override {
        return es_respond_result_t::ES_RESPOND_RESULT_SUCCESS;
    }
    void es_retain_message(const es_message_t&) override {}
    void es_release_message(const es_message_t&) override {}
    void setAvailabilityHandler(es_client_t, std::function<void(bool)>) override {}
    es_return_t setExecChecking(es_client_t, bool) override {
        return es_return_t::ES_RETURN_SUCCESS;
    }
    void setExecInterest(es_client_t, es_exec_interest_t) override {}
    es_clear_cache_result_t es_clear_cache(es_client_t) override {
        return es_clear_cache_result_t::ES_CLEAR_CACHE_RESULT_SUCCESS;
    }
};

class DiscardingLogSink final : public LogSink {
  public:
    void write(const LogEntry&) override {}
};

es_file_t statFile(const std::string& path) {
    struct stat status {};
    ::lstat(path.c_str(), &status);
    return es_file_t{es_string_token_t{path, static_cast<std::int64_t>(path.size())},
                     es_stat_t{static_cast<std::int64_t>(status.st_dev), status.st_ino,
                               status.st_mode, status.st_size, status.st_mtim, status.st_ctim},
                     nullptr};
}

// A user protecting a folder of 1,000 executables, all in the baseline, runs one of them.
void BM_ExecHandlerWithNothingToAsk(benchmark::State& state) {
    std::string home = (std::filesystem::temp_directory_path() / "quorin-bench-XXXXXX").string();
    if (::mkdtemp(home.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    const std::string root = home + "/bin";
    std::filesystem::create_directory(root);
    ExecutionProtectionConfiguration configuration;
    configuration.enabled = true;
    configuration.executableRoots = {root};
    for (int index = 0; index < 1'000; ++index) {
        const std::string path = root + "/tool-" + std::to_string(index);
        std::ofstream(path) << "#!/bin/sh\n";
        struct stat status {};
        ::lstat(path.c_str(), &status);
        configuration.baseline.emplace(path, fileVersion(status));
    }

    asio::io_context loop;
    AsioDispatch dispatch(loop.get_executor());
    UnsignedCodeSigning signing;
    const SystemClock clock;
    AcceptingEndpointSecurity endpointSecurity;
    ExecutionProtectionController controller(home + "/storage", dispatch, signing, clock);
    ESExecutionClient client(endpointSecurity, dispatch, clock,
                             std::make_shared<DiscardingLogSink>());
    client.start(controller);
    controller.configure(501, home, encodeJSONText(configuration), [](bool) {});
    loop.run();

    es_message_t message;
    message.version = 2;
    message.event_type = es_event_type_t::ES_EVENT_TYPE_AUTH_EXEC;
    message.process.audit_token = audit_token_t{4242, 501};
    message.process.executable = statFile("/bin/sh");
    message.event.exec.target.executable = statFile(root + "/tool-500");
    for (auto _ : state) {
        message.deadline = clock.absoluteTime() + 60'000'000'000;
        client.handle(es_client_t{1}, message, controller);
    }
    std::filesystem::remove_all(home);
}
BENCHMARK(BM_ExecHandlerWithNothingToAsk)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quorin::daemon
