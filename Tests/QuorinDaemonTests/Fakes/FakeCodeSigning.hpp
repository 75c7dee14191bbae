#pragma once

// A code-signing service for tests that signs files by path: each signed path has a team, a
// signing identifier and a designated requirement text. A requirement is satisfied by a signed
// file when its text is the file's designated requirement, or that requirement pinned to the
// file's team and signing identifier. Unsigned paths that exist report `errSecCSUnsigned`;
// operations can be made to fail, and the file can be changed while it is being checked.

#include "QuorinDaemon/Platform/CodeSigning.hpp"
#include "QuorinDaemon/Protection/Verification.hpp"

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>

namespace quorin::daemon::testing {

class FakeCodeSigning final : public CodeSigning {
  public:
    struct Signature {
        std::string teamID;
        std::string signingID;
        std::string designatedRequirement;
    };
    /// The status of a forced failure, and of a requirement a signed file does not satisfy.
    static constexpr OSStatus forcedFailure = -2;

    void sign(const std::string& path, Signature signature) {
        const std::lock_guard lock(mutex_);
        signatures_.insert_or_assign(path, std::move(signature));
    }
    /// Makes every later call of `operation` ("SecCodeCopyDesignatedRequirement", ...) fail.
    void fail(const std::string& operation) {
        const std::lock_guard lock(mutex_);
        failing_.insert(operation);
    }
    /// Runs once, inside the next validity check.
    std::function<void()> duringValidityCheck;
    std::atomic<int> codesCreated = 0;
    std::atomic<int> requirementsCreated = 0;

    SecResult<SecStaticCode> SecStaticCodeCreateWithPath(const std::string& path) override {
        ++codesCreated;
        if (failing("SecStaticCodeCreateWithPath") || !std::filesystem::exists(path)) {
            return {forcedFailure, std::nullopt};
        }
        return {errSecSuccess, SecStaticCode{path}};
    }
    OSStatus SecStaticCodeCheckValidity(const SecStaticCode& code,
                                        const SecRequirement* requirement) override {
        if (duringValidityCheck) {
            std::exchange(duringValidityCheck, nullptr)();
        }
        const std::optional<Signature> signature = signatureOf(code.path);
        if (failing("SecStaticCodeCheckValidity")) {
            return forcedFailure;
        }
        if (!signature) {
            return errSecCSUnsigned;
        }
        const std::string& designated = signature->designatedRequirement;
        if (requirement == nullptr || requirement->text == designated ||
            requirement->text ==
                pinnedRequirement(designated, signature->teamID, signature->signingID)) {
            return errSecSuccess;
        }
        return forcedFailure;
    }
    SecResult<SecRequirement> SecCodeCopyDesignatedRequirement(const SecStaticCode& code) override {
        const std::optional<Signature> signature = signatureOf(code.path);
        if (failing("SecCodeCopyDesignatedRequirement") || !signature) {
            return {forcedFailure, std::nullopt};
        }
        return {errSecSuccess, SecRequirement{signature->designatedRequirement}};
    }
    SecResult<std::string> SecRequirementCopyString(const SecRequirement& requirement) override {
        if (failing("SecRequirementCopyString")) {
            return {forcedFailure, std::nullopt};
        }
        return {errSecSuccess, requirement.text};
    }
    SecResult<SecRequirement> SecRequirementCreateWithString(const std::string& text) override {
        ++requirementsCreated;
        if (failing("SecRequirementCreateWithString")) {
            return {forcedFailure, std::nullopt};
        }
        return {errSecSuccess, SecRequirement{text}};
    }

  private:
    bool failing(const std::string& operation) {
        const std::lock_guard lock(mutex_);
        return failing_.contains(operation);
    }
    std::optional<Signature> signatureOf(const std::string& path) {
        const std::lock_guard lock(mutex_);
        const auto found = signatures_.find(path);
        return found == signatures_.end() ? std::nullopt : std::optional(found->second);
    }

    std::mutex mutex_;
    std::map<std::string, Signature> signatures_;
    std::set<std::string> failing_;
};

}  // namespace quorin::daemon::testing
