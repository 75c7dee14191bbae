#pragma once

#include "QuorinCore/Support/JSON.hpp"
#include "QuorinCore/Support/KeyedHash.hpp"

#include <atomic>
#include <compare>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
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
///
/// The text is immutable and shared by copies, so copying a path (into an incident, an index, a
/// report) allocates nothing, and its hash is computed once however often it is looked up. A
/// moved-from path reads as "".
class NormalizedPath {
  public:
    /// Expands a leading "~" or "~/" to `homeDirectory`, then canonicalizes lexically.
    /// Throws `PathNormalizationError` (`relativePath`) when the result is not absolute.
    NormalizedPath(std::string_view path, std::string_view homeDirectory);

    const std::string& value() const { return text_ ? text_->value : emptyValue(); }

    /// The process's keyed hash of `value()`.
    std::size_t hash() const noexcept;

    /// A key that orders paths cheaply, by hash first and by text only where hashes are equal:
    /// for finding repetitions and membership among many paths, not for display. It views this
    /// path's text.
    struct LookupKey {
        std::size_t hash;
        std::string_view text;

        friend auto operator<=>(const LookupKey&, const LookupKey&) = default;
    };
    LookupKey lookupKey() const { return {hash(), value()}; }

    /// True when this path equals `other` or lies below it. Purely textual.
    bool isEqualToOrDescendant(const NormalizedPath& other) const;

    friend bool operator==(const NormalizedPath& lhs, const NormalizedPath& rhs) {
        return lhs.text_ == rhs.text_ || lhs.value() == rhs.value();
    }
    friend std::strong_ordering operator<=>(const NormalizedPath& lhs, const NormalizedPath& rhs) {
        return lhs.value() <=> rhs.value();
    }
    friend std::ostream& operator<<(std::ostream& stream, const NormalizedPath& path) {
        return stream << path.value();
    }

    Json toJSON() const;
    /// Encodes the fields, in order, into a `JSONObjectEncoder` or a `JSONTextObjectEncoder`.
    template <class Encoder>
    void encodeMembers(Encoder& encoder) const;
    static NormalizedPath fromJSON(const JSONValueDecoder& decoder);

  private:
    struct Text {
        explicit Text(std::string text) : value(std::move(text)) {}

        const std::string value;
        // 0 until first asked for; computed hashes of 0 are stored as 1. Copies on several threads
        // may compute it at once, and store the same value.
        mutable std::atomic<std::size_t> hash{0};
    };

    struct Canonical {};
    NormalizedPath(Canonical, std::string value)
        : text_(std::make_shared<const Text>(std::move(value))) {}

    // The canonical text of `NormalizedPath(path, homeDirectory)`.
    static std::string canonicalForm(std::string_view path, std::string_view homeDirectory);
    static const std::string& emptyValue();

    std::shared_ptr<const Text> text_;
};

/// Lexical canonical form of an absolute path text: empty and "." components dropped, ".."
/// removing the component before it (ignored at the root), no trailing "/".
std::string canonicalizeAbsolutePath(std::string_view path);

}  // namespace quorin

template <>
struct std::hash<quorin::NormalizedPath> {
    std::size_t operator()(const quorin::NormalizedPath& path) const noexcept {
        return path.hash();
    }
};
