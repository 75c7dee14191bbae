#pragma once

// The JSON coding layer every value type of the system uses.
//
// A type takes part by specializing `JSONCoding<T>` or, for records, by providing
// `Json toJSON() const` and `static T fromJSON(const JSONValueDecoder&)`; text-valued
// enumerations take part by specializing `EnumerationTexts` (Enumeration.hpp).
//
// Decoding validates and never repairs. Every failure is a `DecodingError` that carries its kind,
// the coding path from the document's root to the offending value, and a description.

#include <nlohmann/json.hpp>

#include "QuorinCore/Support/Date.hpp"
#include "QuorinCore/Support/UUID.hpp"

#include <concepts>
#include <cstddef>
#include <limits>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace quorin {

/// A JSON value. Objects keep their keys in insertion order, so encoders write keys in the
/// order of the fields they come from.
using Json = nlohmann::ordered_json;

/// One step from a JSON value to one inside it: an object key or an array index.
using CodingKey = std::variant<std::string, std::size_t>;
using CodingPath = std::vector<CodingKey>;

/// The coding path as text, for example `events[3].file.path`; the root is "<root>".
std::string describe(const CodingPath& path);

/// Why a JSON value could not be decoded.
class DecodingError : public std::runtime_error {
  public:
    enum class Kind {
        typeMismatch,   // the value has another JSON type than the one expected
        keyNotFound,    // a required key is missing
        valueNotFound,  // a required key holds null
        dataCorrupted,  // the value has the right type but is not acceptable
    };

    DecodingError(Kind kind, CodingPath codingPath, std::string description);

    Kind kind() const noexcept { return kind_; }
    /// The keys leading to the offending value; for `keyNotFound`, ends with the missing key.
    const CodingPath& codingPath() const noexcept { return codingPath_; }
    const std::string& description() const noexcept { return description_; }

  private:
    Kind kind_;
    CodingPath codingPath_;
    std::string description_;
};

/// Why a value could not be encoded (a non-finite number has no JSON form).
class EncodingError : public std::runtime_error {
  public:
    EncodingError(CodingPath codingPath, std::string description);

    const CodingPath& codingPath() const noexcept { return codingPath_; }
    const std::string& description() const noexcept { return description_; }

    /// The same error one level further out, below `key`.
    EncodingError nestedIn(CodingKey key) const;

  private:
    CodingPath codingPath_;
    std::string description_;
};

template <class T>
struct JSONCoding;

namespace detail {

// The coding path of a value being decoded, kept as a chain of stack frames so that descending
// into a document allocates nothing; it is turned into a `CodingPath` only when an error is built.
struct CodingPathLink {
    const CodingPathLink* parent = nullptr;
    std::string_view key;
    std::size_t index = 0;
    bool isIndex = false;
};

CodingPath materialize(const CodingPathLink* link);

}  // namespace detail

class JSONObjectDecoder;

/// A JSON value under decoding, with the path that leads to it. Lives only during one decode call.
class JSONValueDecoder {
  public:
    JSONValueDecoder(const Json& json, const detail::CodingPathLink* link)
        : json_(json), link_(link) {}

    const Json& json() const { return json_; }
    CodingPath codingPath() const { return detail::materialize(link_); }

    template <class T>
    T decode() const {
        return JSONCoding<T>::decode(*this);
    }

    /// This value as an object; a type mismatch when it is not one.
    JSONObjectDecoder object() const;

    /// Calls `body(element)` with a decoder for each element in order; a type mismatch when the
    /// value is not an array.
    template <class Body>
    void forEachElement(Body&& body) const;

    /// Calls `body(name, member)` with a decoder for each member in order; a type mismatch when
    /// the value is not an object.
    template <class Body>
    void forEachMember(Body&& body) const;

    [[noreturn]] void typeMismatch(std::string_view expected) const;
    [[noreturn]] void dataCorrupted(std::string description) const;

  private:
    const Json& json_;
    const detail::CodingPathLink* link_;
};

/// A JSON object under decoding: required and optional keys, and errors attached to a key.
class JSONObjectDecoder {
  public:
    /// The value at `key`; key not found when absent, value not found when null.
    template <class T>
    T decode(std::string_view key) const {
        const detail::CodingPathLink link{link_, key};
        return JSONCoding<T>::decode(JSONValueDecoder(required(key, link), &link));
    }

    /// The value at `key`, or nothing when the key is absent or null.
    template <class T>
    std::optional<T> decodeIfPresent(std::string_view key) const {
        const Json* value = find(key);
        if (value == nullptr) {
            return std::nullopt;
        }
        const detail::CodingPathLink link{link_, key};
        return JSONCoding<T>::decode(JSONValueDecoder(*value, &link));
    }

    /// A data-corrupted error attached to `key`.
    [[noreturn]] void dataCorrupted(std::string_view key, std::string description) const;

  private:
    friend class JSONValueDecoder;
    JSONObjectDecoder(const Json& json, const detail::CodingPathLink* link)
        : json_(json), link_(link) {}

    // The non-null value at `key`, or nullptr.
    const Json* find(std::string_view key) const;
    const Json& required(std::string_view key, const detail::CodingPathLink& link) const;

    const Json& json_;
    const detail::CodingPathLink* link_;
};

template <class Body>
void JSONValueDecoder::forEachElement(Body&& body) const {
    if (!json_.is_array()) {
        typeMismatch("an array");
    }
    std::size_t index = 0;
    for (const Json& element : json_) {
        const detail::CodingPathLink link{link_, {}, index, true};
        body(JSONValueDecoder(element, &link));
        ++index;
    }
}

template <class Body>
void JSONValueDecoder::forEachMember(Body&& body) const {
    if (!json_.is_object()) {
        typeMismatch("an object");
    }
    for (const auto& [name, member] : json_.items()) {
        const detail::CodingPathLink link{link_, name};
        body(name, JSONValueDecoder(member, &link));
    }
}

namespace detail {

// What every object encoder does around one member: an error is reported below the member's key,
// and an absent optional leaves the key out. `Encoder` writes the member in `encodeMember`.
template <class Encoder>
class ObjectEncoding {
  public:
    template <class T>
    void encode(std::string_view key, const T& value) {
        try {
            static_cast<Encoder&>(*this).encodeMember(key, value);
        } catch (const EncodingError& error) {
            throw error.nestedIn(std::string(key));
        }
    }

    /// Writes `value` when present; an absent value leaves the key out.
    template <class T>
    void encodeIfPresent(std::string_view key, const std::optional<T>& value) {
        if (value) {
            encode(key, *value);
        }
    }
};

}  // namespace detail

/// Builds a JSON object key by key, in the order the keys are given.
class JSONObjectEncoder : public detail::ObjectEncoding<JSONObjectEncoder> {
  public:
    JSONObjectEncoder() = default;

    /// An encoder with room made at once for `members` members. An object's members are a vector
    /// whose keys are const, so growing it copies every value already in it: an encoder of an
    /// object that holds large values is told how many members it will have.
    explicit JSONObjectEncoder(std::size_t members) {
        object_.get_ref<Json::object_t&>().reserve(members);
    }

    Json finish() && { return std::move(object_); }

  private:
    friend class detail::ObjectEncoding<JSONObjectEncoder>;

    template <class T>
    void encodeMember(std::string_view key, const T& value) {
        object_[std::string(key)] = JSONCoding<T>::encode(value);
    }

    Json object_ = Json::object();
};

// MARK: - Entry points

/// Decodes a `T` from a parsed JSON document.
template <class T>
T decodeJSON(const Json& document) {
    return JSONCoding<T>::decode(JSONValueDecoder(document, nullptr));
}

// Text is not a document: parse it with `decodeJSONText`. These catch the mix-up at compile time,
// where the text would otherwise silently become a JSON string value.
template <class T>
T decodeJSON(const std::string&) = delete;
template <class T>
T decodeJSON(const char*) = delete;

/// A document parsed from text, and the first key, in the order of the text, that an object
/// repeated. An object keeps a repeated key at its first place with its last value.
struct ParsedJSON {
    Json document;
    std::optional<std::string> firstRepeatedKey;
};

/// Parses UTF-8 JSON text; a data-corrupted error at the root when it is not valid JSON. Objects
/// keep their members in the order of the text, and an object of n members is built in
/// O(n log n) time, so untrusted text cannot make parsing quadratic.
ParsedJSON parseJSONDocument(std::string_view text);

/// The document of `parseJSONDocument(text)`.
Json parseJSON(std::string_view text);

/// Parses and decodes a `T` from UTF-8 JSON text.
template <class T>
T decodeJSONText(std::string_view text) {
    return decodeJSON<T>(parseJSON(text));
}

template <class T>
Json encodeJSON(const T& value) {
    return JSONCoding<T>::encode(value);
}

/// Compact JSON text (no indentation). Bytes that are not UTF-8 in strings are written as
/// U+FFFD, so text that came from the operating system can always be encoded.
std::string serializeJSON(const Json& json);

template <class T>
std::string encodeJSONText(const T& value) {
    return serializeJSON(encodeJSON(value));
}

// MARK: - Codings of the building blocks

/// Records provide their own coding as members.
template <class T>
requires requires(const T& value, const JSONValueDecoder& decoder) {
    { value.toJSON() } -> std::same_as<Json>;
    { T::fromJSON(decoder) } -> std::same_as<T>;
}
struct JSONCoding<T> {
    static T decode(const JSONValueDecoder& decoder) { return T::fromJSON(decoder); }
    static Json encode(const T& value) { return value.toJSON(); }
};

template <>
struct JSONCoding<bool> {
    static bool decode(const JSONValueDecoder& decoder);
    static Json encode(bool value) { return value; }
};

template <>
struct JSONCoding<std::string> {
    static std::string decode(const JSONValueDecoder& decoder);
    static Json encode(const std::string& value) { return value; }
};

template <>
struct JSONCoding<double> {
    static double decode(const JSONValueDecoder& decoder);
    static Json encode(double value);
};

namespace detail {

// Exact integer decoding: a JSON number whose value is integral and inside [minimum, maximum].
// Integers written with a fraction or exponent count when their value is integral (5.0 is 5).
std::int64_t decodeSignedInteger(const JSONValueDecoder& decoder, std::int64_t minimum,
                                 std::int64_t maximum, std::string_view typeName);
std::uint64_t decodeUnsignedInteger(const JSONValueDecoder& decoder, std::uint64_t maximum,
                                    std::string_view typeName);

template <class I>
constexpr std::string_view integerTypeName() {
    if constexpr (std::is_same_v<I, std::int8_t>) {
        return "Int8";
    } else if constexpr (std::is_same_v<I, std::int16_t>) {
        return "Int16";
    } else if constexpr (std::is_same_v<I, std::int32_t>) {
        return "Int32";
    } else if constexpr (std::is_same_v<I, std::int64_t>) {
        return "Int64";
    } else if constexpr (std::is_same_v<I, std::uint8_t>) {
        return "UInt8";
    } else if constexpr (std::is_same_v<I, std::uint16_t>) {
        return "UInt16";
    } else if constexpr (std::is_same_v<I, std::uint32_t>) {
        return "UInt32";
    } else {
        static_assert(std::is_same_v<I, std::uint64_t>, "unsupported integer type");
        return "UInt64";
    }
}

}  // namespace detail

template <class I>
requires std::integral<I> &&(!std::same_as<I, bool>)struct JSONCoding<I> {
    static I decode(const JSONValueDecoder& decoder) {
        constexpr auto name = detail::integerTypeName<I>();
        if constexpr (std::is_signed_v<I>) {
            return static_cast<I>(detail::decodeSignedInteger(
                decoder, std::numeric_limits<I>::min(), std::numeric_limits<I>::max(), name));
        } else {
            return static_cast<I>(
                detail::decodeUnsignedInteger(decoder, std::numeric_limits<I>::max(), name));
        }
    }
    static Json encode(I value) { return value; }
};

/// A time stamp: a number of seconds since 2001-01-01T00:00:00Z. A non-finite date has no JSON
/// form and fails to encode.
template <>
struct JSONCoding<Date> {
    static Date decode(const JSONValueDecoder& decoder);
    static Json encode(const Date& value);
};

/// A UUID: its hyphenated text, written in upper case, read in either case.
template <>
struct JSONCoding<UUID> {
    static UUID decode(const JSONValueDecoder& decoder);
    static Json encode(const UUID& value) { return value.uuidString(); }
};

template <class T>
struct JSONCoding<std::vector<T>> {
    static std::vector<T> decode(const JSONValueDecoder& decoder) {
        std::vector<T> values;
        decoder.forEachElement(
            [&values](const JSONValueDecoder& element) { values.push_back(element.decode<T>()); });
        return values;
    }
    static Json encode(const std::vector<T>& values) {
        Json array = Json::array();
        for (std::size_t index = 0; index < values.size(); ++index) {
            try {
                array.push_back(JSONCoding<T>::encode(values[index]));
            } catch (const EncodingError& error) {
                throw error.nestedIn(index);
            }
        }
        return array;
    }
};

/// A map keyed by text (a path, usually): a JSON object whose member names are the keys. Written
/// in key order.
template <class T>
struct JSONCoding<std::map<std::string, T>> {
    static std::map<std::string, T> decode(const JSONValueDecoder& decoder) {
        std::map<std::string, T> values;
        decoder.forEachMember([&values](const std::string& name, const JSONValueDecoder& member) {
            values.insert_or_assign(name, member.decode<T>());
        });
        return values;
    }
    static Json encode(const std::map<std::string, T>& values) {
        Json object = Json::object();
        // The names are distinct already: each member is appended, not looked up first, into
        // room made once (growing an object copies its values: see `JSONObjectEncoder`).
        auto& members = object.get_ref<Json::object_t&>();
        members.reserve(values.size());
        for (const auto& [name, value] : values) {
            try {
                members.emplace_back(name, JSONCoding<T>::encode(value));
            } catch (const EncodingError& error) {
                throw error.nestedIn(name);
            }
        }
        return object;
    }
};

}  // namespace quorin
