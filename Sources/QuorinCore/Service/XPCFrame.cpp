#include "QuorinCore/Service/XPCFrame.hpp"

#include <cstdint>
#include <utility>

namespace quorin {

namespace {

constexpr std::size_t prefixBytes = 4;

void checkBodyLength(std::size_t length) {
    if (length == 0) {
        throw XPCProtocolError("a frame body must not be empty");
    }
    if (length > maximumFrameBytes) {
        throw XPCProtocolError("a frame body of " + std::to_string(length) +
                               " bytes exceeds the maximum of " +
                               std::to_string(maximumFrameBytes));
    }
}

}  // namespace

std::string framed(std::string_view body) {
    checkBodyLength(body.size());
    const auto length = static_cast<std::uint32_t>(body.size());
    std::string frame;
    frame.reserve(prefixBytes + body.size());
    for (int shift = 24; shift >= 0; shift -= 8) {
        frame.push_back(static_cast<char>((length >> shift) & 0xffU));
    }
    frame.append(body);
    return frame;
}

void XPCFrameReader::append(std::string_view bytes) {
    if (consumed_ > 0) {
        // A fresh buffer, so that one large frame taken out leaves no large allocation behind.
        // What is left after draining came with the last append, so this copies little.
        std::string rest;
        rest.reserve(buffer_.size() - consumed_ + bytes.size());
        rest.append(buffer_, consumed_);
        buffer_ = std::move(rest);
        consumed_ = 0;
    }
    buffer_.append(bytes);
}

std::optional<std::string> XPCFrameReader::next() {
    const std::size_t available = buffer_.size() - consumed_;
    if (available < prefixBytes) {
        return std::nullopt;
    }
    std::size_t length = 0;
    for (std::size_t index = 0; index < prefixBytes; ++index) {
        length = (length << 8) | static_cast<unsigned char>(buffer_[consumed_ + index]);
    }
    checkBodyLength(length);
    if (available - prefixBytes < length) {
        return std::nullopt;
    }
    std::string body = buffer_.substr(consumed_ + prefixBytes, length);
    consumed_ += prefixBytes + length;
    return body;
}

}  // namespace quorin
