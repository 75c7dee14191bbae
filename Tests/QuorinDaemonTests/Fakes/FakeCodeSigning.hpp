#pragma once

// A code-signing service for tests that signs files by path: each signed path has a team, a
// signing identifier and a designated requirement text. A requirement is satisfied by a signed
// file when its text is the file's designated requirement, or that requirement pinned to the
// file's team and signing identifier. Unsigned paths that exist report `errSecCSUnsigned`;
// operations can be made to fail, and the file can be changed while it is being checked.
// Signing and failing are set up before the service is used.

#include "QuorinDaemon/Platform/CodeSigning.hpp"
#include "QuorinDaemon/Protection/Verification.hpp"

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

namespace quorin::daemon::testing {

class FakeCodeSigning final : public CodeSigning {
  public:
    struct Signature {
        std::string teamID, signingID, designatedRequirement;
    };
    /// The status of a forced failure, and of a requirement a signed file does not satisfy.
    static constexpr OSStatus forcedFailure = -2;

    void sign(const std::string& path, Signature signature) {
        signatures_.insert_or_assign(path, std::move(signature));
    }
    /// Makes every later call of `operation` ("SecCodeCopyDesignatedRequirement", ...) fail.
    void fail(const std::string& operation) { failing_.insert(operation); }
    /// Runs once, inside the next validity check.
    std::function<void()> duringValidityCheck;
    std::atomic<int> codesCreated = 0;
    std::atomic<int> requirementsCreated = 0;

    SecResult<SecStaticCode> SecStaticCodeCreateWithPath(const std::string& path) override {
        ++codesCreated;
        return result("SecStaticCodeCreateWithPath", std::filesystem::exists(path),
                      SecStaticCode{path});
    }
    OSStatus SecStaticCodeCheckValidity(const SecStaticCode& code,
                                        const SecRequirement* requirement) override {
        if (duringValidityCheck)
            std::exchange(duringValidityCheck, nullptr)();
        const Signature* signature = signatureOf(code.path);
        if (failing_.contains("SecStaticCodeCheckValidity"))
            return forcedFailure;
        if (signature == nullptr)
            return errSecCSUnsigned;
        const std::string& designated = signature->designatedRequirement;
        return requirement == nullptr || requirement->text == designated ||
                       requirement->text ==
                           pinnedRequirement(designated, signature->teamID, signature->signingID)
                   ? errSecSuccess
                   : forcedFailure;
    }
    SecResult<SecRequirement> SecCodeCopyDesignatedRequirement(const SecStaticCode& code) override {
        const Signature* signature = signatureOf(code.path);
        return result("SecCodeCopyDesignatedRequirement", signature != nullptr,
                      SecRequirement{signature ? signature->designatedRequirement : ""});
    }
    SecResult<std::string> SecRequirementCopyString(const SecRequirement& requirement) override {
        return result("SecRequirementCopyString", true, requirement.text);
    }
    SecResult<SecRequirement> SecRequirementCreateWithString(const std::string& text) override {
        ++requirementsCreated;
        return result("SecRequirementCreateWithString", true, SecRequirement{text});
    }

  private:
    template <class T>
    SecResult<T> result(const std::string& operation, bool succeeds, T value) const {
        return !succeeds || failing_.contains(operation)
                   ? SecResult<T>{forcedFailure, std::nullopt}
                   : SecResult<T>{errSecSuccess, std::move(value)};
    }
    const Signature* signatureOf(const std::string& path) const {
        const auto found = signatures_.find(path);
        return found == signatures_.end() ? nullptr : &found->second;
    }

    std::map<std::string, Signature> signatures_;
    std::set<std::string> failing_;
};

}  // namespace quorin::daemon::testing
