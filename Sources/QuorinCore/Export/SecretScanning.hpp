#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <string_view>
#include <vector>

namespace quorin {

/// A stretch of a text: [begin, end).
struct TextSpan {
    std::size_t begin;
    std::size_t end;
};

/// Whether `text` holds the ASCII text `ascii` at `at`.
template <typename Char>
bool holds(std::basic_string_view<Char> text, std::size_t at, std::string_view ascii) {
    return at <= text.size() && text.size() - at >= ascii.size() &&
           std::equal(ascii.begin(), ascii.end(), text.begin() + static_cast<std::ptrdiff_t>(at),
                      [](char letter, Char unit) { return static_cast<Char>(letter) == unit; });
}

/// Tries `attempt` at the positions of `text`, from `from` on and in order, where a match of a
/// secret-key rule can begin, and returns the first one where it returns true; the size of the
/// text when it never does. A secret-key rule is a secret-like key (letters, digits, "_" and "-"
/// around a keyword, with letter case ignored the way the regular-expression engine ignores it),
/// then \s*[:=]\s*, then a value whose first character `opensValue` accepts; its matches begin
/// at the keyword (see SecretRedactor.cpp).
///
/// The text is read once. A key ends where its run of key characters ends, so every key in a run
/// is followed by the same text: a run that a separator and an opening of the value do not follow
/// is passed over, and within a run only the positions where a whole key begins are tried, and
/// only the first of each kind of keyword (the engine keeps the same backtracking state for every
/// key of one kind, so a later one would fail the same way).
std::size_t firstSecretKeyAttempt(std::u16string_view text, std::size_t from,
                                  bool (*opensValue)(char16_t),
                                  const std::function<bool(std::size_t)>& attempt);

/// Whether `unit` is white space as the regular-expression engine's \s reads it.
bool isRegexSpace(char16_t unit);

/// The matches of the rule for tokens known by their prefix, from left to right and not
/// overlapping, found in one pass; the same as every match of
///
///   (?<![A-Za-z0-9])(?:sk-(?:proj-)?[A-Za-z0-9_-]{8,}|gh[pousr]_[A-Za-z0-9_]{8,}|github_pat_[A-Za-z0-9_]{8,}|npm_[A-Za-z0-9]{8,})(?![A-Za-z0-9_-])
std::vector<TextSpan> prefixedTokens(std::u16string_view text);

/// The matches of the rule for JSON Web Tokens, from left to right and not overlapping, found in
/// one pass; the same as every match of
///
///   (?<![A-Za-z0-9])eyJ[A-Za-z0-9_-]{5,2045}\.eyJ[A-Za-z0-9_-]{5,8190}\.[A-Za-z0-9_-]{8,2048}(?![A-Za-z0-9_-])
std::vector<TextSpan> webTokens(std::u16string_view text);

}  // namespace quorin
