#pragma once

// Compact JSON text written straight from values, without building their `Json` form first. The
// text is byte for byte what serializing the `Json` form would give, so a large report costs one
// pass over its values instead of a tree of them and a second pass over the tree.
//
// A record is written as an object through `JSONTextObjectEncoder` when it provides
// `template <class Encoder> void encodeMembers(Encoder&) const`, the member list that its
// `toJSON()` also runs with a `JSONObjectEncoder`; any other type through its `JSONCoding`.

#include "QuorinCore/Support/JSON.hpp"

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorin {

/// Which characters a JSON text writes as they are.
enum class JSONCharacters {
    /// UTF-8 as it is, controls escaped: the text of `serializeJSON`.
    utf8,
    /// Printable ASCII only; every other character as a `\u` escape, so a terminal never receives
    /// a control, format or non-UTF-8 byte.
    asciiOnly,
};

/// Appends compact JSON text to a string. In both modes bytes that are not UTF-8 are written as
/// U+FFFD. When writing a value fails with an `EncodingError`, the string is left holding an
/// unfinished text.
class JSONTextWriter {
  public:
    JSONTextWriter(std::string& output, JSONCharacters characters)
        : output_(output), characters_(characters) {}

    /// Writes `json` as `json.dump(-1, ' ', characters == asciiOnly, replace)` would.
    void writeTree(const Json& json);

    /// Writes `text` as a JSON string.
    void writeString(std::string_view text);

    /// Writes `value` as its `Json` form would be written; fails as encoding that form fails.
    template <class T>
    void write(const T& value);

  private:
    friend class JSONTextObjectEncoder;

    void writeInteger(std::int64_t value);
    void writeUnsigned(std::uint64_t value);
    void writeDouble(double value);
    // A string with bytes that are not UTF-8, as the library writes it.
    void writeIllFormedString(std::string_view text);
    // A control, quotation mark or reverse solidus, or a UTF-16 code unit, escaped as the library
    // escapes it: a short escape where there is one, else `\u` and four lower-case hex digits.
    void writeEscape(std::uint32_t codeUnit);

    std::string& output_;
    JSONCharacters characters_;
};

/// Writes one JSON object member by member, with the interface of `JSONObjectEncoder`, so that one
/// member list serves both.
class JSONTextObjectEncoder : public detail::ObjectEncoding<JSONTextObjectEncoder> {
  public:
    explicit JSONTextObjectEncoder(JSONTextWriter& writer) : writer_(writer) {
        writer_.output_ += '{';
    }

    /// Closes the object.
    void finish() && { writer_.output_ += '}'; }

  private:
    friend class detail::ObjectEncoding<JSONTextObjectEncoder>;

    template <class T>
    void encodeMember(std::string_view key, const T& value) {
        writeKey(key);
        writer_.write(value);
    }
    void writeKey(std::string_view key);

    JSONTextWriter& writer_;
    bool empty_ = true;
};

namespace detail {

template <class T>
inline constexpr bool isVector = false;
template <class T>
inline constexpr bool isVector<std::vector<T>> = true;

}  // namespace detail

template <class T>
void JSONTextWriter::write(const T& value) {
    if constexpr (requires(JSONTextObjectEncoder & encoder) { value.encodeMembers(encoder); }) {
        JSONTextObjectEncoder encoder(*this);
        value.encodeMembers(encoder);
        std::move(encoder).finish();
    } else if constexpr (detail::isVector<T>) {
        output_ += '[';
        for (std::size_t index = 0; index < value.size(); ++index) {
            if (index > 0) {
                output_ += ',';
            }
            try {
                write(value[index]);
            } catch (const EncodingError& error) {
                throw error.nestedIn(index);
            }
        }
        output_ += ']';
    } else if constexpr (std::same_as<T, Json>) {
        writeTree(value);
    } else if constexpr (std::same_as<T, std::string>) {
        writeString(value);
    } else if constexpr (std::same_as<T, bool>) {
        output_ += value ? "true" : "false";
    } else if constexpr (std::signed_integral<T>) {
        writeInteger(value);
    } else if constexpr (std::unsigned_integral<T>) {
        writeUnsigned(value);
    } else {
        writeTree(JSONCoding<T>::encode(value));
    }
}

}  // namespace quorin
