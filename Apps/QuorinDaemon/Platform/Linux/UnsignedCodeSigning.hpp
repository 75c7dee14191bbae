#pragma once

#include "QuorinDaemon/Platform/CodeSigning.hpp"

namespace quorin::daemon {

/// Code signing on Linux, where executables carry no platform signature: every path has code that
/// is `errSecCSUnsigned`, so it has no designated requirement and satisfies none. Nothing is
/// opened: the answer is the same for every file, and the daemon (root) never opens a path a user
/// may have pointed at something else. Requirements are kept as their text.
class UnsignedCodeSigning final : public CodeSigning {
  public:
    SecResult<SecStaticCode> SecStaticCodeCreateWithPath(const std::string& path) override;
    OSStatus SecStaticCodeCheckValidity(const SecStaticCode& code,
                                        const SecRequirement* requirement) override;
    SecResult<SecRequirement> SecCodeCopyDesignatedRequirement(const SecStaticCode& code) override;
    SecResult<std::string> SecRequirementCopyString(const SecRequirement& requirement) override;
    SecResult<SecRequirement> SecRequirementCreateWithString(const std::string& text) override;
};

}  // namespace quorin::daemon
