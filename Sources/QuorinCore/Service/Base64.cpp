#include "QuorinCore/Service/Base64.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

namespace quorin {

namespace {

constexpr std::string_view alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::uint8_t notInAlphabet = 0xff;

constexpr std::array<std::uint8_t, 256> sextets = [] {
    std::array<std::uint8_t, 256> table{};
    table.fill(notInAlphabet);
    for (std::size_t index = 0; index < alphabet.size(); ++index) {
        table[static_cast<unsigned char>(alphabet[index])] = static_cast<std::uint8_t>(index);
    }
    return table;
}();

}  // namespace

std::string base64Encoded(std::string_view bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t offset = 0; offset < bytes.size(); offset += 3) {
        const std::size_t count = std::min<std::size_t>(3, bytes.size() - offset);
        std::uint32_t group = 0;
        for (std::size_t index = 0; index < 3; ++index) {
            const std::uint32_t byte =
                index < count ? static_cast<unsigned char>(bytes[offset + index]) : 0U;
            group = (group << 8) | byte;
        }
        // `count` bytes fill `count + 1` characters; the rest of the quantum is padding.
        for (std::size_t index = 0; index < 4; ++index) {
            text.push_back(index <= count ? alphabet[(group >> (18 - 6 * index)) & 0x3fU] : '=');
        }
    }
    return text;
}

std::optional<std::string> base64Decoded(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') {
        padding = text[text.size() - 2] == '=' ? 2 : 1;
    }
    const std::size_t characters = text.size() - padding;
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3);
    std::uint32_t bits = 0;
    std::size_t bitCount = 0;
    for (std::size_t index = 0; index < characters; ++index) {
        const std::uint8_t sextet = sextets[static_cast<unsigned char>(text[index])];
        if (sextet == notInAlphabet) {
            return std::nullopt;
        }
        bits = (bits << 6) | sextet;
        bitCount += 6;
        if (bitCount >= 8) {
            bitCount -= 8;
            bytes.push_back(static_cast<char>((bits >> bitCount) & 0xffU));
            bits &= (1U << bitCount) - 1U;
        }
    }
    // What the last character carries beyond the last byte must be zero: otherwise two texts
    // would decode to the same bytes.
    if (bits != 0) {
        return std::nullopt;
    }
    return bytes;
}

}  // namespace quorin
