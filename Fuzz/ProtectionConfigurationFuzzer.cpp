// Arbitrary bytes as what the application sends to configure execution protection: a whole
// configuration, or a replacement set of persistence references (a JSON object of paths to time
// stamps). Both readers see every input, so one corpus covers the shapes they share. The
// configuration rule must answer with a configuration or a rejection and never throw; the
// references may be refused by their decoding only with `DecodingError`. Checked beyond that: an
// accepted configuration is accepted again, unchanged, from its own encoding, and a set of
// references passes on its own exactly when a configuration carrying only it is accepted.

#include "QuorinCore/Protection/ExecutionProtectionConfiguration.hpp"
#include "QuorinCore/Protection/ExecutionProtectionConfigurationAcceptance.hpp"
#include "QuorinCore/Support/Date.hpp"
#include "QuorinCore/Support/JSON.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace {

using quorin::Date;
using quorin::ExecutionProtectionConfiguration;
using Acceptance = quorin::ExecutionProtectionConfigurationAcceptance;
using References = std::map<std::string, Date>;

constexpr std::string_view homeDirectory = "/home/ana";
// A fixed moment, so that whether a reference lies too far ahead does not depend on the clock.
constexpr Date now{786'000'000};

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

std::optional<ExecutionProtectionConfiguration> accepted(std::string_view encoded) {
    auto result = Acceptance::accept(encoded, homeDirectory, now);
    if (auto* configuration = std::get_if<ExecutionProtectionConfiguration>(&result)) {
        return std::move(*configuration);
    }
    return std::nullopt;
}

void checkConfiguration(std::string_view bytes) {
    const std::optional<ExecutionProtectionConfiguration> configuration = accepted(bytes);
    if (!configuration) {
        return;
    }
    const std::string encoded = quorin::serializeJSON(configuration->toJSON());
    if (encoded.size() <= Acceptance::maximumEncodedBytes) {
        check(accepted(encoded) == configuration);
    }
}

void checkReferences(std::string_view bytes) {
    References references;
    try {
        references = quorin::decodeJSONText<References>(bytes);
    } catch (const quorin::DecodingError&) {
        return;
    }
    const ExecutionProtectionConfiguration carrier{.enabled = true, .references = references};
    const std::string encoded = quorin::serializeJSON(carrier.toJSON());
    if (encoded.size() <= Acceptance::maximumEncodedBytes) {
        check(Acceptance::acceptsReferences(references, now) == accepted(encoded).has_value());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    checkConfiguration(bytes);
    checkReferences(bytes);
    return 0;
}
