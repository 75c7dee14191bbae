#pragma once

#include "QuorinCore/Support/JSON.hpp"
#include "QuorinCore/Support/KeyedHash.hpp"

#include <compare>
#include <exception>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>

namespace quorin {

/// Why a path could not be normalized. Carries no message of its own; each caller says what it
/// means for its input.
class PathNormalizationError : public std::exception {
  public:
    enum class Kind {
        relativePath,  // after "~" expansion the path does not begin with "/"
    };

    explicit PathNormalizationError(Kind kind) : kind_(kind) {}
    Kind kind() const noexcept { return kind_; }
    const char* what() const noexcept override { return "PathNormalizationError.relativePath"; }

    friend bool operator==(const PathNormalizationError& lhs, const PathNormalizationError& rhs) {
        return lhs.kind_ == rhs.kind_;
    }

  private:
    Kind kind_;
};

/// An absolute, canonical path text: it begins with "/", has no empty, "." or ".." components,
/// and does not end with "/" unless it is the root. Letter case is kept and symbolic links are
/// not resolved, so two paths are equal exactly when their texts are. The normalizing
/// constructor repairs what it can; the JSON decoder accepts only text that is already canonical.
class NormalizedPath {
  public:
    /// Expands a leading "~" or "~/" to `homeDirectory`, then canonicalizes lexically.
    /// Throws `PathNormalizationError` (`relativePath`) when the result is not absolute.
    NormalizedPath(std::string_view path, std::string_view homeDirectory);

    const std::string& value() const { return value_; }

    /// True when this path equals `other` or lies below it. Purely textual.
    bool isEqualToOrDescendant(const NormalizedPath& other) const;

    friend bool operator==(const NormalizedPath&, const NormalizedPath&) = default;
    friend std::strong_ordering operator<=>(const NormalizedPath&, const NormalizedPath&) = default;
    friend std::ostream& operator<<(std::ostream& stream, const NormalizedPath& path) {
        return stream << path.value_;
    }

    Json toJSON() const;
    static NormalizedPath fromJSON(const JSONValueDecoder& decoder);

  private:
    struct Canonical {};
    NormalizedPath(Canonical, std::string value) : value_(std::move(value)) {}

    std::string value_;
};

/// Lexical canonical form of an absolute path text: empty and "." components dropped, ".."
/// removing the component before it (ignored at the root), no trailing "/".
std::string canonicalizeAbsolutePath(std::string_view path);

}  // namespace quorin

template <>
struct std::hash<quorin::NormalizedPath> {
    std::size_t operator()(const quorin::NormalizedPath& path) const noexcept {
        return quorin::keyedHash(path.value());
    }
};
