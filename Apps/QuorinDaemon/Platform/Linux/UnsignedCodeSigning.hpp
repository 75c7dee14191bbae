#pragma once

#include "QuorinDaemon/Platform/CodeSigning.hpp"

namespace quorin::daemon {

/// Code signing on Linux, where executables carry no platform signature: every file that can be
/// opened for reading has code that is `errSecCSUnsigned`, so it has no designated requirement and
/// satisfies none; a file that cannot be opened has no code. Requirements are kept as their text.
class UnsignedCodeSigning final : public CodeSigning {
  public:
    /// The status for a file that cannot be opened for reading.
    static constexpr OSStatus unreadableFileStatus = -1;

    SecResult<SecStaticCode> SecStaticCodeCreateWithPath(const std::string& path) override;
    OSStatus SecStaticCodeCheckValidity(const SecStaticCode& code,
                                        const SecRequirement* requirement) override;
    SecResult<SecRequirement> SecCodeCopyDesignatedRequirement(const SecStaticCode& code) override;
    SecResult<std::string> SecRequirementCopyString(const SecRequirement& requirement) override;
    SecResult<SecRequirement> SecRequirementCreateWithString(const std::string& text) override;
};

}  // namespace quorin::daemon
