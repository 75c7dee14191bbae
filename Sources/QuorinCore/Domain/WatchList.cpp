#include "QuorinCore/Domain/WatchList.hpp"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

namespace quorin {

Json WatchListEntry::toJSON() const {
    JSONObjectEncoder encoder;
    encoder.encode("protectedPath", protectedPath);
    encoder.encode("enabled", enabled);
    encoder.encode("isDefault", isDefault);
    return std::move(encoder).finish();
}

WatchListEntry WatchListEntry::fromJSON(const JSONValueDecoder& decoder) {
    const JSONObjectDecoder object = decoder.object();
    return WatchListEntry{
        .protectedPath = object.decode<ProtectedPath>("protectedPath"),
        .enabled = object.decode<bool>("enabled"),
        .isDefault = object.decode<bool>("isDefault"),
    };
}

std::ostream& operator<<(std::ostream& stream, const WatchList::AdditionRejection& rejection) {
    switch (rejection.kind()) {
        case WatchList::AdditionRejection::Kind::duplicatePath:
            return stream << "duplicatePath";
        case WatchList::AdditionRejection::Kind::coveredByEnabledRecursiveScope:
            return stream << "coveredByEnabledRecursiveScope(" << *rejection.coveringPath() << ")";
    }
    return stream;
}

std::vector<WatchListEntry> WatchList::restoringDefaults(
    const std::vector<WatchListEntry>& entries, const std::vector<ProtectedPath>& defaults) {
    // The first entry at each path; `entries` outlives the map.
    std::unordered_map<NormalizedPath, const WatchListEntry*> existing;
    existing.reserve(entries.size());
    for (const WatchListEntry& entry : entries) {
        existing.try_emplace(entry.protectedPath.normalizedPath, &entry);
    }

    std::unordered_set<NormalizedPath> defaultPaths;
    defaultPaths.reserve(defaults.size());
    std::vector<WatchListEntry> restored;
    restored.reserve(defaults.size() + entries.size());
    for (const ProtectedPath& defaultPath : defaults) {
        if (!defaultPaths.insert(defaultPath.normalizedPath).second) {
            continue;
        }
        if (const auto found = existing.find(defaultPath.normalizedPath); found != existing.end()) {
            WatchListEntry entry = *found->second;
            entry.enabled = true;
            restored.push_back(std::move(entry));
        } else {
            restored.push_back(
                WatchListEntry{.protectedPath = defaultPath, .enabled = true, .isDefault = true});
        }
    }
    for (const WatchListEntry& entry : entries) {
        if (!defaultPaths.contains(entry.protectedPath.normalizedPath)) {
            restored.push_back(entry);
        }
    }
    return restored;
}

std::optional<WatchList::AdditionRejection> WatchList::additionRejection(
    const ProtectedPath& candidate, const std::vector<WatchListEntry>& entries) {
    const NormalizedPath& path = candidate.normalizedPath;
    const bool listed = std::any_of(entries.begin(), entries.end(), [&](const auto& entry) {
        return entry.protectedPath.normalizedPath == path;
    });
    if (listed) {
        return AdditionRejection::duplicatePath();
    }
    for (const WatchListEntry& entry : entries) {
        if (entry.enabled && entry.protectedPath.recursive &&
            path.isEqualToOrDescendant(entry.protectedPath.normalizedPath)) {
            return AdditionRejection::coveredByEnabledRecursiveScope(
                entry.protectedPath.normalizedPath);
        }
    }
    return std::nullopt;
}

}  // namespace quorin
