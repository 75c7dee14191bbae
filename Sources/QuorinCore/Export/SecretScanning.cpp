#include "QuorinCore/Export/SecretScanning.hpp"

#include <unicode/uchar.h>

#include <array>
#include <bitset>
#include <optional>
#include <utility>

namespace quorin {

bool isRegexSpace(char16_t unit) {
    if (unit < 0x80) {
        return unit == u' ' || (unit >= u'\t' && unit <= u'\r');
    }
    return u_isUWhiteSpace(unit) || (U_GET_GC_MASK(unit) & U_GC_Z_MASK) != 0;
}

namespace {

bool isAlphanumeric(char16_t unit) {
    return (unit >= u'a' && unit <= u'z') || (unit >= u'A' && unit <= u'Z') ||
           (unit >= u'0' && unit <= u'9');
}

bool isUnderscoreOrHyphen(char16_t unit) {
    return unit == u'_' || unit == u'-';
}

bool isWordCharacter(char16_t unit) {
    return isAlphanumeric(unit) || unit == u'_';
}

bool isTokenCharacter(char16_t unit) {
    return isAlphanumeric(unit) || isUnderscoreOrHyphen(unit);
}

// [A-Za-z0-9] with letter case ignored: the engine adds KELVIN SIGN and LONG S.
bool isKeyAlphanumeric(char16_t unit) {
    return isAlphanumeric(unit) || unit == u'\u212A' || unit == u'\u017F';
}

// Whether `unit` may stand in a key. Every character that can is counted, and none that can
// begin what follows a key (white space, ":" or "="); outside ASCII every other character is
// counted, which only makes a run longer than the keys in it.
bool mayStandInKey(char16_t unit) {
    return unit < 0x80 ? isTokenCharacter(unit) : !isRegexSpace(unit);
}

// Where the ASCII word `word` (in lower case) ends when it is read at `at`, before `end`, with
// letter case ignored as the engine ignores it: ASCII letters in either case, and the characters
// that fold to letters of a keyword (KELVIN SIGN to "k", LONG S to "s", SHARP S and CAPITAL
// SHARP S to "ss"; a character must fold whole into the word).
std::optional<std::size_t> wordEnd(std::u16string_view text, std::size_t at, std::size_t end,
                                   std::string_view word) {
    for (std::size_t matched = 0; matched < word.size(); ++matched) {
        if (at == end) {
            return std::nullopt;
        }
        const char16_t unit = text[at++];
        const char expected = word[matched];
        switch (unit) {
            case u'\u212A':
                if (expected != 'k') {
                    return std::nullopt;
                }
                break;
            case u'\u017F':
                if (expected != 's') {
                    return std::nullopt;
                }
                break;
            case u'\u00DF':
            case u'\u1E9E':
                if (expected != 's' || matched + 1 == word.size() || word[matched + 1] != 's') {
                    return std::nullopt;
                }
                ++matched;
                break;
            default:
                if ((unit >= u'A' && unit <= u'Z' ? unit + (u'a' - u'A') : unit) != expected) {
                    return std::nullopt;
                }
        }
    }
    return at;
}

// The ways a key can be matched; the engine's backtracking state depends on which.
enum class KeyKind : std::size_t {
    apiSeparatedKey,
    apiKey,
    token,
    secret,
    password,
    passwd,
    auth,
    underscoreAuthToken,
    underscoreAuth,
    count,
};

struct Keyword {
    KeyKind kind;
    std::size_t end;
};

// The keyword that begins at `at`, tried in the order of the pattern's alternatives:
// api[_-]?key|token|secret|password|passwd|auth. At most one of them matches at a position.
std::optional<Keyword> keywordAt(std::u16string_view text, std::size_t at, std::size_t end) {
    // Each keyword begins with a letter that no character outside ASCII but LONG S folds to.
    const char16_t first = text[at] == u'\u017F' ? u's' : text[at] | 0x20;
    if (first != u'a' && first != u't' && first != u's' && first != u'p') {
        return std::nullopt;
    }
    if (const auto api = wordEnd(text, at, end, "api")) {
        if (*api < end && isUnderscoreOrHyphen(text[*api])) {
            if (const auto key = wordEnd(text, *api + 1, end, "key")) {
                return Keyword{KeyKind::apiSeparatedKey, *key};
            }
        }
        if (const auto key = wordEnd(text, *api, end, "key")) {
            return Keyword{KeyKind::apiKey, *key};
        }
        return std::nullopt;
    }
    static constexpr std::array<std::pair<KeyKind, std::string_view>, 5> words{{
        {KeyKind::token, "token"},
        {KeyKind::secret, "secret"},
        {KeyKind::password, "password"},
        {KeyKind::passwd, "passwd"},
        {KeyKind::auth, "auth"},
    }};
    for (const auto& [kind, word] : words) {
        if (const auto wordEnds = wordEnd(text, at, end, word)) {
            return Keyword{kind, *wordEnds};
        }
    }
    return std::nullopt;
}

// The start of the longest tail of [from, end) made of segments, each "_" or "-" followed by
// letters and digits; `end` when there is none. A key whose keyword ends at `end`, or at an
// underscore or hyphen in that tail, runs to `end`.
std::size_t segmentsStart(std::u16string_view text, std::size_t from, std::size_t end) {
    std::size_t start = end;
    for (std::size_t at = end;;) {
        std::size_t block = at;
        while (block > from && isKeyAlphanumeric(text[block - 1])) {
            --block;
        }
        if (block == at || block == from || !isUnderscoreOrHyphen(text[block - 1])) {
            return start;
        }
        start = at = block - 1;
    }
}

// The kind of the key that begins at `at` and ends exactly at `end`, the end of its run, where
// `segments` is where the run's tail of segments begins; none when no key does.
//
//   (?:api[_-]?key|token|secret|password|passwd|auth)(?:[_-][A-Za-z0-9]++)*+|_authToken|_auth
std::optional<KeyKind> keyAt(std::u16string_view text, std::size_t at, std::size_t end,
                             std::size_t segments) {
    if (const auto keyword = keywordAt(text, at, end)) {
        const std::size_t tail = keyword->end;
        if (tail == end || (tail >= segments && isUnderscoreOrHyphen(text[tail]))) {
            return keyword->kind;
        }
        return std::nullopt;
    }
    if (text[at] != u'_') {
        return std::nullopt;
    }
    if (wordEnd(text, at, end, "_authtoken") == end) {
        return KeyKind::underscoreAuthToken;
    }
    if (wordEnd(text, at, end, "_auth") == end) {
        return KeyKind::underscoreAuth;
    }
    return std::nullopt;
}

// The end of the run of characters of one class that begins at a position. The last run read is
// remembered, so a run is read once however many positions in it are asked about in order.
class RunEnds {
  public:
    RunEnds(std::u16string_view text, bool (*inClass)(char16_t)) : text_(text), inClass_(inClass) {}

    std::size_t from(std::size_t at) {
        if (at < begin_ || at > end_) {
            begin_ = at;
            for (end_ = at; end_ < text_.size() && inClass_(text_[end_]);) {
                ++end_;
            }
        }
        return end_;
    }

  private:
    std::u16string_view text_;
    bool (*inClass_)(char16_t);
    std::size_t begin_ = std::u16string_view::npos;
    std::size_t end_ = 0;
};

// A token begins where no letter or digit comes before it.
bool mayBeginToken(std::u16string_view text, std::size_t at) {
    return at == 0 || !isAlphanumeric(text[at - 1]);
}

// Whether the run [begin, end) holds between `fewest` and `most` characters.
bool holdsBetween(std::size_t begin, std::size_t end, std::size_t fewest, std::size_t most) {
    return end - begin >= fewest && end - begin <= most;
}

}  // namespace

std::size_t firstSecretKeyAttempt(std::u16string_view text, std::size_t from,
                                  bool (*opensValue)(char16_t),
                                  const std::function<bool(std::size_t)>& attempt) {
    std::size_t at = from;
    while (at < text.size()) {
        while (at < text.size() && !mayStandInKey(text[at])) {
            ++at;
        }
        const std::size_t begin = at;
        while (at < text.size() && mayStandInKey(text[at])) {
            ++at;
        }
        // A key is followed by \s*[:=].
        std::size_t separator = at;
        while (separator < text.size() && isRegexSpace(text[separator])) {
            ++separator;
        }
        if (separator == text.size() || (text[separator] != u':' && text[separator] != u'=')) {
            continue;
        }
        std::size_t value = separator + 1;
        while (value < text.size() && isRegexSpace(text[value])) {
            ++value;
        }
        if (value == text.size() || !opensValue(text[value])) {
            continue;
        }
        const std::size_t segments = segmentsStart(text, begin, at);
        std::bitset<static_cast<std::size_t>(KeyKind::count)> tried;
        for (std::size_t candidate = begin; candidate < at; ++candidate) {
            const std::optional<KeyKind> kind = keyAt(text, candidate, at, segments);
            if (!kind || tried[static_cast<std::size_t>(*kind)]) {
                continue;
            }
            if (attempt(candidate)) {
                return candidate;
            }
            tried.set(static_cast<std::size_t>(*kind));
        }
    }
    return text.size();
}

std::vector<TextSpan> prefixedTokens(std::u16string_view text) {
    // The body of each prefix is the whole run of its class, and the look-ahead refuses every
    // character of those classes, so giving characters back never makes a match: a token is its
    // prefix and that whole run. "proj-" is made of characters of the "sk-" body, so a body read
    // from after "sk-" ends at the same place and is longer.
    RunEnds afterSk(text, isTokenCharacter);
    RunEnds afterGh(text, isWordCharacter);
    RunEnds afterGithubPat(text, isWordCharacter);
    RunEnds afterNpm(text, isAlphanumeric);
    std::vector<TextSpan> tokens;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (!mayBeginToken(text, at)) {
            continue;
        }
        std::size_t body = 0;
        RunEnds* run = nullptr;
        if (holds(text, at, "sk-")) {
            body = at + 3;
            run = &afterSk;
        } else if (holds(text, at, "gh") && at + 3 < text.size() &&
                   std::u16string_view(u"pousr").find(text[at + 2]) != std::u16string_view::npos &&
                   text[at + 3] == u'_') {
            body = at + 4;
            run = &afterGh;
        } else if (holds(text, at, "github_pat_")) {
            body = at + 11;
            run = &afterGithubPat;
        } else if (holds(text, at, "npm_")) {
            body = at + 4;
            run = &afterNpm;
        } else {
            continue;
        }
        const std::size_t end = run->from(body);
        if (end - body >= 8 && (end == text.size() || !isTokenCharacter(text[end]))) {
            tokens.push_back({at, end});
            at = end - 1;
        }
    }
    return tokens;
}

std::vector<TextSpan> webTokens(std::u16string_view text) {
    // Each segment is the whole run of base64url characters after it begins, as in
    // prefixedTokens: "." is not one of them, and the look-ahead refuses them all.
    RunEnds header(text, isTokenCharacter);
    RunEnds payload(text, isTokenCharacter);
    RunEnds signature(text, isTokenCharacter);
    std::vector<TextSpan> tokens;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (!mayBeginToken(text, at) || !holds(text, at, "eyJ")) {
            continue;
        }
        const std::size_t headerEnd = header.from(at + 3);
        if (!holdsBetween(at + 3, headerEnd, 5, 2045) || !holds(text, headerEnd, ".eyJ")) {
            continue;
        }
        const std::size_t payloadEnd = payload.from(headerEnd + 4);
        if (!holdsBetween(headerEnd + 4, payloadEnd, 5, 8190) || !holds(text, payloadEnd, ".")) {
            continue;
        }
        const std::size_t signatureEnd = signature.from(payloadEnd + 1);
        if (holdsBetween(payloadEnd + 1, signatureEnd, 8, 2048)) {
            tokens.push_back({at, signatureEnd});
            at = signatureEnd - 1;
        }
    }
    return tokens;
}

}  // namespace quorin
