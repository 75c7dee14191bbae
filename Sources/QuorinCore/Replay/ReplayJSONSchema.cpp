#include "QuorinCore/Replay/ReplayJSONSchema.hpp"

#include "QuorinCore/Replay/ReplayFixtureValidationError.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quorin {

namespace {

using namespace std::string_view_literals;

constexpr std::array documentKeys{"schemaVersion"sv, "protectedPaths"sv, "processes"sv, "events"sv};

constexpr std::array protectedPathKeys{"id"sv, "path"sv, "category"sv, "recursive"sv,
                                       "contentPolicy"sv};

constexpr std::array processKeys{"id"sv,
                                 "pid"sv,
                                 "auditToken"sv,
                                 "parentID"sv,
                                 "responsibleID"sv,
                                 "executablePath"sv,
                                 "signingStatus"sv,
                                 "recognizedPackageManager"sv,
                                 "observedAt"sv};

constexpr std::array eventKeys{"id"sv,
                               "sequence"sv,
                               "observedAt"sv,
                               "operation"sv,
                               "processID"sv,
                               "attribution"sv,
                               "fileID"sv,
                               "path"sv,
                               "size"sv,
                               "ownerID"sv,
                               "groupID"sv,
                               "sha256"sv,
                               "isExecutable"sv,
                               "mode"sv,
                               "signingStatus"sv,
                               "destinationPath"sv,
                               "previousFile"sv,
                               "referencedExecutables"sv,
                               "addedReferencedExecutables"sv};

constexpr std::array previousFileKeys{"id"sv,      "path"sv,         "size"sv,
                                      "ownerID"sv, "groupID"sv,      "mode"sv,
                                      "sha256"sv,  "isExecutable"sv, "signingStatus"sv};

void checkObject(const Json& object, std::span<const std::string_view> allowed,
                 const std::string& path) {
    // Of all unknown keys, the one that sorts first is reported, so the error does not depend on
    // the order of the keys in the text. std::string compares bytes as unsigned, and the byte
    // order of UTF-8 is the order of the Unicode scalar values it encodes.
    std::optional<std::string> first;
    for (const auto& member : object.items()) {
        const std::string& key = member.key();
        if (std::find(allowed.begin(), allowed.end(), key) != allowed.end()) {
            continue;
        }
        if (!first || key < *first) {
            first = key;
        }
    }
    if (first) {
        throw ReplayFixtureValidationError::unknownKey(path, *first);
    }
}

// The elements of `document[key]` when it is an array of objects only, else nothing.
const Json* arrayOfObjects(const Json& document, std::string_view key) {
    const auto found = document.find(key);
    if (found == document.end() || !found->is_array()) {
        return nullptr;
    }
    const bool allObjects = std::all_of(found->begin(), found->end(),
                                        [](const Json& element) { return element.is_object(); });
    return allObjects ? &*found : nullptr;
}

std::string elementPath(std::string_view key, std::size_t index) {
    return "$." + std::string(key) + "[" + std::to_string(index) + "]";
}

void checkElements(const Json& document, std::string_view key,
                   std::span<const std::string_view> allowed) {
    const Json* elements = arrayOfObjects(document, key);
    if (elements == nullptr) {
        return;
    }
    for (std::size_t index = 0; index < elements->size(); ++index) {
        checkObject((*elements)[index], allowed, elementPath(key, index));
    }
}

}  // namespace

void ReplayJSONSchema::validateUnknownKeys(const Json& document) {
    if (!document.is_object()) {
        return;
    }
    checkObject(document, documentKeys, "$");
    checkElements(document, "protectedPaths", protectedPathKeys);
    checkElements(document, "processes", processKeys);

    const Json* events = arrayOfObjects(document, "events");
    if (events == nullptr) {
        return;
    }
    for (std::size_t index = 0; index < events->size(); ++index) {
        const Json& event = (*events)[index];
        const std::string path = elementPath("events", index);
        checkObject(event, eventKeys, path);
        const auto previousFile = event.find("previousFile");
        if (previousFile != event.end() && previousFile->is_object()) {
            checkObject(*previousFile, previousFileKeys, path + ".previousFile");
        }
    }
}

}  // namespace quorin
