// The state snapshot the application polls: a user with a full history (10,000 outcomes, each
// with its explanation) and 32 held requests. Each iteration builds the snapshot on the
// controller's work queue and encodes it as JSON.

#include "QuorinDaemon/Platform/Linux/AsioDispatch.hpp"
#include "QuorinDaemon/Platform/Linux/SystemClock.hpp"
#include "QuorinDaemon/Platform/Linux/UnsignedCodeSigning.hpp"
#include "QuorinDaemon/Protection/ExecutionProtectionController.hpp"
#include "QuorinDaemon/Protection/ProtectionStorage.hpp"

#include <benchmark/benchmark.h>

#include <asio/io_context.hpp>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace quorin::daemon {
namespace {

constexpr std::uint32_t uid = 501;

ExecutionExplanation explanation(Date now) {
    return ExecutionExplanation{{ExecutionExplanation::Reason::notInBaseline},
                                ExecutionExplanation::Signature::unsigned_,
                                ExecutionExplanation::Trust::noMatchingRule,
                                now,
                                now,
                                "/bin/zsh",
                                ExecutionExplanation::TrustScope::exactContent,
                                std::nullopt,
                                std::nullopt};
}

void BM_StateSnapshotOfAFullHistory(benchmark::State& state) {
    std::string home = (std::filesystem::temp_directory_path() / "quorin-bench-XXXXXX").string();
    if (::mkdtemp(home.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    const std::string root = home + "/bin";
    std::filesystem::create_directory(root);
    const SystemClock clock;
    const Date now = clock.now();

    User user;
    user.configuration.executableRoots = {root};
    for (int index = 0; index < 10'000; ++index) {
        user.outcomes.push_back(ExecutionOutcome{
            UUID::random(), root + "/tool-" + std::to_string(index), now, "Blocked by user", false,
            ExecutionOutcomeResult::blocked, explanation(now)});
    }
    ProtectionStorage(home + "/storage").save(user, uid);

    asio::io_context loop;
    AsioDispatch dispatch(loop.get_executor());
    UnsignedCodeSigning signing;
    ExecutionProtectionController controller(home + "/storage", dispatch, signing, clock);
    controller.setAvailable(true);
    user.configuration.enabled = true;
    controller.configure(uid, home, encodeJSONText(user.configuration), [](bool) {});
    // Held requests without an open file: identification fails and they stay held.
    for (int index = 0; index < 32; ++index) {
        const ExecutionCandidate candidate{root + "/held-" + std::to_string(index),
                                           ExecutionFileVersion{1, 2, 3, 4, 5, 6, 7},
                                           false,
                                           false,
                                           false,
                                           "",
                                           "",
                                           "/bin/zsh",
                                           nullptr};
        controller.prepare(
            uid, candidate, UUID::random(), now.addingTimeInterval(15 + index), std::nullopt,
            [] { return true; }, [](bool, std::string_view) { return true; });
    }
    loop.run();
    loop.restart();

    std::size_t bytes = 0;
    for (auto _ : state) {
        controller.state(uid, [&](std::string data) { bytes = data.size(); });
        loop.run();
        loop.restart();
    }
    state.counters["snapshotBytes"] = static_cast<double>(bytes);
    std::filesystem::remove_all(home);
}
BENCHMARK(BM_StateSnapshotOfAFullHistory)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quorin::daemon
