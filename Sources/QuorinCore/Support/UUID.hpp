#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorin {

/// A 128-bit universally unique identifier. Its text is the 36-character hyphenated form
/// (8-4-4-4-12 hexadecimal digits), written in upper case and read in either case.
/// Ordering compares the bytes, which is the same order as comparing the upper-case texts.
class UUID {
  public:
    using Bytes = std::array<std::uint8_t, 16>;

    /// The nil UUID (all zero).
    constexpr UUID() = default;
    constexpr explicit UUID(const Bytes& bytes) : bytes_(bytes) {}

    /// A fresh random (version 4) UUID.
    static UUID random();

    /// Parses the hyphenated text in either letter case; nothing for any other text.
    static std::optional<UUID> parse(std::string_view text);

    const Bytes& bytes() const { return bytes_; }

    /// The hyphenated upper-case text.
    std::string uuidString() const;

    friend constexpr bool operator==(const UUID&, const UUID&) = default;
    friend constexpr std::strong_ordering operator<=>(const UUID&, const UUID&) = default;

  private:
    Bytes bytes_{};
};

}  // namespace quorin

template <>
struct std::hash<quorin::UUID> {
    std::size_t operator()(const quorin::UUID& uuid) const noexcept;
};
