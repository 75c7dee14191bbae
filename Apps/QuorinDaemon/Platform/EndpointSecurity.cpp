#include "QuorinDaemon/Platform/EndpointSecurity.hpp"

#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>

namespace quorin::daemon {

namespace {

bool wellFormed(const char* text, std::int32_t length) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text);
    for (std::int32_t offset = 0; offset < length;) {
        UChar32 character = 0;
        U8_NEXT(bytes, offset, length, character);
        if (character < 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string es_string_token_t::text() const {
    if (!data || length < 1) {
        return "";
    }
    const auto byteCount = static_cast<std::int32_t>(
        std::min<std::int64_t>({length, static_cast<std::int64_t>(data->size()), INT32_MAX}));
    // Nearly every path is well formed and is taken as it is; only the rest is converted, which
    // replaces each ill-formed sequence with U+FFFD.
    if (wellFormed(data->data(), byteCount)) {
        return std::string(data->data(), static_cast<std::size_t>(byteCount));
    }
    std::string repaired;
    icu::UnicodeString::fromUTF8(icu::StringPiece(data->data(), byteCount)).toUTF8String(repaired);
    return repaired;
}

}  // namespace quorin::daemon
