#pragma once

// The operating system's code-signing service as execution protection uses it: a static code
// object for a file, its validity with or without a requirement, its designated requirement and
// that requirement's text, and requirements made from text. Operations carry the service's own
// names and report its status codes: 0 is success, and `errSecCSUnsigned` marks a file that
// carries no signature. Linux has no such signatures; its back end reports every readable file as
// unsigned, so executables are identified by their content. Tests use a fake that signs files.

#include <cstdint>
#include <optional>
#include <string>

namespace quorin::daemon {

using OSStatus = std::int32_t;

inline constexpr OSStatus errSecSuccess = 0;
/// The code carries no signature.
inline constexpr OSStatus errSecCSUnsigned = -67062;

/// The signed code of one file on disk.
struct SecStaticCode {
    std::string path;
};

/// A code requirement, made from its text or copied from code.
struct SecRequirement {
    std::string text;
};

template <class T>
struct SecResult {
    OSStatus status;
    std::optional<T> value;  // present exactly when `status` is `errSecSuccess`
};

/// The service's operations. Every operation may be called from any thread.
class CodeSigning {
  public:
    virtual ~CodeSigning() = default;

    virtual SecResult<SecStaticCode> SecStaticCodeCreateWithPath(const std::string& path) = 0;
    /// Whether `code` is validly signed (in every architecture) and, when `requirement` is
    /// given, satisfies it.
    virtual OSStatus SecStaticCodeCheckValidity(const SecStaticCode& code,
                                                const SecRequirement* requirement) = 0;
    virtual SecResult<SecRequirement> SecCodeCopyDesignatedRequirement(
        const SecStaticCode& code) = 0;
    virtual SecResult<std::string> SecRequirementCopyString(const SecRequirement& requirement) = 0;
    virtual SecResult<SecRequirement> SecRequirementCreateWithString(const std::string& text) = 0;
};

}  // namespace quorin::daemon
