#include "QuorinCore/Support/JSONTextWriter.hpp"

#include <array>
#include <charconv>
#include <cmath>

namespace quorin {

namespace {

// Bytes a JSON string holds as they are in either mode: printable ASCII but the quotation mark
// and the reverse solidus.
constexpr std::array<bool, 256> plainBytes = [] {
    std::array<bool, 256> plain{};
    for (std::size_t byte = 0x20; byte < 0x7F; ++byte) {
        plain[byte] = byte != '"' && byte != '\\';
    }
    return plain;
}();

bool isContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The length of the well-formed UTF-8 sequence that starts at `text[index]`, a byte of 0x80 or
// more, with its code point; a length of 0 when the bytes there are not one (a lone continuation
// byte, a truncated sequence, an overlong form, a surrogate, or a code point past U+10FFFF).
std::pair<std::size_t, std::uint32_t> utf8Sequence(std::string_view text, std::size_t index) {
    const auto byte = [&](std::size_t offset) {
        return static_cast<unsigned char>(text[index + offset]);
    };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    std::uint32_t codePoint = 0;
    // The range of the second byte, narrower than 0x80..0xBF after the leads that would
    // otherwise begin an overlong form, a surrogate or a code point past U+10FFFF.
    unsigned char lowest = 0x80;
    unsigned char highest = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0Fu;
        lowest = lead == 0xE0 ? 0xA0 : 0x80;
        highest = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07u;
        lowest = lead == 0xF0 ? 0x90 : 0x80;
        highest = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return {0, 0};
    }
    if (text.size() - index < length || byte(1) < lowest || byte(1) > highest) {
        return {0, 0};
    }
    for (std::size_t offset = 1; offset < length; ++offset) {
        if (!isContinuation(byte(offset))) {
            return {0, 0};
        }
        codePoint = (codePoint << 6) | (byte(offset) & 0x3Fu);
    }
    return {length, codePoint};
}

}  // namespace

void JSONTextWriter::writeTree(const Json& json) {
    switch (json.type()) {
        case Json::value_t::object: {
            JSONTextObjectEncoder encoder(*this);
            for (const auto& [key, member] : json.get_ref<const Json::object_t&>()) {
                encoder.encode(key, member);
            }
            std::move(encoder).finish();
            return;
        }
        case Json::value_t::array:
            write(json.get_ref<const Json::array_t&>());
            return;
        case Json::value_t::string:
            writeString(json.get_ref<const std::string&>());
            return;
        case Json::value_t::boolean:
            write(json.get<bool>());
            return;
        case Json::value_t::number_integer:
            writeInteger(json.get<std::int64_t>());
            return;
        case Json::value_t::number_unsigned:
            writeUnsigned(json.get<std::uint64_t>());
            return;
        case Json::value_t::number_float:
            writeDouble(json.get<double>());
            return;
        case Json::value_t::null:
            output_ += "null";
            return;
        case Json::value_t::binary:
        case Json::value_t::discarded:
            break;
    }
    // Values no JSON text holds; the library writes its own notation for them.
    output_ += json.dump(-1, ' ', characters_ == JSONCharacters::asciiOnly,
                         Json::error_handler_t::replace);
}

void JSONTextWriter::writeString(std::string_view text) {
    const std::size_t start = output_.size();
    output_ += '"';
    std::size_t index = 0;
    while (index < text.size()) {
        std::size_t end = index;
        while (end < text.size() && plainBytes[static_cast<unsigned char>(text[end])]) {
            ++end;
        }
        output_.append(text, index, end - index);
        index = end;
        if (index == text.size()) {
            break;
        }
        const auto byte = static_cast<unsigned char>(text[index]);
        if (byte < 0x80) {
            if (byte == 0x7F && characters_ == JSONCharacters::utf8) {
                output_ += '\x7F';
            } else {
                writeEscape(byte);
            }
            ++index;
            continue;
        }
        const auto [length, codePoint] = utf8Sequence(text, index);
        if (length == 0) {
            output_.resize(start);
            writeIllFormedString(text);
            return;
        }
        if (characters_ == JSONCharacters::utf8) {
            output_.append(text, index, length);
        } else if (codePoint <= 0xFFFF) {
            writeEscape(codePoint);
        } else {
            writeEscape(0xD7C0 + (codePoint >> 10));
            writeEscape(0xDC00 + (codePoint & 0x3FF));
        }
        index += length;
    }
    output_ += '"';
}

void JSONTextWriter::writeIllFormedString(std::string_view text) {
    // Where a sequence breaks off and where the next one starts decide how many replacement
    // characters are written; the library's own rules are kept exactly by letting it write the
    // whole string.
    output_ += Json(std::string(text))
                   .dump(-1, ' ', characters_ == JSONCharacters::asciiOnly,
                         Json::error_handler_t::replace);
}

void JSONTextWriter::writeEscape(std::uint32_t codeUnit) {
    switch (codeUnit) {
        case '\b':
            output_ += "\\b";
            return;
        case '\t':
            output_ += "\\t";
            return;
        case '\n':
            output_ += "\\n";
            return;
        case '\f':
            output_ += "\\f";
            return;
        case '\r':
            output_ += "\\r";
            return;
        case '"':
            output_ += "\\\"";
            return;
        case '\\':
            output_ += "\\\\";
            return;
        default:
            break;
    }
    constexpr std::string_view digits = "0123456789abcdef";
    const char escape[] = {'\\',
                           'u',
                           digits[(codeUnit >> 12) & 0xF],
                           digits[(codeUnit >> 8) & 0xF],
                           digits[(codeUnit >> 4) & 0xF],
                           digits[codeUnit & 0xF]};
    output_.append(escape, sizeof escape);
}

void JSONTextWriter::writeInteger(std::int64_t value) {
    char buffer[24];
    output_.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

void JSONTextWriter::writeUnsigned(std::uint64_t value) {
    char buffer[24];
    output_.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

void JSONTextWriter::writeDouble(double value) {
    if (!std::isfinite(value)) {
        output_ += "null";
        return;
    }
    // The shortest text that reads back as `value`, by the very function the library's own
    // serializer calls, into a buffer of the size it gives it.
    std::array<char, 64> buffer;
    output_.append(buffer.data(),
                   nlohmann::detail::to_chars(buffer.data(), buffer.data() + buffer.size(), value));
}

void JSONTextObjectEncoder::writeKey(std::string_view key) {
    if (!empty_) {
        writer_.output_ += ',';
    }
    empty_ = false;
    writer_.writeString(key);
    writer_.output_ += ':';
}

}  // namespace quorin
