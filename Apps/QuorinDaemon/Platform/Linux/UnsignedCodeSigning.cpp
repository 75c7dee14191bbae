#include "QuorinDaemon/Platform/Linux/UnsignedCodeSigning.hpp"

namespace quorin::daemon {

SecResult<SecStaticCode> UnsignedCodeSigning::SecStaticCodeCreateWithPath(const std::string& path) {
    return {errSecSuccess, SecStaticCode{path}};
}

OSStatus UnsignedCodeSigning::SecStaticCodeCheckValidity(const SecStaticCode&,
                                                         const SecRequirement*) {
    return errSecCSUnsigned;
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
