#pragma once

#include "QuorinCore/Domain/NormalizedPath.hpp"
#include "QuorinCore/Domain/ProtectedPath.hpp"
#include "QuorinCore/Support/JSON.hpp"

#include <optional>
#include <ostream>
#include <utility>
#include <vector>

namespace quorin {

/// One line of the user's watch list: a protected path, whether it is watched now, and whether it
/// is one of the built-in defaults. Only `enabled` is meant to change over the entry's life; all
/// three fields are required in JSON.
struct WatchListEntry {
    ProtectedPath protectedPath;
    bool enabled;
    bool isDefault;

    friend bool operator==(const WatchListEntry&, const WatchListEntry&) = default;

    Json toJSON() const;
    static WatchListEntry fromJSON(const JSONValueDecoder& decoder);
};

/// The operations that edit a watch list, a plain list of entries in the user's order: putting
/// the built-in defaults back, and deciding whether a new entry may join. Both are pure; two
/// entries are "at the same path" when their normalized paths are equal texts.
struct WatchList {
    WatchList() = delete;

    /// Why a protected path cannot join a watch list. Either case is built only through its
    /// factory, so the covering path is present exactly for `coveredByEnabledRecursiveScope`.
    class AdditionRejection {
      public:
        enum class Kind {
            duplicatePath,                   // an entry at the same path is already listed
            coveredByEnabledRecursiveScope,  // an enabled recursive entry already covers it
        };

        static AdditionRejection duplicatePath() {
            return AdditionRejection(Kind::duplicatePath, std::nullopt);
        }
        /// `scope` is the normalized path of the covering entry.
        static AdditionRejection coveredByEnabledRecursiveScope(NormalizedPath scope) {
            return AdditionRejection(Kind::coveredByEnabledRecursiveScope, std::move(scope));
        }

        Kind kind() const { return kind_; }
        /// The covering entry's normalized path; nothing for `duplicatePath`.
        const std::optional<NormalizedPath>& coveringPath() const { return coveringPath_; }

        friend bool operator==(const AdditionRejection&, const AdditionRejection&) = default;
        /// "duplicatePath" or "coveredByEnabledRecursiveScope(<path>)".
        friend std::ostream& operator<<(std::ostream& stream, const AdditionRejection& rejection);

      private:
        AdditionRejection(Kind kind, std::optional<NormalizedPath> coveringPath)
            : kind_(kind), coveringPath_(std::move(coveringPath)) {}

        Kind kind_;
        std::optional<NormalizedPath> coveringPath_;
    };

    /// The defaults, in their order, each enabled, followed by the other entries in theirs. An
    /// entry already at a default's path takes that default's place unchanged except that it is
    /// enabled again (with several there, the first); a default without one becomes a new entry
    /// marked `isDefault`. Entries at no default's path keep their `enabled` value, duplicates
    /// among them included. A default repeating an earlier default's path adds nothing, so no
    /// entry appears twice in the default part.
    static std::vector<WatchListEntry> restoringDefaults(
        const std::vector<WatchListEntry>& entries, const std::vector<ProtectedPath>& defaults);

    /// Why `candidate` cannot be added to `entries`, or nothing when it can. An entry at the same
    /// path rejects it whether enabled or not, ahead of any covering entry; otherwise the first
    /// enabled recursive entry that the candidate lies in rejects it. A candidate that would
    /// itself cover existing entries is accepted.
    static std::optional<AdditionRejection> additionRejection(
        const ProtectedPath& candidate, const std::vector<WatchListEntry>& entries);
};

}  // namespace quorin
