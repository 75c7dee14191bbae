#pragma once

// The closed key sets of the replay fixture document, checked over a parsed document.

#include "QuorinCore/Replay/ReplayFixtureValidationError.hpp"
#include "QuorinCore/Support/JSON.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quorin {

/// Rejects any object key that the replay fixture format does not define. Each object the format
/// defines (the document, its protected paths, processes and events, and an event's previous
/// file) is checked against its own key set; a container of an unexpected shape is skipped, since
/// structural decoding reports it with a better error. Runs after the duplicate-key validator and
/// before structural decoding, so an unknown key anywhere is reported before any type error.
class ReplayJSONSchema {
  public:
    ReplayJSONSchema() = delete;

    // The key sets, each in the order of its record's fields.
    static constexpr std::array<std::string_view, 4> documentKeys{"schemaVersion", "protectedPaths",
                                                                  "processes", "events"};
    static constexpr std::array<std::string_view, 5> protectedPathKeys{
        "id", "path", "category", "recursive", "contentPolicy"};
    static constexpr std::array<std::string_view, 9> processKeys{"id",
                                                                 "pid",
                                                                 "auditToken",
                                                                 "parentID",
                                                                 "responsibleID",
                                                                 "executablePath",
                                                                 "signingStatus",
                                                                 "recognizedPackageManager",
                                                                 "observedAt"};
    static constexpr std::array<std::string_view, 19> eventKeys{"id",
                                                                "sequence",
                                                                "observedAt",
                                                                "operation",
                                                                "processID",
                                                                "attribution",
                                                                "fileID",
                                                                "path",
                                                                "size",
                                                                "ownerID",
                                                                "groupID",
                                                                "sha256",
                                                                "isExecutable",
                                                                "mode",
                                                                "signingStatus",
                                                                "destinationPath",
                                                                "previousFile",
                                                                "referencedExecutables",
                                                                "addedReferencedExecutables"};
    static constexpr std::array<std::string_view, 9> previousFileKeys{
        "id",   "path",   "size",         "ownerID",      "groupID",
        "mode", "sha256", "isExecutable", "signingStatus"};

    /// Throws `ReplayFixtureValidationError::unknownKey` for the first object, in document order,
    /// that has a key outside its set, naming the smallest such key in Unicode scalar order.
    static void validateUnknownKeys(const Json& document);

    /// The same check over a document of another parser. `Tree` reads its values, which are
    /// cheap handles: `isObject(value)`, `isArray(value)`, `member(object, key)` (a handle or
    /// nothing), `forEachKey(object, body)` and `forEachElement(array, body)`, whose body returns
    /// false to stop.
    template <class Tree>
    static void validateUnknownKeys(typename Tree::Value document);

  private:
    template <class Tree>
    static void checkObject(typename Tree::Value object, std::span<const std::string_view> allowed,
                            const std::string& path);

    template <class Tree>
    static bool isArrayOfObjects(typename Tree::Value value);

    template <class Tree>
    static void checkElements(typename Tree::Value document, std::string_view key,
                              std::span<const std::string_view> allowed);

    static std::string elementPath(std::string_view key, std::size_t index) {
        return "$." + std::string(key) + "[" + std::to_string(index) + "]";
    }
};

template <class Tree>
void ReplayJSONSchema::checkObject(typename Tree::Value object,
                                   std::span<const std::string_view> allowed,
                                   const std::string& path) {
    // Of all unknown keys, the one that sorts first is reported, so the error does not depend on
    // the order of the keys in the text. string_view compares bytes as unsigned, and the byte
    // order of UTF-8 is the order of the Unicode scalar values it encodes.
    std::optional<std::string_view> first;
    Tree::forEachKey(object, [&](std::string_view key) {
        if (std::find(allowed.begin(), allowed.end(), key) == allowed.end() &&
            (!first || key < *first)) {
            first = key;
        }
        return true;
    });
    if (first) {
        throw ReplayFixtureValidationError::unknownKey(path, *first);
    }
}

template <class Tree>
bool ReplayJSONSchema::isArrayOfObjects(typename Tree::Value value) {
    if (!Tree::isArray(value)) {
        return false;
    }
    bool allObjects = true;
    Tree::forEachElement(value, [&](typename Tree::Value element) {
        allObjects = Tree::isObject(element);
        return allObjects;
    });
    return allObjects;
}

template <class Tree>
void ReplayJSONSchema::checkElements(typename Tree::Value document, std::string_view key,
                                     std::span<const std::string_view> allowed) {
    const auto elements = Tree::member(document, key);
    if (!elements || !isArrayOfObjects<Tree>(*elements)) {
        return;
    }
    std::size_t index = 0;
    Tree::forEachElement(*elements, [&](typename Tree::Value element) {
        checkObject<Tree>(element, allowed, elementPath(key, index++));
        return true;
    });
}

template <class Tree>
void ReplayJSONSchema::validateUnknownKeys(typename Tree::Value document) {
    if (!Tree::isObject(document)) {
        return;
    }
    checkObject<Tree>(document, documentKeys, "$");
    checkElements<Tree>(document, "protectedPaths", protectedPathKeys);
    checkElements<Tree>(document, "processes", processKeys);

    const auto events = Tree::member(document, "events");
    if (!events || !isArrayOfObjects<Tree>(*events)) {
        return;
    }
    std::size_t index = 0;
    Tree::forEachElement(*events, [&](typename Tree::Value event) {
        const std::string path = elementPath("events", index++);
        checkObject<Tree>(event, eventKeys, path);
        const auto previousFile = Tree::member(event, "previousFile");
        if (previousFile && Tree::isObject(*previousFile)) {
            checkObject<Tree>(*previousFile, previousFileKeys, path + ".previousFile");
        }
        return true;
    });
}

}  // namespace quorin
