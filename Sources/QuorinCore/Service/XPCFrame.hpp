#pragma once

#include "QuorinCore/Service/XPCProtocolError.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quorin {

/// The most body bytes one frame may carry. A peer that announces more is cut off before the body
/// is buffered, so a connection never holds more than one such frame.
constexpr std::size_t maximumFrameBytes = 8 * 1024 * 1024;

/// `body` as one frame: its length as 4 bytes, unsigned and big-endian, then the body itself.
/// Throws `XPCProtocolError` when `body` is empty or longer than `maximumFrameBytes`.
std::string framed(std::string_view body);

/// Cuts the byte stream of one connection into frame bodies. Bytes are appended as they arrive
/// and complete bodies taken out in order; a length prefix of 0 or above `maximumFrameBytes` is
/// refused as soon as its 4 bytes are there, before any of the body. Only unconsumed bytes are
/// kept, and the memory of taken frames is given back: draining with `next` after each `append`
/// holds at most one partial frame plus the appended bytes. After an error the stream is lost and
/// the connection must be closed.
class XPCFrameReader {
  public:
    void append(std::string_view bytes);

    /// The next complete body, or nothing until more bytes arrive. Throws `XPCProtocolError` for
    /// a length prefix that announces an empty or oversized body (and again on every later call).
    std::optional<std::string> next();

    /// The bytes appended and not yet taken out: after draining, those of the incomplete frame.
    std::size_t heldBytes() const { return buffer_.size() - consumed_; }

  private:
    std::string buffer_;
    // Bytes at the front of `buffer_` that `next` has already handed out. They are dropped on the
    // next `append`, so a burst of small frames is taken out without moving the rest each time.
    std::size_t consumed_ = 0;
};

}  // namespace quorin
