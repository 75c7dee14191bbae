#pragma once

// Text-valued enumerations: each case has a raw text, equal to its case name, which is also its
// JSON form. An enumeration takes part by specializing `EnumerationTexts`:
//
//   template <> struct EnumerationTexts<FileKind> {
//       static constexpr std::string_view typeName = "FileKind";
//       static constexpr std::array cases{std::pair{FileKind::regularFile, "regularFile"}, ...};
//   };
//
// `cases` lists every case in declaration order.

#include "QuorinCore/Support/JSON.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quorin {

template <class E>
struct EnumerationTexts;

template <class E>
concept TextEnumeration = std::is_enum_v<E> && requires {
    EnumerationTexts<E>::typeName;
    EnumerationTexts<E>::cases;
};

/// Every case, in declaration order.
template <TextEnumeration E>
constexpr auto allCases() {
    std::array<E, EnumerationTexts<E>::cases.size()> cases{};
    for (std::size_t index = 0; index < cases.size(); ++index) {
        cases[index] = EnumerationTexts<E>::cases[index].first;
    }
    return cases;
}

/// The raw text of a case.
template <TextEnumeration E>
constexpr std::string_view rawValue(E value) {
    for (const auto& [candidate, text] : EnumerationTexts<E>::cases) {
        if (candidate == value) {
            return text;
        }
    }
    return {};
}

/// The case whose raw text is exactly `text` (letter case counts), or nothing.
template <TextEnumeration E>
constexpr std::optional<E> enumerationCase(std::string_view text) {
    for (const auto& [candidate, raw] : EnumerationTexts<E>::cases) {
        if (raw == text) {
            return candidate;
        }
    }
    return std::nullopt;
}

namespace detail {
[[noreturn]] void unknownEnumerationText(const JSONValueDecoder& decoder, std::string_view typeName,
                                         const std::string& text);
}

template <TextEnumeration E>
struct JSONCoding<E> {
    static E decode(const JSONValueDecoder& decoder) {
        const auto text = decoder.decode<std::string>();
        if (const auto value = enumerationCase<E>(text)) {
            return *value;
        }
        detail::unknownEnumerationText(decoder, EnumerationTexts<E>::typeName, text);
    }
    static Json encode(E value) { return std::string(rawValue(value)); }
};

}  // namespace quorin
