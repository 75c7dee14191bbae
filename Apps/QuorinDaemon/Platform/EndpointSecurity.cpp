#include "QuorinDaemon/Platform/EndpointSecurity.hpp"

#include <unicode/unistr.h>

#include <algorithm>

namespace quorin::daemon {

std::string es_string_token_t::text() const {
    if (!data || length < 1) {
        return "";
    }
    const auto byteCount = static_cast<std::size_t>(
        std::min<std::int64_t>(length, static_cast<std::int64_t>(data->size())));
    std::string repaired;
    icu::UnicodeString::fromUTF8(
        icu::StringPiece(data->data(),
                         static_cast<std::int32_t>(std::min<std::size_t>(byteCount, INT32_MAX))))
        .toUTF8String(repaired);
    return repaired;
}

}  // namespace quorin::daemon
