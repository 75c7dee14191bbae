// Arbitrary bytes as a replay fixture: decoded, then validated and materialized against a fixed
// home directory. Decoding may refuse them only with `ReplayFixtureValidationError` or
// `DecodingError`, and materializing only with `ReplayFixtureValidationError`; any other escape,
// crash or hang is a fault. Beyond not failing, what the reader promises is checked: the reading
// path decodes what the validator accepted as the reference decoding does, throws the same error,
// or leaves the bytes to it; a decoded fixture reads back from its own encoding unchanged,
// `materialize` fails with the error of `validate` or, past validation, only on a path, else it has
// the findings of `validate` and keeps every record.

#include "QuorinCore/Replay/JSONDuplicateKeyValidator.hpp"
#include "QuorinCore/Replay/ReplayFixture.hpp"
#include "QuorinCore/Replay/ReplayFixtureDecoding.hpp"
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

// Whatever the reading path gives for bytes the validator accepted, the reference gives too.
void checkReadingPath(std::string_view bytes) {
    try {
        quorin::JSONDuplicateKeyValidator::validate(bytes);
    } catch (const ReplayFixtureValidationError&) {
        return;
    }
    const auto fast = outcome<std::optional<ReplayFixture>>(
        [&] { return quorin::ReplayFixtureDecoding::fast(bytes); });
    if (const auto* read = std::get_if<std::optional<ReplayFixture>>(&fast); read && !*read) {
        return;  // left to the reference
    }
    std::optional<std::variant<ReplayFixture, ReplayFixtureValidationError>> reference;
    try {
        reference =
            outcome<ReplayFixture>([&] { return quorin::ReplayFixtureDecoding::reference(bytes); });
    } catch (const quorin::DecodingError&) {
        std::abort();  // the reading path decoded or refused what the reference cannot decode
    }
    if (const auto* read = std::get_if<std::optional<ReplayFixture>>(&fast)) {
        const auto* decoded = std::get_if<ReplayFixture>(&*reference);
        check(decoded != nullptr && *decoded == **read);
    } else {
        const auto* error = std::get_if<ReplayFixtureValidationError>(&*reference);
        check(error != nullptr && *error == std::get<ReplayFixtureValidationError>(fast));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    checkReadingPath(bytes);
    const std::optional<ReplayFixture> fixture = decoded(bytes);
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
