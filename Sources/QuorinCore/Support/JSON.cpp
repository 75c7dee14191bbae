#include "QuorinCore/Support/JSON.hpp"

#include "QuorinCore/Support/Enumeration.hpp"
#include "QuorinCore/Support/JSONTextWriter.hpp"

#include <algorithm>
#include <cmath>
#include <set>
#include <utility>

namespace quorin {

namespace {

std::string_view kindText(DecodingError::Kind kind) {
    switch (kind) {
        case DecodingError::Kind::typeMismatch:
            return "Type mismatch";
        case DecodingError::Kind::keyNotFound:
            return "Key not found";
        case DecodingError::Kind::valueNotFound:
            return "Value not found";
        case DecodingError::Kind::dataCorrupted:
            return "Data corrupted";
    }
    return "Decoding failed";
}

std::string_view jsonTypeDescription(const Json& json) {
    switch (json.type()) {
        case Json::value_t::null:
            return "null";
        case Json::value_t::object:
            return "an object";
        case Json::value_t::array:
            return "an array";
        case Json::value_t::string:
            return "a string";
        case Json::value_t::boolean:
            return "a boolean";
        case Json::value_t::number_integer:
        case Json::value_t::number_unsigned:
        case Json::value_t::number_float:
            return "a number";
        case Json::value_t::binary:
        case Json::value_t::discarded:
            break;
    }
    return "an unsupported value";
}

[[noreturn]] void throwDoesNotFit(const JSONValueDecoder& decoder, std::string_view typeName) {
    decoder.dataCorrupted("Number " + serializeJSON(decoder.json()) + " does not fit in " +
                          std::string(typeName) + ".");
}

// The integral value of a JSON number written with a fraction or exponent, when it is one and
// lies in [minimum, maximumPlusOne).
std::optional<double> integralValue(double value, double minimum, double maximumPlusOne) {
    if (!std::isfinite(value) || std::trunc(value) != value) {
        return std::nullopt;
    }
    if (value < minimum || value >= maximumPlusOne) {
        return std::nullopt;
    }
    return value;
}

// Builds a document from the parser's events as the library's own builder does, except that it
// finds an object's keys through an index of its members ordered by key instead of searching the
// members one by one, which made an object of n members cost O(n²) to build.
class DocumentBuilder {
  public:
    bool null() { return place(nullptr); }
    bool boolean(bool value) { return place(value); }
    bool number_integer(Json::number_integer_t value) { return place(value); }
    bool number_unsigned(Json::number_unsigned_t value) { return place(value); }
    bool number_float(Json::number_float_t value, const std::string&) { return place(value); }
    bool string(std::string& value) { return place(std::move(value)); }
    // JSON text has no binary values; the parser only needs the event to exist.
    bool binary(Json::binary_t&) { return false; }

    bool start_object(std::size_t) {
        place(Json::value_t::object);
        Json::object_t& members = placed_->get_ref<Json::object_t&>();
        open_.push_back({placed_, std::set<std::size_t, KeyOrder>(KeyOrder{&members})});
        return true;
    }
    bool start_array(std::size_t) {
        place(Json::value_t::array);
        open_.push_back({placed_, std::set<std::size_t, KeyOrder>(KeyOrder{nullptr})});
        return true;
    }
    bool end_object() { return close(); }
    bool end_array() { return close(); }

    bool key(std::string& key) {
        OpenContainer& object = open_.back();
        Json::object_t::Container& members = object.value->get_ref<Json::object_t&>();
        const auto found = object.keys.find(std::string_view(key));
        if (found != object.keys.end()) {
            if (!firstRepeatedKey_) {
                firstRepeatedKey_ = key;
            }
            member_ = &members[*found].second;
            return true;
        }
        members.emplace_back(std::move(key), nullptr);
        object.keys.insert(members.size() - 1);
        member_ = &members.back().second;
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
        return false;
    }

    ParsedJSON finish() && { return ParsedJSON{std::move(root_), std::move(firstRepeatedKey_)}; }

  private:
    // Orders an object's members, given by their positions, by key.
    struct KeyOrder {
        using is_transparent = void;
        const Json::object_t* members;

        std::string_view key(std::size_t position) const {
            return static_cast<const Json::object_t::Container&>(*members)[position].first;
        }
        static std::string_view key(std::string_view text) { return text; }

        template <class Left, class Right>
        bool operator()(const Left& left, const Right& right) const {
            return key(left) < key(right);
        }
    };

    struct OpenContainer {
        Json* value;
        std::set<std::size_t, KeyOrder> keys;  // objects only
    };

    // Puts a value where the text has it: the root, the next element of the open array, or the
    // member whose key was just read.
    template <class Value>
    bool place(Value&& value) {
        if (open_.empty()) {
            root_ = Json(std::forward<Value>(value));
            placed_ = &root_;
        } else if (Json& container = *open_.back().value; container.is_array()) {
            placed_ = &container.emplace_back(std::forward<Value>(value));
        } else {
            *member_ = Json(std::forward<Value>(value));
            placed_ = member_;
        }
        return true;
    }

    bool close() {
        open_.pop_back();
        return true;
    }

    Json root_;
    // The containers being read, innermost last. A pointer stays valid while its container is
    // open: no value is added beside an open container until it closes.
    std::vector<OpenContainer> open_;
    Json* member_ = nullptr;
    Json* placed_ = nullptr;
    std::optional<std::string> firstRepeatedKey_;
};

}  // namespace

std::string describe(const CodingPath& path) {
    if (path.empty()) {
        return "<root>";
    }
    std::string text;
    for (const CodingKey& key : path) {
        if (const auto* index = std::get_if<std::size_t>(&key)) {
            text += '[';
            text += std::to_string(*index);
            text += ']';
        } else {
            if (!text.empty()) {
                text += ".";
            }
            text += std::get<std::string>(key);
        }
    }
    return text;
}

DecodingError::DecodingError(Kind kind, CodingPath codingPath, std::string description)
    : std::runtime_error(std::string(kindText(kind)) + " at " + describe(codingPath) + ": " +
                         description),
      kind_(kind),
      codingPath_(std::move(codingPath)),
      description_(std::move(description)) {}

EncodingError::EncodingError(CodingPath codingPath, std::string description)
    : std::runtime_error("Invalid value at " + describe(codingPath) + ": " + description),
      codingPath_(std::move(codingPath)),
      description_(std::move(description)) {}

EncodingError EncodingError::nestedIn(CodingKey key) const {
    CodingPath path;
    path.reserve(codingPath_.size() + 1);
    path.push_back(std::move(key));
    path.insert(path.end(), codingPath_.begin(), codingPath_.end());
    return EncodingError(std::move(path), description_);
}

namespace detail {

CodingPath materialize(const CodingPathLink* link) {
    CodingPath path;
    for (; link != nullptr; link = link->parent) {
        if (link->isIndex) {
            path.emplace_back(link->index);
        } else {
            path.emplace_back(std::string(link->key));
        }
    }
    std::reverse(path.begin(), path.end());
    return path;
}

std::int64_t decodeSignedInteger(const JSONValueDecoder& decoder, std::int64_t minimum,
                                 std::int64_t maximum, std::string_view typeName) {
    const Json& json = decoder.json();
    if (json.is_number_unsigned()) {
        const auto value = json.get<std::uint64_t>();
        if (value > static_cast<std::uint64_t>(maximum)) {
            throwDoesNotFit(decoder, typeName);
        }
        return static_cast<std::int64_t>(value);
    }
    if (json.is_number_integer()) {
        const auto value = json.get<std::int64_t>();
        if (value < minimum || value > maximum) {
            throwDoesNotFit(decoder, typeName);
        }
        return value;
    }
    if (json.is_number_float()) {
        const auto value = integralValue(json.get<double>(), static_cast<double>(minimum),
                                         static_cast<double>(maximum) + 1.0);
        if (!value) {
            throwDoesNotFit(decoder, typeName);
        }
        return static_cast<std::int64_t>(*value);
    }
    decoder.typeMismatch(typeName);
}

std::uint64_t decodeUnsignedInteger(const JSONValueDecoder& decoder, std::uint64_t maximum,
                                    std::string_view typeName) {
    const Json& json = decoder.json();
    if (json.is_number_unsigned()) {
        const auto value = json.get<std::uint64_t>();
        if (value > maximum) {
            throwDoesNotFit(decoder, typeName);
        }
        return value;
    }
    if (json.is_number_integer()) {
        // The parser stores non-negative integers as unsigned, except `-0`, whose value is 0.
        if (json.get<std::int64_t>() != 0) {
            throwDoesNotFit(decoder, typeName);
        }
        return 0;
    }
    if (json.is_number_float()) {
        const auto value =
            integralValue(json.get<double>(), 0.0, static_cast<double>(maximum) + 1.0);
        if (!value) {
            throwDoesNotFit(decoder, typeName);
        }
        return static_cast<std::uint64_t>(*value);
    }
    decoder.typeMismatch(typeName);
}

void unknownEnumerationText(const JSONValueDecoder& decoder, std::string_view typeName,
                            const std::string& text) {
    decoder.dataCorrupted("Cannot initialize " + std::string(typeName) + " from invalid value " +
                          serializeJSON(Json(text)) + ".");
}

}  // namespace detail

JSONObjectDecoder JSONValueDecoder::object() const {
    if (!json_.is_object()) {
        typeMismatch("an object");
    }
    return JSONObjectDecoder(json_, link_);
}

void JSONValueDecoder::typeMismatch(std::string_view expected) const {
    throw DecodingError(DecodingError::Kind::typeMismatch, codingPath(),
                        "Expected " + std::string(expected) + " but found " +
                            std::string(jsonTypeDescription(json_)) + " instead.");
}

void JSONValueDecoder::dataCorrupted(std::string description) const {
    throw DecodingError(DecodingError::Kind::dataCorrupted, codingPath(), std::move(description));
}

const Json* JSONObjectDecoder::find(std::string_view key) const {
    const auto found = json_.find(key);
    if (found == json_.end() || found->is_null()) {
        return nullptr;
    }
    return &*found;
}

const Json& JSONObjectDecoder::required(std::string_view key,
                                        const detail::CodingPathLink& link) const {
    const auto found = json_.find(key);
    if (found == json_.end()) {
        throw DecodingError(DecodingError::Kind::keyNotFound, detail::materialize(&link),
                            "No value associated with key \"" + std::string(key) + "\".");
    }
    if (found->is_null()) {
        throw DecodingError(DecodingError::Kind::valueNotFound, detail::materialize(&link),
                            "Expected a value but found null instead.");
    }
    return *found;
}

void JSONObjectDecoder::dataCorrupted(std::string_view key, std::string description) const {
    const detail::CodingPathLink link{link_, key};
    throw DecodingError(DecodingError::Kind::dataCorrupted, detail::materialize(&link),
                        std::move(description));
}

ParsedJSON parseJSONDocument(std::string_view text) {
    DocumentBuilder builder;
    if (!Json::sax_parse(text, &builder)) {
        // Syntax errors and numbers too large for a double alike.
        throw DecodingError(DecodingError::Kind::dataCorrupted, {},
                            "The given data was not valid JSON.");
    }
    return std::move(builder).finish();
}

Json parseJSON(std::string_view text) {
    return parseJSONDocument(text).document;
}

std::string serializeJSON(const Json& json) {
    std::string text;
    JSONTextWriter(text, JSONCharacters::utf8).writeTree(json);
    return text;
}

bool JSONCoding<bool>::decode(const JSONValueDecoder& decoder) {
    if (!decoder.json().is_boolean()) {
        decoder.typeMismatch("Bool");
    }
    return decoder.json().get<bool>();
}

std::string JSONCoding<std::string>::decode(const JSONValueDecoder& decoder) {
    if (!decoder.json().is_string()) {
        decoder.typeMismatch("String");
    }
    return decoder.json().get<std::string>();
}

double JSONCoding<double>::decode(const JSONValueDecoder& decoder) {
    if (!decoder.json().is_number()) {
        decoder.typeMismatch("Double");
    }
    return decoder.json().get<double>();
}

Json JSONCoding<double>::encode(double value) {
    if (!std::isfinite(value)) {
        throw EncodingError({}, "A non-finite number has no JSON form.");
    }
    return value;
}

Date JSONCoding<Date>::decode(const JSONValueDecoder& decoder) {
    return Date{decoder.decode<double>()};
}

Json JSONCoding<Date>::encode(const Date& value) {
    return JSONCoding<double>::encode(value.timeIntervalSinceReferenceDate);
}

UUID JSONCoding<UUID>::decode(const JSONValueDecoder& decoder) {
    const auto text = decoder.decode<std::string>();
    const auto uuid = UUID::parse(text);
    if (!uuid) {
        decoder.dataCorrupted("Expected a UUID text (8-4-4-4-12 hexadecimal digits).");
    }
    return *uuid;
}

}  // namespace quorin
