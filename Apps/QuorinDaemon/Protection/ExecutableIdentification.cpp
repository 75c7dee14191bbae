#include "QuorinDaemon/Protection/ExecutableIdentification.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace quorin::daemon {

namespace {

using Signature = ExecutionExplanation::Signature;

// The candidate's file, as the exec handed it over, found to be the regular file it reported.
struct OpenedFile {
    int descriptor;  // the candidate's own
    std::int64_t size;
    std::optional<statx_timestamp> birthTime;
};

template <class T>
bool succeeded(const SecResult<T>& result) {
    return result.status == errSecSuccess && result.value.has_value();
}

std::optional<statx_timestamp> birthTime(int descriptor) {
    struct statx status {};
    if (::statx(descriptor, "", AT_EMPTY_PATH, STATX_BTIME, &status) != 0 ||
        (status.stx_mask & STATX_BTIME) == 0) {
        return std::nullopt;  // the file system does not record it
    }
    return status.stx_btime;
}

// Only the file the exec handed over is examined, never whatever its path names: the path may
// have been pointed elsewhere, or never have existed.
std::optional<OpenedFile> reportedFile(const ExecutionCandidate& candidate) {
    if (!candidate.file || !candidate.file->valid()) {
        return std::nullopt;
    }
    const int descriptor = candidate.file->get();
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || fileVersion(status) != candidate.version ||
        !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    return OpenedFile{descriptor, status.st_size, birthTime(descriptor)};
}

std::string lowerCaseHex(const unsigned char* bytes, std::size_t count) {
    constexpr std::string_view hexDigits = "0123456789abcdef";
    std::string text;
    text.reserve(2 * count);
    for (std::size_t index = 0; index < count; ++index) {
        text.push_back(hexDigits[bytes[index] >> 4]);
        text.push_back(hexDigits[bytes[index] & 0x0f]);
    }
    return text;
}

struct DigestContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// The SHA-256 of the open file's content, read from its start without moving the descriptor's
// offset (which others sharing it may use). None when a read fails or the content is not exactly
// `size` bytes: a file that grows or shrinks while it is read is not the version that was
// checked.
std::optional<std::string> contentDigest(int descriptor, std::int64_t size) {
    const std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        return std::nullopt;
    }
    std::vector<unsigned char> chunk(ExecutableIdentification::readChunkSize);
    std::int64_t total = 0;
    for (;;) {
        const ssize_t count = ::pread(descriptor, chunk.data(), chunk.size(), total);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return std::nullopt;
        }
        if (count == 0) {
            break;
        }
        total += count;
        if (total > size ||
            EVP_DigestUpdate(context.get(), chunk.data(), static_cast<std::size_t>(count)) != 1) {
            return std::nullopt;
        }
    }
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int digestLength = 0;
    if (total != size || EVP_DigestFinal_ex(context.get(), digest.data(), &digestLength) != 1) {
        return std::nullopt;
    }
    return lowerCaseHex(digest.data(), digestLength);
}

// Whether the code-signing service, which judges a file by its path, judged the reported
// version: the path must still name it.
bool pathStillNamesReported(const ExecutionCandidate& candidate) {
    struct stat status {};
    return ::lstat(candidate.path.c_str(), &status) == 0 &&
           fileVersion(status) == candidate.version;
}

}  // namespace

std::optional<Date> plausibleCreationTime(std::int64_t seconds, std::uint32_t nanoseconds,
                                          Date now) {
    // Decided on the integer parts: a zeroed birth time is "unknown", not a creation at the epoch.
    if (seconds < 0 || (seconds == 0 && nanoseconds == 0)) {
        return std::nullopt;
    }
    const Date created =
        Date::fromUnixTime(static_cast<double>(seconds) + static_cast<double>(nanoseconds) / 1e9);
    if (created > now) {
        return std::nullopt;
    }
    return created;
}

bool ExecutableIdentification::isUnchanged(const ExecutionCandidate& candidate) {
    struct stat status {};
    return candidate.file && ::fstat(candidate.file->get(), &status) == 0 &&
           fileVersion(status) == candidate.version;
}

Verification ExecutableIdentification::identity(const ExecutionCandidate& candidate) const {
    const std::optional<OpenedFile> file = reportedFile(candidate);
    if (!file) {
        return Verification::failed();
    }
    Verification verification = Verification::failed();
    if (candidate.validSignature && !candidate.adHoc && !candidate.teamID.empty()) {
        // One that fails these checks stays unverified instead of falling back to its digest: a
        // broken publisher signature is not something to trust by content.
        verification.rule = publisherRule(candidate);
        if (verification.rule) {
            verification.signature = Signature::verifiedPublisher;
        }
    } else if (file->size <= contentDigestLimit) {
        verification.signature = contentSignature(candidate);
        std::optional<std::string> digest = contentDigest(file->descriptor, file->size);
        if (!digest) {
            return Verification::failed();
        }
        verification.rule = Rule{std::nullopt, std::move(*digest)};
    }  // a larger file stays unverified, without a rule
    if (!isUnchanged(candidate) || (verification.signature == Signature::verifiedPublisher &&
                                    !pathStillNamesReported(candidate))) {
        return Verification::failed();
    }
    if (file->birthTime) {
        verification.fileCreatedAt =
            plausibleCreationTime(file->birthTime->tv_sec, file->birthTime->tv_nsec, clock_.now());
    }
    return verification;
}

bool ExecutableIdentification::matches(const Verification& verification,
                                       const std::vector<Rule>& rules,
                                       const ExecutionCandidate& candidate) const {
    if (!verification.rule) {
        return false;
    }
    const Rule& identified = *verification.rule;
    // A publisher identification is matched only by signing rules and a content identification
    // only by content rules; the first rule that matches decides.
    return std::any_of(rules.begin(), rules.end(), [&](const Rule& rule) {
        if (rule.sha256) {
            return identified.sha256 && *rule.sha256 == *identified.sha256;
        }
        if (rule.requirement) {
            return identified.requirement && satisfiesRequirement(*rule.requirement, candidate);
        }
        return false;
    });
}

std::optional<Rule> ExecutableIdentification::publisherRule(
    const ExecutionCandidate& candidate) const {
    const SecResult<SecStaticCode> code = codeSigning_.SecStaticCodeCreateWithPath(candidate.path);
    if (!succeeded(code) ||
        codeSigning_.SecStaticCodeCheckValidity(*code.value, nullptr) != errSecSuccess) {
        return std::nullopt;
    }
    const SecResult<SecRequirement> designated =
        codeSigning_.SecCodeCopyDesignatedRequirement(*code.value);
    if (!succeeded(designated)) {
        return std::nullopt;
    }
    const SecResult<std::string> designatedText =
        codeSigning_.SecRequirementCopyString(*designated.value);
    if (!succeeded(designatedText)) {
        return std::nullopt;
    }
    std::string pinned =
        pinnedRequirement(*designatedText.value, candidate.teamID, candidate.signingID);
    const SecResult<SecRequirement> requirement =
        codeSigning_.SecRequirementCreateWithString(pinned);
    if (!succeeded(requirement) || codeSigning_.SecStaticCodeCheckValidity(
                                       *code.value, &*requirement.value) != errSecSuccess) {
        return std::nullopt;
    }
    return Rule{std::move(pinned), std::nullopt};
}

Signature ExecutableIdentification::contentSignature(const ExecutionCandidate& candidate) const {
    const SecResult<SecStaticCode> code = codeSigning_.SecStaticCodeCreateWithPath(candidate.path);
    // Without code, the status of its creation tells whether the file is unsigned.
    const OSStatus status =
        code.value ? codeSigning_.SecStaticCodeCheckValidity(*code.value, nullptr) : code.status;
    if (status == errSecCSUnsigned) {
        return Signature::unsigned_;
    }
    if (status == errSecSuccess && candidate.validSignature && candidate.adHoc) {
        return Signature::adHoc;
    }
    return Signature::unverified;
}

bool ExecutableIdentification::satisfiesRequirement(const std::string& requirement,
                                                    const ExecutionCandidate& candidate) const {
    const SecResult<SecRequirement> parsed =
        codeSigning_.SecRequirementCreateWithString(requirement);
    if (!succeeded(parsed)) {
        return false;
    }
    const SecResult<SecStaticCode> code = codeSigning_.SecStaticCodeCreateWithPath(candidate.path);
    if (!succeeded(code) ||
        codeSigning_.SecStaticCodeCheckValidity(*code.value, &*parsed.value) != errSecSuccess) {
        return false;
    }
    return pathStillNamesReported(candidate);
}

}  // namespace quorin::daemon
