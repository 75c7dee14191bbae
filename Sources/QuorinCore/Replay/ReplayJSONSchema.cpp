#include "QuorinCore/Replay/ReplayJSONSchema.hpp"

namespace quorin {

namespace {

// The JSON layer's documents, read through pointers.
struct JSONLayerTree {
    using Value = const Json*;

    static bool isObject(Value value) { return value->is_object(); }
    static bool isArray(Value value) { return value->is_array(); }

    static std::optional<Value> member(Value object, std::string_view key) {
        const auto found = object->find(key);
        return found == object->end() ? std::nullopt : std::optional<Value>(&*found);
    }

    template <class Body>
    static void forEachKey(Value object, Body&& body) {
        for (const auto& member : object->items()) {
            if (!body(std::string_view(member.key()))) {
                return;
            }
        }
    }

    template <class Body>
    static void forEachElement(Value array, Body&& body) {
        for (const Json& element : *array) {
            if (!body(&element)) {
                return;
            }
        }
    }
};

}  // namespace

void ReplayJSONSchema::validateUnknownKeys(const Json& document) {
    validateUnknownKeys<JSONLayerTree>(&document);
}

}  // namespace quorin
