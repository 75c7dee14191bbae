// Arbitrary bytes as a replay fixture: decoded, then validated and materialized against a fixed
// home directory. Decoding may refuse them only with `ReplayFixtureValidationError` or
// `DecodingError`, and materializing only with `ReplayFixtureValidationError`; any other escape,
// crash or hang is a fault. Beyond not failing, what the reader promises is checked: a decoded
// fixture reads back from its own encoding unchanged, `materialize` fails with the error of
// `validate` or, past validation, only on a path, else it has the findings of `validate` and keeps
// every record.

#include "QuorinCore/Replay/ReplayFixture.hpp"
#include "QuorinCore/Replay/ReplayFixtureValidationError.hpp"
#include "QuorinCore/Support/JSON.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

namespace {

constexpr std::string_view homeDirectory = "/home/ana";

using quorin::MaterializedReplayFixture;
using quorin::ReplayDiagnostic;
using quorin::ReplayFixture;
using quorin::ReplayFixtureValidationError;

std::optional<ReplayFixture> decoded(std::string_view bytes) {
    try {
        return ReplayFixture::decode(bytes);
    } catch (const ReplayFixtureValidationError&) {
        return std::nullopt;
    } catch (const quorin::DecodingError&) {
        return std::nullopt;
    }
}

template <class Result>
std::variant<Result, ReplayFixtureValidationError> outcome(auto&& operation) {
    try {
        return operation();
    } catch (const ReplayFixtureValidationError& error) {
        return error;
    }
}

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::optional<ReplayFixture> fixture =
        decoded(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!fixture) {
        return 0;
    }
    check(ReplayFixture::decode(quorin::serializeJSON(fixture->toJSON())) == *fixture);

    const auto validated =
        outcome<std::vector<ReplayDiagnostic>>([&] { return fixture->validate(homeDirectory); });
    const auto materialized =
        outcome<MaterializedReplayFixture>([&] { return fixture->materialize(homeDirectory); });
    if (const auto* error = std::get_if<ReplayFixtureValidationError>(&validated)) {
        const auto* materializingError = std::get_if<ReplayFixtureValidationError>(&materialized);
        check(materializingError != nullptr && *materializingError == *error);
        return 0;
    }
    // Process executable paths are normalized only while materializing, so a valid fixture can
    // still fail there, but with nothing else.
    if (const auto* error = std::get_if<ReplayFixtureValidationError>(&materialized)) {
        check(error->kind() == ReplayFixtureValidationError::Kind::invalidPath);
        return 0;
    }
    const auto& view = std::get<MaterializedReplayFixture>(materialized);
    check(view.diagnostics() == std::get<std::vector<ReplayDiagnostic>>(validated));
    check(view.protectedPaths().size() == fixture->protectedPaths.size());
    check(view.processes().size() == fixture->processes.size());
    check(view.events().size() == fixture->events.size());
    return 0;
}
