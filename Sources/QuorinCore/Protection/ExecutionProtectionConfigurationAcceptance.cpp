#include "QuorinCore/Protection/ExecutionProtectionConfigurationAcceptance.hpp"

#include "QuorinCore/Attribution/DaemonPathAuthorization.hpp"
#include "QuorinCore/Protection/ExecutionProtectionPolicy.hpp"

#include <algorithm>

namespace quorin {

namespace {

template <class Map>
bool keysUnderRoots(const Map& map, const std::vector<std::string>& roots) {
    return std::all_of(map.begin(), map.end(), [&roots](const auto& entry) {
        return ExecutionProtectionPolicy::isUnderRoot(entry.first, roots);
    });
}

}  // namespace

bool ExecutionProtectionConfigurationAcceptance::acceptsReferences(
    const std::map<std::string, Date>& references, Date now) {
    if (references.size() > maximumReferences) {
        return false;
    }
    const Date latest = now.addingTimeInterval(maximumReferenceLead);
    return std::all_of(references.begin(), references.end(), [latest](const auto& entry) {
        const auto& [path, date] = entry;
        return path.starts_with('/') && path.find('\0') == std::string::npos &&
               path.size() <= maximumReferencePathBytes && date.isFinite() && date <= latest;
    });
}

std::variant<ExecutionProtectionConfiguration, ConfigurationRejection>
ExecutionProtectionConfigurationAcceptance::accept(std::string_view encoded,
                                                   std::string_view homeDirectory, Date now) {
    using enum ConfigurationRejection;
    if (encoded.size() > maximumEncodedBytes) {
        return tooLarge;
    }
    ExecutionProtectionConfiguration configuration;
    try {
        configuration = decodeJSONText<ExecutionProtectionConfiguration>(encoded);
    } catch (const DecodingError&) {
        return undecodable;
    }
    if (configuration.executableRoots.size() > maximumRoots) {
        return tooManyRoots;
    }
    if (configuration.baseline.size() > maximumBaselineEntries) {
        return tooManyBaselineEntries;
    }
    if (configuration.references.size() > maximumReferences) {
        return tooManyReferences;
    }
    if (configuration.executableAliases.size() > maximumAliases) {
        return tooManyAliases;
    }
    if (!keysUnderRoots(configuration.executableAliases, configuration.executableRoots) ||
        !keysUnderRoots(configuration.baseline, configuration.executableRoots)) {
        return keyOutsideRoots;
    }
    if (!DaemonPathAuthorization::allows(configuration.executableRoots, homeDirectory)) {
        return rootNotPermitted;
    }
    if (!acceptsReferences(configuration.references, now)) {
        return invalidReference;
    }
    return configuration;
}

}  // namespace quorin
