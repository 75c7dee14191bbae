#pragma once

#include "QuorinCore/Domain/NormalizedPath.hpp"
#include "QuorinCore/Support/Hashing.hpp"

#include <functional>
#include <string>

namespace quorin {

/// A diff the user chose to share with an incident analysis: the file it is about and the diff
/// text as selected, any number of lines.
struct IncidentDiff {
    NormalizedPath path;
    std::string text;

    friend bool operator==(const IncidentDiff&, const IncidentDiff&) = default;
};

}  // namespace quorin

template <>
struct std::hash<quorin::IncidentDiff> {
    std::size_t operator()(const quorin::IncidentDiff& diff) const noexcept {
        std::size_t seed = 0;
        quorin::hashCombine(seed, diff.path);
        quorin::hashCombine(seed, diff.text);
        return seed;
    }
};
