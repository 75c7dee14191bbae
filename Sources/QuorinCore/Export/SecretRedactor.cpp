#include "QuorinCore/Export/SecretRedactor.hpp"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorin {

namespace {

struct Rule {
    std::unique_ptr<icu::RegexPattern> pattern;
    icu::UnicodeString replacement;
    // Set for the rules whose every match begins with a secret keyword, or with the "_" of
    // "_auth". On ASCII text these are tried only where a keyword begins.
    bool startsAtKeyword = false;
};

Rule compiled(std::string_view pattern, std::string_view replacement,
              bool startsAtKeyword = false) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError where{};
    std::unique_ptr<icu::RegexPattern> compiledPattern(
        icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(icu::StringPiece(
                                       pattern.data(), static_cast<std::int32_t>(pattern.size()))),
                                   0, where, status));
    if (U_FAILURE(status)) {
        throw std::runtime_error("Could not compile a redaction pattern: " +
                                 std::string(u_errorName(status)));
    }
    return Rule{std::move(compiledPattern),
                icu::UnicodeString::fromUTF8(icu::StringPiece(
                    replacement.data(), static_cast<std::int32_t>(replacement.size()))),
                startsAtKeyword};
}

const std::vector<Rule>& secretRules() {
    static const std::vector<Rule> rules = [] {
        // A secret-like key name is letter-and-digit segments each followed by "_" or "-", one
        // of the keywords, then "_"/"-" segments; or exactly _authToken or _auth:
        //
        //   ((?:[A-Za-z0-9]+[_-])*(?:api[_-]?key|token|...|auth)(?:[_-][A-Za-z0-9]+)*|_authToken|_auth)
        //
        // It is not anchored, so the key of "oauth=x" is its tail "auth". The rules below compile
        // an equivalent form that gives the same output in linear rather than quadratic time on
        // long words. A key must end where its run of letters, digits, "_" and "-" ends, since
        // the separator that follows cannot be one of those; and every template writes the key
        // back unchanged ($1). So whether a run ends in a key, and where the match ends, does not
        // depend on the leading segments, and the key can be matched from its keyword on. The
        // trailing segments are possessive: giving one back would leave the key ending inside
        // its run, where no separator can follow.
        const std::string key =
            R"re(((?:api[_-]?key|token|secret|password|passwd|auth)(?:[_-][A-Za-z0-9]++)*+|_authToken|_auth))re";
        std::vector<Rule> table;
        // Private-key blocks, across lines, to the nearest end marker.
        table.push_back(compiled(
            R"re((?s)-----BEGIN [A-Z0-9 ]*PRIVATE KEY-----.*?-----END [A-Z0-9 ]*PRIVATE KEY-----)re",
            "[REDACTED PRIVATE KEY]"));
        // Authorization headers keep their name, colon and spacing.
        table.push_back(compiled(R"re((?im)(authorization\s*:\s*)[^\r\n]+)re", "$1[REDACTED]"));
        // The JSON members auth, _authToken and _auth keep their quotes.
        table.push_back(
            compiled(R"re((?i)("(?:auth|_authToken|_auth)"\s*:\s*)"(?:\\.|[^"\\\r\n])*")re",
                     R"re($1"[REDACTED]")re"));
        // Secret-like keys with a double-quoted, single-quoted or unclosed quoted value.
        table.push_back(compiled("(?i)" + key + R"re((\s*[:=]\s*)"(?:\\.|[^"\\\r\n])*")re",
                                 "$1$2[REDACTED]", true));
        table.push_back(compiled("(?i)" + key + R"re((\s*[:=]\s*)'(?:\\.|[^'\\\r\n])*')re",
                                 "$1$2[REDACTED]", true));
        table.push_back(
            compiled("(?im)" + key + R"re((\s*[:=]\s*)["'][^\r\n]*$)re", "$1$2[REDACTED]", true));
        // Secret URL query parameters.
        table.push_back(compiled(
            R"re((?i)([?&](?:token|access_token|api[_-]?key|secret|password|passwd|auth|signature|sig))=([^&\s#]+))re",
            "$1=[REDACTED]"));
        // Secret-like keys with an unquoted value.
        table.push_back(
            compiled("(?i)" + key + R"re((\s*[:=]\s*)[^\s"'&,]+)re", "$1$2[REDACTED]", true));
        // Tokens known by their prefix, access-key identifiers and JSON Web Tokens.
        table.push_back(compiled(
            R"re((?<![A-Za-z0-9])(?:sk-(?:proj-)?[A-Za-z0-9_-]{8,}|gh[pousr]_[A-Za-z0-9_]{8,}|github_pat_[A-Za-z0-9_]{8,}|npm_[A-Za-z0-9]{8,})(?![A-Za-z0-9_-]))re",
            "[REDACTED]"));
        table.push_back(compiled(R"re((?<![A-Za-z0-9])(?:AKIA|ASIA)[A-Z0-9]{16}(?![A-Za-z0-9]))re",
                                 "[REDACTED]"));
        table.push_back(compiled(
            R"re((?<![A-Za-z0-9])eyJ[A-Za-z0-9_-]{5,2045}\.eyJ[A-Za-z0-9_-]{5,8190}\.[A-Za-z0-9_-]{8,2048}(?![A-Za-z0-9_-]))re",
            "[REDACTED]"));
        return table;
    }();
    return rules;
}

// The home directory as a literal inside a pattern: a backslash before every character that has
// a meaning of its own in a pattern.
std::string escapedForPattern(std::string_view text) {
    static constexpr std::string_view metacharacters = R"(\^$.|?*+()[]{})";
    std::string escaped;
    escaped.reserve(text.size() * 2);
    for (const char character : text) {
        if (metacharacters.find(character) != std::string_view::npos) {
            escaped += '\\';
        }
        escaped += character;
    }
    return escaped;
}

std::array<Rule, 3> homeDirectoryRules(const ValidatedHomeDirectory& homeDirectory) {
    // The path must end where the home directory ends: at a slash, the end of the text, white
    // space, or a quote, bracket or punctuation character.
    static constexpr std::string_view boundary = R"re((?=/|$|[\s"'`)\]}>:,;!?]))re";
    const std::string home = escapedForPattern(homeDirectory.value()) + std::string(boundary);
    return {
        compiled("(?i)(?<![A-Za-z0-9+.-])file://localhost" + home, "file://localhost/~"),
        compiled("(?i)(?<![A-Za-z0-9+.-])file://" + home, "file://~"),
        compiled("(?<![A-Za-z0-9._~/-])" + home, "~"),
    };
}

[[noreturn]] void failed(UErrorCode status) {
    throw std::runtime_error("Could not apply a redaction rule: " +
                             std::string(u_errorName(status)));
}

bool isASCII(const icu::UnicodeString& text) {
    const char16_t* units = text.getBuffer();
    return std::all_of(units, units + text.length(), [](char16_t unit) { return unit < 0x80; });
}

char16_t lowered(char16_t unit) {
    return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit + (u'a' - u'A')) : unit;
}

bool beginsWith(const char16_t* units, std::int32_t length, std::int32_t at,
                std::string_view word) {
    if (length - at < static_cast<std::int32_t>(word.size())) {
        return false;
    }
    for (std::size_t index = 0; index < word.size(); ++index) {
        if (lowered(units[at + static_cast<std::int32_t>(index)]) != word[index]) {
            return false;
        }
    }
    return true;
}

// The first position at or after `from` where a secret keyword, or "_auth", begins in ASCII text
// (letter case ignored); `length` when there is none. Every match of a keyword rule begins at
// such a position.
std::int32_t nextKeyword(const char16_t* units, std::int32_t length, std::int32_t from) {
    for (std::int32_t at = from; at < length; ++at) {
        bool found = false;
        switch (lowered(units[at])) {
            case u'a':
                found =
                    beginsWith(units, length, at, "api") || beginsWith(units, length, at, "auth");
                break;
            case u't':
                found = beginsWith(units, length, at, "token");
                break;
            case u's':
                found = beginsWith(units, length, at, "secret");
                break;
            case u'p':
                found = beginsWith(units, length, at, "passw");
                break;
            case u'_':
                found = beginsWith(units, length, at, "_auth");
                break;
            default:
                break;
        }
        if (found) {
            return at;
        }
    }
    return length;
}

// Appends a replacement template: "$" and a digit stand for that capture group, every other
// character for itself (no template in the table uses a backslash).
void appendExpanded(icu::UnicodeString& result, const icu::UnicodeString& replacement,
                    const icu::RegexMatcher& matcher, UErrorCode& status) {
    for (std::int32_t index = 0; index < replacement.length(); ++index) {
        const char16_t unit = replacement.charAt(index);
        if (unit == u'$' && index + 1 < replacement.length() &&
            replacement.charAt(index + 1) >= u'0' && replacement.charAt(index + 1) <= u'9') {
            result.append(matcher.group(replacement.charAt(index + 1) - u'0', status));
            ++index;
        } else {
            result.append(unit);
        }
    }
}

// What replacing every match from left to right gives, found by trying the rule only where a
// keyword begins. Positions are tried in order and the first match taken, as a full scan would
// take it, so the result is the same; the scan just skips text that cannot start a match.
icu::UnicodeString replacingFromKeywords(const Rule& rule, icu::RegexMatcher& matcher,
                                         const icu::UnicodeString& text, UErrorCode& status) {
    const char16_t* units = text.getBuffer();
    const std::int32_t length = text.length();
    icu::UnicodeString result;
    std::int32_t copied = 0;
    std::int32_t at = nextKeyword(units, length, 0);
    while (at < length && U_SUCCESS(status)) {
        if (matcher.lookingAt(at, status) && U_SUCCESS(status)) {
            // A match is never empty (it holds its key), so the scan moves on.
            const std::int32_t end = matcher.end(status);
            result.append(text, copied, at - copied);
            appendExpanded(result, rule.replacement, matcher, status);
            copied = end;
            at = nextKeyword(units, length, end);
        } else {
            at = nextKeyword(units, length, at + 1);
        }
    }
    result.append(text, copied, length - copied);
    return result;
}

icu::UnicodeString applying(const Rule& rule, const icu::UnicodeString& text) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(rule.pattern->matcher(text, status));
    // The lazy private-key block keeps one backtracking state per character it passes; a large
    // text must not end the redaction early, so the engine's stack may grow as it needs.
    if (U_SUCCESS(status)) {
        matcher->setStackLimit(0, status);
    }
    icu::UnicodeString result;
    if (U_SUCCESS(status)) {
        // Letter case is ignored the Unicode way, where a few characters outside ASCII (such as
        // KELVIN SIGN for "k") match keyword letters; only ASCII text takes the keyword scan.
        result = rule.startsAtKeyword && isASCII(text)
                     ? replacingFromKeywords(rule, *matcher, text, status)
                     : matcher->replaceAll(rule.replacement, status);
    }
    if (U_FAILURE(status)) {
        failed(status);
    }
    return result;
}

icu::UnicodeString unicode(std::string_view text) {
    if (text.size() > static_cast<std::size_t>(INT32_MAX)) {
        throw std::length_error("A text of " + std::to_string(text.size()) +
                                " bytes is too large to redact");
    }
    return icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
}

std::string utf8(const icu::UnicodeString& text) {
    std::string result;
    text.toUTF8String(result);
    return result;
}

template <typename Rules>
icu::UnicodeString applyingAll(const Rules& rules, icu::UnicodeString text) {
    for (const Rule& rule : rules) {
        text = applying(rule, text);
    }
    return text;
}

}  // namespace

std::string SecretRedactor::redact(std::string_view text, std::string_view homeDirectory) const {
    return redact(text, ValidatedHomeDirectory::validating(homeDirectory));
}

std::string SecretRedactor::redact(std::string_view text,
                                   const ValidatedHomeDirectory& homeDirectory) const {
    return utf8(
        applyingAll(secretRules(), applyingAll(homeDirectoryRules(homeDirectory), unicode(text))));
}

std::string SecretRedactor::redactingHomeDirectory(
    std::string_view text, const ValidatedHomeDirectory& homeDirectory) const {
    return utf8(applyingAll(homeDirectoryRules(homeDirectory), unicode(text)));
}

std::string SecretRedactor::redactingSecrets(std::string_view text) const {
    return utf8(applyingAll(secretRules(), unicode(text)));
}

}  // namespace quorin
