#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quorin {

/// Standard base64 of `bytes`: the RFC 4648 alphabet with "=" padding and no line breaks.
std::string base64Encoded(std::string_view bytes);

/// The bytes that `text` encodes, when `text` is exactly what `base64Encoded` writes for them;
/// nothing otherwise. Refused: characters outside the alphabet (whitespace included), a length
/// that is not a multiple of 4, padding that is missing, misplaced or superfluous, and set bits
/// after the last encoded byte (so "Zh==" is refused where "Zg==" decodes to "f"). One text per
/// byte string means equal data always travels as equal text.
std::optional<std::string> base64Decoded(std::string_view text);

}  // namespace quorin
