#include "QuorinCore/Export/SecretRedactor.hpp"

#include "QuorinCore/Export/LineDiff.hpp"
#include "QuorinCore/Export/SecretScanning.hpp"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorin {

namespace {

// A rule is a pattern for the engine, or a scan that finds the same matches as its pattern in
// one pass.
struct Rule {
    std::unique_ptr<icu::RegexPattern> pattern;
    icu::UnicodeString replacement;
    // Set for the rules whose every match begins with a secret-like key: they are tried only
    // where a key begins and a value that this accepts the first character of follows (see
    // firstSecretKeyAttempt).
    bool (*opensValue)(char16_t) = nullptr;
    std::vector<TextSpan> (*scan)(std::u16string_view) = nullptr;
};

Rule compiled(std::string_view pattern, std::string_view replacement,
              bool (*opensValue)(char16_t) = nullptr) {
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
                opensValue};
}

Rule scanned(std::vector<TextSpan> (*scan)(std::u16string_view)) {
    return Rule{nullptr, icu::UnicodeString(u"[REDACTED]"), nullptr, scan};
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
        // its run, where no separator can follow. Even so the engine would read the rest of a
        // word from every keyword in it, so these rules are tried only where a whole key begins
        // (firstSecretKeyAttempt).
        const std::string key =
            R"re(((?:api[_-]?key|token|secret|password|passwd|auth)(?:[_-][A-Za-z0-9]++)*+|_authToken|_auth))re";
        // The first character of each kind of value.
        const auto doubleQuote = [](char16_t unit) { return unit == u'"'; };
        const auto singleQuote = [](char16_t unit) { return unit == u'\''; };
        const auto quote = [](char16_t unit) { return unit == u'"' || unit == u'\''; };
        const auto unquoted = [](char16_t unit) {
            return !isRegexSpace(unit) && unit != u'"' && unit != u'\'' && unit != u'&' &&
                   unit != u',';
        };
        std::vector<Rule> table;
        // Authorization headers keep their name, colon and spacing.
        table.push_back(compiled(R"re((?im)(authorization\s*:\s*)[^\r\n]+)re", "$1[REDACTED]"));
        // The JSON members auth, _authToken and _auth keep their quotes.
        table.push_back(
            compiled(R"re((?i)("(?:auth|_authToken|_auth)"\s*:\s*)"(?:\\.|[^"\\\r\n])*")re",
                     R"re($1"[REDACTED]")re"));
        // Secret-like keys with a double-quoted, single-quoted or unclosed quoted value.
        table.push_back(compiled("(?i)" + key + R"re((\s*[:=]\s*)"(?:\\.|[^"\\\r\n])*")re",
                                 "$1$2[REDACTED]", doubleQuote));
        table.push_back(compiled("(?i)" + key + R"re((\s*[:=]\s*)'(?:\\.|[^'\\\r\n])*')re",
                                 "$1$2[REDACTED]", singleQuote));
        table.push_back(
            compiled("(?im)" + key + R"re((\s*[:=]\s*)["'][^\r\n]*$)re", "$1$2[REDACTED]", quote));
        // Secret URL query parameters.
        table.push_back(compiled(
            R"re((?i)([?&](?:token|access_token|api[_-]?key|secret|password|passwd|auth|signature|sig))=([^&\s#]+))re",
            "$1=[REDACTED]"));
        // Secret-like keys with an unquoted value.
        table.push_back(
            compiled("(?i)" + key + R"re((\s*[:=]\s*)[^\s"'&,]+)re", "$1$2[REDACTED]", unquoted));
        // Tokens known by their prefix, access-key identifiers and JSON Web Tokens. The engine
        // would read the rest of a long word from every prefix in it, so the first and the last are
        // scans of their own.
        table.push_back(scanned(prefixedTokens));
        table.push_back(compiled(R"re((?<![A-Za-z0-9])(?:AKIA|ASIA)[A-Z0-9]{16}(?![A-Za-z0-9]))re",
                                 "[REDACTED]"));
        table.push_back(scanned(webTokens));
        return table;
    }();
    return rules;
}

// The first marker at or after `from` that matches `opening` followed by [A-Z0-9 ]*PRIVATE
// KEY-----; none when there is none. "-" is not among those letters, so the run of them after
// `opening` is read once: the text is a marker exactly when the run ends in "PRIVATE KEY" and
// "-----" follows.
template <typename Char>
std::optional<TextSpan> marker(std::basic_string_view<Char> text, std::string_view opening,
                               std::size_t from) {
    static constexpr std::string_view name = "PRIVATE KEY";
    static constexpr std::string_view dashes = "-----";
    const std::basic_string<Char> wide(opening.begin(), opening.end());
    for (std::size_t at = text.find(wide, from); at != text.npos; at = text.find(wide, at + 1)) {
        const std::size_t run = at + wide.size();
        std::size_t end = run;
        while (end < text.size() && ((text[end] >= 'A' && text[end] <= 'Z') ||
                                     (text[end] >= '0' && text[end] <= '9') || text[end] == ' ')) {
            ++end;
        }
        if (end - run >= name.size() && holds(text, end - name.size(), name) &&
            holds(text, end, dashes)) {
            return TextSpan{at, end + dashes.size()};
        }
    }
    return std::nullopt;
}

// The private-key blocks of `text` in order: each from a begin marker to the end of the nearest
// end marker after it, or to the end of the text when none follows. The same as replacing every
// match of
//
//   (?s)-----BEGIN [A-Z0-9 ]*PRIVATE KEY-----(?:.*?-----END [A-Z0-9 ]*PRIVATE KEY-----|.*)
//
// but read once, with no backtracking state however far apart the markers are.
template <typename Char>
std::vector<TextSpan> privateKeyBlocks(std::basic_string_view<Char> text) {
    std::vector<TextSpan> blocks;
    std::size_t from = 0;
    while (const std::optional<TextSpan> begin = marker(text, "-----BEGIN ", from)) {
        const std::optional<TextSpan> end = marker(text, "-----END ", begin->end);
        blocks.push_back({begin->begin, end ? end->end : text.size()});
        if (!end) {
            break;
        }
        from = end->end;
    }
    return blocks;
}

std::u16string_view unitsOf(const icu::UnicodeString& text) {
    return {text.getBuffer(), static_cast<std::size_t>(text.length())};
}

// `text` with each of `spans` (in order, not overlapping) replaced by `replacement`.
icu::UnicodeString replacing(const icu::UnicodeString& text, const std::vector<TextSpan>& spans,
                             const icu::UnicodeString& replacement) {
    icu::UnicodeString result;
    std::int32_t copied = 0;
    for (const TextSpan& span : spans) {
        result.append(text, copied, static_cast<std::int32_t>(span.begin) - copied)
            .append(replacement);
        copied = static_cast<std::int32_t>(span.end);
    }
    return result.append(text, copied, text.length() - copied);
}

icu::UnicodeString redactingPrivateKeyBlocks(const icu::UnicodeString& text) {
    return replacing(text, privateKeyBlocks(unitsOf(text)),
                     icu::UnicodeString(u"[REDACTED PRIVATE KEY]"));
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

// Where the next match at or after `from` begins, or `length` when there is none; the matcher
// holds the match. Rules keyed on a secret-like key are tried only where a key begins: positions
// are tried in order and the first match taken, as the engine's own search would take it, so the
// result is the same; the scan just skips text that cannot start a match. When an attempt runs
// out of stack, `status` says so and the result is where that attempt began.
std::int32_t nextMatch(const Rule& rule, icu::RegexMatcher& matcher, const icu::UnicodeString& text,
                       std::int32_t from, UErrorCode& status) {
    const std::int32_t length = text.length();
    if (rule.opensValue != nullptr) {
        return static_cast<std::int32_t>(firstSecretKeyAttempt(
            unitsOf(text), static_cast<std::size_t>(from), rule.opensValue, [&](std::size_t at) {
                return matcher.lookingAt(static_cast<std::int32_t>(at), status) ||
                       U_FAILURE(status);
            }));
    }
    if (matcher.find(from, status)) {
        return matcher.start(status);
    }
    if (status != U_REGEX_STACK_OVERFLOW) {
        return length;
    }
    // The search does not say where it failed; searching again, told each position it moves on
    // to, it fails at the same attempt.
    struct Attempt {
        mutable std::int64_t start;
    } attempt{from};
    UErrorCode again = U_ZERO_ERROR;
    matcher.setFindProgressCallback(
        [](const void* context, std::int64_t index) -> UBool {
            static_cast<const Attempt*>(context)->start = index;
            return true;
        },
        &attempt, again);
    matcher.find(from, again);
    matcher.setFindProgressCallback(nullptr, nullptr, again);
    return static_cast<std::int32_t>(attempt.start);
}

// Where the text that replaces a failed attempt at `start` ends: the end of its line when the
// attempt fails there too with the engine kept to that line (it still sees the text around it),
// otherwise the end of the text.
std::int32_t failedAttemptEnd(icu::RegexMatcher& matcher, const icu::UnicodeString& text,
                              std::int32_t start) {
    std::int32_t lineEnd = start;
    while (lineEnd < text.length() && text.charAt(lineEnd) != u'\n' &&
           text.charAt(lineEnd) != u'\r') {
        ++lineEnd;
    }
    UErrorCode status = U_ZERO_ERROR;
    matcher.region(start, lineEnd, status);
    matcher.useTransparentBounds(true).useAnchoringBounds(false);
    matcher.lookingAt(status);
    matcher.useTransparentBounds(false).useAnchoringBounds(true);
    return status == U_REGEX_STACK_OVERFLOW ? lineEnd : text.length();
}

// Every match replaced from left to right. An attempt that runs out of the engine's stack fails
// closed: the text from where it began is replaced by "[REDACTED]", and the search goes on after
// it.
icu::UnicodeString applying(const Rule& rule, const icu::UnicodeString& text) {
    if (rule.scan != nullptr) {
        return replacing(text, rule.scan(unitsOf(text)), rule.replacement);
    }
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(rule.pattern->matcher(text, status));
    if (U_SUCCESS(status)) {
        matcher->setStackLimit(SecretRedactor::maximumRegexStackBytes, status);
    }
    if (U_FAILURE(status)) {
        failed(status);
    }
    const std::int32_t length = text.length();
    icu::UnicodeString result;
    std::int32_t copied = 0;
    while (copied < length) {
        const std::int32_t start = nextMatch(rule, *matcher, text, copied, status);
        if (status == U_REGEX_STACK_OVERFLOW) {
            status = U_ZERO_ERROR;
            result.append(text, copied, start - copied).append(icu::UnicodeString(u"[REDACTED]"));
            copied = failedAttemptEnd(*matcher, text, start);
            continue;
        }
        if (U_FAILURE(status)) {
            failed(status);
        }
        if (start == length) {
            break;
        }
        result.append(text, copied, start - copied);
        appendExpanded(result, rule.replacement, *matcher, status);
        // A match is never empty (each holds a key, a token or the home directory), so the search
        // moves on.
        copied = matcher->end(status);
        if (U_FAILURE(status)) {
            failed(status);
        }
    }
    return result.append(text, copied, length - copied);
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

// The secret stage: the private-key blocks, then the table.
icu::UnicodeString secretsRedacted(const icu::UnicodeString& text) {
    return applyingAll(secretRules(), redactingPrivateKeyBlocks(text));
}

}  // namespace

std::string SecretRedactor::redact(std::string_view text, std::string_view homeDirectory) const {
    return redact(text, ValidatedHomeDirectory::validating(homeDirectory));
}

std::string SecretRedactor::redact(std::string_view text,
                                   const ValidatedHomeDirectory& homeDirectory) const {
    return utf8(secretsRedacted(applyingAll(homeDirectoryRules(homeDirectory), unicode(text))));
}

std::string SecretRedactor::redactingHomeDirectory(
    std::string_view text, const ValidatedHomeDirectory& homeDirectory) const {
    return utf8(applyingAll(homeDirectoryRules(homeDirectory), unicode(text)));
}

std::string SecretRedactor::redactingSecrets(std::string_view text) const {
    return utf8(secretsRedacted(unicode(text)));
}

std::string SecretRedactor::redactingPrivateKeys(std::string_view text) const {
    return utf8(redactingPrivateKeyBlocks(unicode(text)));
}

std::vector<std::string_view> SecretRedactor::linesKeepingPrivateKeysWhole(std::string_view text) {
    const std::vector<TextSpan> blocks = privateKeyBlocks(text);
    const std::vector<std::string_view> lines = LineDiff::lines(text);
    const auto startOf = [&text](std::string_view line) {
        return static_cast<std::size_t>(line.data() - text.data());
    };
    std::vector<std::string_view> pieces;
    auto block = blocks.begin();
    for (std::size_t index = 0; index < lines.size();) {
        const std::size_t start = startOf(lines[index]);
        std::size_t end = start + lines[index].size();
        ++index;
        // A block begins on a line, since a marker holds no line feed; the piece takes every line
        // that begins before the block ends, and so any block that begins on the last of them.
        for (; block != blocks.end() && block->begin < end; ++block) {
            for (; index < lines.size() && startOf(lines[index]) < block->end; ++index) {
                end = startOf(lines[index]) + lines[index].size();
            }
        }
        pieces.push_back(text.substr(start, end - start));
    }
    return pieces;
}

}  // namespace quorin
