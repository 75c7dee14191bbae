// Decodes validated fixture bytes through simdjson's document, straight into the records, without
// building the JSON layer's document. It accepts only what the reference decoding accepts, with
// the same values; whatever it is not sure of it leaves to the reference, which then decodes it or
// names the fault in the words of the JSON layer.

#include "QuorinCore/Replay/ReplayFixtureDecoding.hpp"
#include "QuorinCore/Replay/ReplayFixtureFileLoader.hpp"
#include "QuorinCore/Replay/ReplayFixtureValidationError.hpp"
#include "QuorinCore/Replay/ReplayJSONSchema.hpp"
#include "QuorinCore/Support/Enumeration.hpp"
#include "QuorinCore/Support/SideBySide.hpp"

#include <simdjson.h>

#include <array>
#include <bitset>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorin {

namespace {

static_assert(ReplayFixtureFileLoader::readableSlack >= simdjson::SIMDJSON_PADDING,
              "a fixture file's text must be parsed where it lies");

using simdjson::dom::element;
using simdjson::dom::element_type;

// simdjson's documents, read through its element handles.
struct SimdjsonTree {
    using Value = element;

    static bool isObject(Value value) { return value.type() == element_type::OBJECT; }
    static bool isArray(Value value) { return value.type() == element_type::ARRAY; }

    static std::optional<Value> member(Value object, std::string_view key) {
        element found;
        if (object.get_object().at_key(key).get(found) != simdjson::SUCCESS) {
            return std::nullopt;
        }
        return found;
    }

    template <class Body>
    static void forEachKey(Value object, Body&& body) {
        const simdjson::dom::object members = object.get_object().value_unsafe();
        for (const simdjson::dom::key_value_pair member : members) {
            if (!body(member.key)) {
                return;
            }
        }
    }

    template <class Body>
    static void forEachElement(Value array, Body&& body) {
        const simdjson::dom::array items = array.get_array().value_unsafe();
        for (const element item : items) {
            if (!body(item)) {
                return;
            }
        }
    }
};

// Thrown, and caught at the top, when a value is left to the reference decoding.
struct LeftToReference {};

[[noreturn]] void leaveToReference() {
    throw LeftToReference{};
}

std::string_view text(element value) {
    std::string_view result;
    if (value.get_string().get(result) != simdjson::SUCCESS) {
        leaveToReference();
    }
    return result;
}

bool boolean(element value) {
    bool result = false;
    if (value.get_bool().get(result) != simdjson::SUCCESS) {
        leaveToReference();
    }
    return result;
}

// Integers written as integers only; the reference also reads integral fractions such as 5.0.
template <class I>
I integer(element value) {
    constexpr auto maximum = std::numeric_limits<I>::max();
    if (value.type() == element_type::INT64) {
        const std::int64_t number = value.get_int64().value_unsafe();
        if (number < static_cast<std::int64_t>(std::numeric_limits<I>::min()) ||
            (number > 0 && static_cast<std::uint64_t>(number) > maximum)) {
            leaveToReference();
        }
        return static_cast<I>(number);
    }
    if (value.type() == element_type::UINT64) {
        const std::uint64_t number = value.get_uint64().value_unsafe();
        if (number > static_cast<std::uint64_t>(maximum)) {
            leaveToReference();
        }
        return static_cast<I>(number);
    }
    leaveToReference();
}

// simdjson reads "-0" as the double -0.0, which the JSON layer reads as the integer 0 (so 0.0 as a
// double); the notation is gone, so a negative zero is left to the reference.
double number(element value) {
    switch (value.type()) {
        case element_type::INT64:
            return static_cast<double>(value.get_int64().value_unsafe());
        case element_type::UINT64:
            return static_cast<double>(value.get_uint64().value_unsafe());
        case element_type::DOUBLE: {
            const double result = value.get_double().value_unsafe();
            if (result == 0 && std::signbit(result)) {
                leaveToReference();
            }
            return result;
        }
        default:
            leaveToReference();
    }
}

template <TextEnumeration E>
E enumeration(element value) {
    const std::optional<E> result = enumerationCase<E>(text(value));
    if (!result) {
        leaveToReference();
    }
    return *result;
}

UUID uuid(element value) {
    const std::optional<UUID> result = UUID::parse(text(value));
    if (!result) {
        leaveToReference();
    }
    return *result;
}

std::vector<std::string> texts(element value) {
    simdjson::dom::array array;
    if (value.get_array().get(array) != simdjson::SUCCESS) {
        leaveToReference();
    }
    std::vector<std::string> result;
    result.reserve(array.size());
    for (const element item : array) {
        result.emplace_back(text(item));
    }
    return result;
}

// An object's members placed by key, in one pass over the object. The unknown-key check has run,
// and the validator has ruled out repeated keys, so every member has a place of its own.
template <std::size_t N>
class Members {
  public:
    Members(element value, const std::array<std::string_view, N>& keys) : keys_(keys) {
        simdjson::dom::object object;
        if (value.get_object().get(object) != simdjson::SUCCESS) {
            leaveToReference();
        }
        for (const simdjson::dom::key_value_pair member : object) {
            const std::size_t index = indexOf(member.key);
            if (index == N) {
                leaveToReference();
            }
            values_[index] = member.value;
            present_.set(index);
        }
    }

    /// The value at `key`; absent or null is left to the reference.
    element required(std::string_view key) const {
        const std::optional<element> value = optional(key);
        if (!value) {
            leaveToReference();
        }
        return *value;
    }

    /// The value at `key`, or nothing when it is absent or null.
    std::optional<element> optional(std::string_view key) const {
        const std::size_t index = indexOf(key);
        if (!present_.test(index) || values_[index].is_null()) {
            return std::nullopt;
        }
        return values_[index];
    }

    template <class T, class Decode>
    std::optional<T> optional(std::string_view key, Decode decode) const {
        const std::optional<element> value = optional(key);
        if (!value) {
            return std::nullopt;
        }
        return decode(*value);
    }

  private:
    std::size_t indexOf(std::string_view key) const {
        std::size_t index = 0;
        while (index < N && keys_[index] != key) {
            ++index;
        }
        return index;
    }

    const std::array<std::string_view, N>& keys_;
    std::array<element, N> values_{};
    std::bitset<N> present_;
};

template <class Record, class Decode>
std::vector<Record> records(element value, Decode decode) {
    simdjson::dom::array array;
    if (value.get_array().get(array) != simdjson::SUCCESS) {
        leaveToReference();
    }
    // The document only is read, so halves of a long list decode side by side.
    const std::vector<element> items(array.begin(), array.end());
    return mappedInHalves(
        items.size(), [&items, &decode](std::size_t index, bool) { return decode(items[index]); });
}

ReplayProtectedPath protectedPath(element value) {
    const Members object(value, ReplayJSONSchema::protectedPathKeys);
    return ReplayProtectedPath{
        .id = uuid(object.required("id")),
        .path = std::string(text(object.required("path"))),
        .category = enumeration<PathCategory>(object.required("category")),
        .recursive = boolean(object.required("recursive")),
        .contentPolicy = enumeration<ContentHistoryPolicy>(object.required("contentPolicy")),
    };
}

ReplayProcess process(element value) {
    const Members object(value, ReplayJSONSchema::processKeys);
    return ReplayProcess{
        .id = uuid(object.required("id")),
        .pid = integer<std::int32_t>(object.required("pid")),
        .auditToken = std::string(text(object.required("auditToken"))),
        .parentID = object.optional<UUID>("parentID", uuid),
        .responsibleID = object.optional<UUID>("responsibleID", uuid),
        .executablePath = std::string(text(object.required("executablePath"))),
        .signingStatus = enumeration<CodeSigningStatus>(object.required("signingStatus")),
        .recognizedPackageManager =
            object.optional<bool>("recognizedPackageManager", boolean).value_or(false),
        .observedAt = Date{number(object.required("observedAt"))},
    };
}

std::optional<std::string> optionalText(const auto& object, std::string_view key) {
    return object.template optional<std::string>(
        key, [](element value) { return std::string(text(value)); });
}

ReplayFileMetadata previousFile(element value) {
    const Members object(value, ReplayJSONSchema::previousFileKeys);
    return ReplayFileMetadata{
        .id = uuid(object.required("id")),
        .path = std::string(text(object.required("path"))),
        .size = integer<std::uint64_t>(object.required("size")),
        .ownerID = integer<std::uint32_t>(object.required("ownerID")),
        .groupID = integer<std::uint32_t>(object.required("groupID")),
        .mode = integer<std::uint16_t>(object.required("mode")),
        .sha256 = optionalText(object, "sha256"),
        .isExecutable = boolean(object.required("isExecutable")),
        .signingStatus =
            object.optional<CodeSigningStatus>("signingStatus", enumeration<CodeSigningStatus>),
    };
}

ReplayEvent event(element value) {
    const Members object(value, ReplayJSONSchema::eventKeys);
    return ReplayEvent{
        .id = uuid(object.required("id")),
        .sequence = integer<std::uint64_t>(object.required("sequence")),
        .observedAt = Date{number(object.required("observedAt"))},
        .operation = enumeration<EventOperation>(object.required("operation")),
        .processID = object.optional<UUID>("processID", uuid),
        .attribution = enumeration<AttributionConfidence>(object.required("attribution")),
        .fileID = uuid(object.required("fileID")),
        .path = std::string(text(object.required("path"))),
        .size = object.optional<std::uint64_t>("size", integer<std::uint64_t>).value_or(0),
        .ownerID = object.optional<std::uint32_t>("ownerID", integer<std::uint32_t>).value_or(501),
        .groupID = object.optional<std::uint32_t>("groupID", integer<std::uint32_t>).value_or(20),
        .sha256 = optionalText(object, "sha256"),
        .isExecutable = boolean(object.required("isExecutable")),
        .mode = integer<std::uint16_t>(object.required("mode")),
        .signingStatus =
            object.optional<CodeSigningStatus>("signingStatus", enumeration<CodeSigningStatus>),
        .destinationPath = optionalText(object, "destinationPath"),
        .previousFile = object.optional<ReplayFileMetadata>("previousFile", previousFile),
        .referencedExecutables = texts(object.required("referencedExecutables")),
        .addedReferencedExecutables =
            object.optional<std::vector<std::string>>("addedReferencedExecutables", texts)
                .value_or(std::vector<std::string>{}),
    };
}

}  // namespace

std::optional<ReplayFixture> ReplayFixtureDecoding::fast(std::string_view validatedBytes,
                                                         std::size_t readableSlack) {
    simdjson::dom::parser parser;
    element root;
    const bool needsPaddedCopy = readableSlack < simdjson::SIMDJSON_PADDING;
    // simdjson refuses what the validator lets through only for numbers (beyond a double, or
    // integers beyond 64 bits); the reference reads or refuses those in its own words.
    if (parser.parse(validatedBytes.data(), validatedBytes.size(), needsPaddedCopy).get(root) !=
        simdjson::SUCCESS) {
        return std::nullopt;
    }
    ReplayJSONSchema::validateUnknownKeys<SimdjsonTree>(root);
    if (!SimdjsonTree::isObject(root)) {
        return std::nullopt;
    }
    if (!SimdjsonTree::member(root, "schemaVersion")) {
        throw ReplayFixtureValidationError::missingSchemaVersion();
    }
    try {
        const Members document(root, ReplayJSONSchema::documentKeys);
        return ReplayFixture{
            .schemaVersion = integer<std::int64_t>(document.required("schemaVersion")),
            .protectedPaths =
                records<ReplayProtectedPath>(document.required("protectedPaths"), protectedPath),
            .processes = records<ReplayProcess>(document.required("processes"), process),
            .events = records<ReplayEvent>(document.required("events"), event),
        };
    } catch (const LeftToReference&) {
        return std::nullopt;
    }
}

}  // namespace quorin
