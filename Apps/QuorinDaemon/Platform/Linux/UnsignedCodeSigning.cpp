#include "QuorinDaemon/Platform/Linux/UnsignedCodeSigning.hpp"

#include "QuorinCore/Support/UniqueFd.hpp"

#include <fcntl.h>

namespace quorin::daemon {

SecResult<SecStaticCode> UnsignedCodeSigning::SecStaticCodeCreateWithPath(const std::string& path) {
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!file.valid()) {
        return {unreadableFileStatus, std::nullopt};
    }
    return {errSecSuccess, SecStaticCode{path}};
}

OSStatus UnsignedCodeSigning::SecStaticCodeCheckValidity(const SecStaticCode& code,
                                                         const SecRequirement*) {
    const UniqueFd file(::open(code.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    return file.valid() ? errSecCSUnsigned : unreadableFileStatus;
}

SecResult<SecRequirement> UnsignedCodeSigning::SecCodeCopyDesignatedRequirement(
    const SecStaticCode&) {
    return {errSecCSUnsigned, std::nullopt};
}

SecResult<std::string> UnsignedCodeSigning::SecRequirementCopyString(
    const SecRequirement& requirement) {
    return {errSecSuccess, requirement.text};
}

SecResult<SecRequirement> UnsignedCodeSigning::SecRequirementCreateWithString(
    const std::string& text) {
    return {errSecSuccess, SecRequirement{text}};
}

}  // namespace quorin::daemon
