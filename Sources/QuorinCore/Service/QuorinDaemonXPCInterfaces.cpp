#include "QuorinCore/Service/QuorinDaemonXPCInterfaces.hpp"

#include "QuorinCore/Service/QuorinDaemonEventsProtocol.hpp"
#include "QuorinCore/Service/QuorinDaemonXPCProtocol.hpp"

#include <openssl/evp.h>

#include <array>
#include <set>
#include <stdexcept>

namespace quorin {

namespace {

constexpr std::string_view fingerprintPrefix = "quorin-attribution-v2";
constexpr std::size_t fingerprintBytes = 8;

}  // namespace

std::string QuorinDaemonXPCInterfaces::protectedPathsFingerprint(
    const std::vector<std::string>& paths) {
    // std::string orders by unsigned bytes, so a set both de-duplicates and sorts.
    const std::set<std::string> distinct(paths.begin(), paths.end());
    std::string text(fingerprintPrefix);
    text.push_back('\0');
    bool first = true;
    for (const std::string& path : distinct) {
        if (!first) {
            text.push_back('\0');
        }
        text += path;
        first = false;
    }

    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int digestLength = 0;
    if (EVP_Digest(text.data(), text.size(), digest.data(), &digestLength, EVP_sha256(), nullptr) !=
            1 ||
        digestLength < fingerprintBytes) {
        throw std::runtime_error("The SHA-256 digest of the protected paths could not be computed");
    }
    constexpr std::string_view hexDigits = "0123456789abcdef";
    std::string fingerprint;
    for (std::size_t index = 0; index < fingerprintBytes; ++index) {
        const std::size_t byte = digest[index];
        fingerprint.push_back(hexDigits[byte >> 4]);
        fingerprint.push_back(hexDigits[byte & 0x0f]);
    }
    return fingerprint;
}

XPCInterface QuorinDaemonXPCInterfaces::daemonInterface() {
    using Selector = QuorinDaemonXPCProtocol::Selector;
    using enum XPCValueKind;
    const auto method = [](std::string_view selector, std::vector<XPCValueKind> arguments,
                           std::optional<XPCValueKind> reply) {
        return XPCMethod{std::string(selector), std::move(arguments), reply};
    };
    return XPCInterface({
        method(Selector::setProtectedPaths, {textList}, std::nullopt),
        method(Selector::statusWithReply, {}, text),
        method(Selector::configureProtection, {data}, boolean),
        method(Selector::updateProtectionReferences, {data}, std::nullopt),
        method(Selector::protectionStateWithReply, {}, data),
        method(Selector::decideExecution, {text, text}, boolean),
        method(Selector::exportExecutionHistoryWithReply, {}, data),
        method(Selector::clearExecutionHistoryWithReply, {}, boolean),
        method(Selector::clearExecutionTrustWithReply, {}, boolean),
    });
}

XPCInterface QuorinDaemonXPCInterfaces::eventsInterface() {
    return XPCInterface({XPCMethod{std::string(QuorinDaemonEventsProtocol::Selector::deliver),
                                   {XPCValueKind::data},
                                   std::nullopt}});
}

std::string QuorinDaemonXPCInterfaces::subscribedStatus(std::string_view fingerprint) {
    return std::string(subscribedPrefix) + std::string(fingerprint);
}

std::optional<std::string> QuorinDaemonXPCInterfaces::subscribedFingerprint(
    std::string_view status) {
    if (!status.starts_with(subscribedPrefix)) {
        return std::nullopt;
    }
    return std::string(status.substr(subscribedPrefix.size()));
}

}  // namespace quorin
