#include "QuorinCore/Replay/ReplayTerminalOutput.hpp"

#include "QuorinCore/Replay/ReplayFixtureValidationError.hpp"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace quorin {

namespace {

constexpr UChar32 lineFeed = 0x0A;
constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

bool isControlOrFormat(UChar32 scalar) {
    const auto category = static_cast<UCharCategory>(u_charType(scalar));
    return category == U_CONTROL_CHAR || category == U_FORMAT_CHAR;
}

void appendEscape(std::string& output, UChar32 scalar) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (auto value = static_cast<std::uint32_t>(scalar); value != 0 || hex.size() < 4;
         value >>= 4) {
        hex.insert(hex.begin(), digits[value & 0xF]);
    }
    output += "\\u{";
    output += hex;
    output += '}';
}

std::string sanitized(std::string_view text, bool keepsLineFeeds) {
    std::string output;
    output.reserve(text.size());
    std::size_t offset = 0;
    while (offset < text.size()) {
        const auto byte = static_cast<unsigned char>(text[offset]);
        if (byte >= 0x20 && byte < 0x7F) {  // printable ASCII, the common case
            output += static_cast<char>(byte);
            ++offset;
            continue;
        }
        // A scalar takes at most four bytes, so decoding from a window of four needs no length
        // beyond what ICU's 32-bit indices can hold.
        const auto* window = reinterpret_cast<const std::uint8_t*>(text.data() + offset);
        const auto windowLength = static_cast<std::int32_t>(
            std::min<std::size_t>(text.size() - offset, static_cast<std::size_t>(U8_MAX_LENGTH)));
        std::int32_t consumed = 0;
        UChar32 scalar = 0;
        U8_NEXT(window, consumed, windowLength, scalar);
        const std::string_view encoded = text.substr(offset, static_cast<std::size_t>(consumed));
        offset += encoded.size();
        // Bytes that are not UTF-8 reach no terminal as they are: a stray byte such as 0x9B is
        // a control sequence introducer to some terminals. Each maximal ill-formed subsequence
        // becomes one U+FFFD, as the JSON layer writes it too; that is never fewer bytes.
        if (scalar < 0) {
            output += replacementCharacter;
        } else if (scalar == lineFeed && keepsLineFeeds) {
            output += '\n';
        } else if (isControlOrFormat(scalar)) {
            appendEscape(output, scalar);
        } else {
            output += encoded;
        }
    }
    return output;
}

}  // namespace

std::string ReplayTerminalOutput::sanitize(std::string_view text) {
    return sanitized(text, false);
}

std::string ReplayTerminalOutput::sanitizeMultiline(std::string_view text) {
    return sanitized(text, true);
}

std::string ReplayTerminalOutput::sanitizedDescription(const std::exception& error) {
    // A fixture's key may hold U+0000, which `what()` would cut the message at; the validation
    // error keeps its whole message, so print that.
    if (const auto* validation = dynamic_cast<const ReplayFixtureValidationError*>(&error)) {
        return sanitize(validation->message());
    }
    return sanitize(error.what());
}

}  // namespace quorin
