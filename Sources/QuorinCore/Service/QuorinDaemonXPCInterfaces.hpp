#pragma once

#include "QuorinCore/Service/XPCInterface.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorin {

/// What the daemon and the user application must agree on to talk: the service name, the
/// code-signing requirement each side applies to the other, the interfaces each side exports, and
/// the status texts that tell the application whether its protected paths are in force, identified
/// by their fingerprint.
struct QuorinDaemonXPCInterfaces {
    QuorinDaemonXPCInterfaces() = delete;

    static constexpr std::string_view machServiceName = "com.brenmoor.quorin.daemon.xpc";

    /// The requirement the daemon applies to every incoming connection.
    static constexpr std::string_view appCodeSigningRequirement =
        R"(anchor apple generic and certificate leaf[subject.OU] = "Q4ZT8NB2XK" )"
        R"(and identifier "com.brenmoor.Quorin")";

    /// The requirement the application applies to its connection to the daemon.
    static constexpr std::string_view daemonCodeSigningRequirement =
        R"(anchor apple generic and certificate leaf[subject.OU] = "Q4ZT8NB2XK" )"
        R"(and identifier "com.brenmoor.quorin.daemon")";

    /// The status prefix of a client whose paths are in force.
    static constexpr std::string_view subscribedPrefix = "subscribed:";

    /// 16 lower-case hexadecimal digits identifying the set of `paths`, independent of their
    /// order and repetition: the first 8 bytes of the SHA-256 of "quorin-attribution-v2", a NUL,
    /// and the distinct paths in byte order (which is Unicode scalar order for UTF-8) separated
    /// by NULs. Throws `std::runtime_error` if the digest cannot be computed.
    static std::string protectedPathsFingerprint(const std::vector<std::string>& paths);

    /// The requests of `QuorinDaemonXPCProtocol`, in declaration order, as the daemon exports them.
    static XPCInterface daemonInterface();

    /// The callback of `QuorinDaemonEventsProtocol`, as a client exports it.
    static XPCInterface eventsInterface();

    /// "subscribed:" followed by `fingerprint`.
    static std::string subscribedStatus(std::string_view fingerprint);

    /// The rest of a status that begins with "subscribed:"; nothing for any other status.
    static std::optional<std::string> subscribedFingerprint(std::string_view status);
};

}  // namespace quorin
