#pragma once

#include "QuorinCore/Domain/Identifiers.hpp"
#include "QuorinCore/Domain/NormalizedPath.hpp"
#include "QuorinCore/Support/Enumeration.hpp"
#include "QuorinCore/Support/JSON.hpp"

#include <array>
#include <string>
#include <string_view>
#include <utility>

namespace quorin {

/// What kind of location a protected path is.
enum class PathCategory {
    shellStartup,         // files a login or interactive shell runs
    ssh,                  // keys and configuration of the secure shell
    launchAgent,          // per-user jobs the service manager starts
    launchDaemon,         // system jobs the service manager starts
    executableDirectory,  // a directory programs are run from
    custom,               // anything else the user chose to watch
};

template <>
struct EnumerationTexts<PathCategory> {
    static constexpr std::string_view typeName = "PathCategory";
    static constexpr std::array cases{
        std::pair{PathCategory::shellStartup, std::string_view("shellStartup")},
        std::pair{PathCategory::ssh, std::string_view("ssh")},
        std::pair{PathCategory::launchAgent, std::string_view("launchAgent")},
        std::pair{PathCategory::launchDaemon, std::string_view("launchDaemon")},
        std::pair{PathCategory::executableDirectory, std::string_view("executableDirectory")},
        std::pair{PathCategory::custom, std::string_view("custom")},
    };
};

/// True for the categories whose changes always deserve an alert: the places that make code run
/// at log-in, at start-up or on remote access.
constexpr bool alwaysAlertable(PathCategory category) {
    switch (category) {
        case PathCategory::shellStartup:
        case PathCategory::ssh:
        case PathCategory::launchAgent:
        case PathCategory::launchDaemon:
            return true;
        case PathCategory::executableDirectory:
        case PathCategory::custom:
            return false;
    }
    return false;  // a value outside the enumeration
}

/// How much of a protected file's content history is kept.
enum class ContentHistoryPolicy {
    metadataOnly,       // keep metadata only
    encryptedVersions,  // keep encrypted content versions
};

template <>
struct EnumerationTexts<ContentHistoryPolicy> {
    static constexpr std::string_view typeName = "ContentHistoryPolicy";
    static constexpr std::array cases{
        std::pair{ContentHistoryPolicy::metadataOnly, std::string_view("metadataOnly")},
        std::pair{ContentHistoryPolicy::encryptedVersions, std::string_view("encryptedVersions")},
    };
};

/// One entry of the user's configuration of what to watch: the path as entered and its normalized
/// form, what kind of location it is, whether its descendants are covered too, and how much content
/// history to keep. Matching always uses `normalizedPath`; nothing checks that it is the normal
/// form of `configuredPath`, which the producer derives before building the value. All fields are
/// required in JSON.
struct ProtectedPath {
    ProtectedPathID id;
    std::string configuredPath;  // as the user entered it, possibly starting with "~"
    NormalizedPath normalizedPath;
    PathCategory category;
    bool recursive;
    ContentHistoryPolicy contentPolicy;

    friend bool operator==(const ProtectedPath&, const ProtectedPath&) = default;

    Json toJSON() const;
    static ProtectedPath fromJSON(const JSONValueDecoder& decoder);
};

}  // namespace quorin
