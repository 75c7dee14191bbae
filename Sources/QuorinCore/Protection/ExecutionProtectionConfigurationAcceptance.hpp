#pragma once

#include "QuorinCore/Protection/ExecutionProtectionConfiguration.hpp"

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <variant>

namespace quorin {

/// Why a configuration sent by the application was refused. The whole configuration is refused;
/// the application learns of it only through a false reply, so the kinds serve logs and tests.
enum class ConfigurationRejection {
    tooLarge,                // more than 4 MiB encoded
    undecodable,             // not a configuration
    tooManyRoots,            // more than 256
    tooManyBaselineEntries,  // more than 20,000
    tooManyReferences,       // more than 2,000
    tooManyAliases,          // more than 20,000
    keyOutsideRoots,         // an alias or baseline key under no root
    rootNotPermitted,        // a root the user may not watch
    invalidReference,        // a reference path or date that breaks the reference rules
};

/// The rule a configuration must pass before the daemon stores it, in this order: its size and
/// decoding, the counts, alias and baseline keys under the roots, roots the user may watch from
/// `homeDirectory` (inside it or a shared root), and every reference entry.
struct ExecutionProtectionConfigurationAcceptance {
    ExecutionProtectionConfigurationAcceptance() = delete;

    static constexpr std::size_t maximumEncodedBytes = 4 * 1024 * 1024;
    static constexpr std::size_t maximumRoots = 256;
    static constexpr std::size_t maximumBaselineEntries = 20'000;
    static constexpr std::size_t maximumReferences = 2'000;
    static constexpr std::size_t maximumAliases = 20'000;
    static constexpr std::size_t maximumReferencePathBytes = 4'096;
    /// How far ahead of now a reference may count as recent, in seconds.
    static constexpr double maximumReferenceLead = 3'600;

    /// The decoded configuration, or why it is refused.
    static std::variant<ExecutionProtectionConfiguration, ConfigurationRejection> accept(
        std::string_view encoded, std::string_view homeDirectory, Date now);

    /// Whether a set of references passes on its own (also when the references are replaced
    /// without the rest of the configuration): at most 2,000 entries, each an absolute path
    /// without NUL of at most 4,096 bytes, dated at most an hour after `now`.
    static bool acceptsReferences(const std::map<std::string, Date>& references, Date now);
};

}  // namespace quorin
