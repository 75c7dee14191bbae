#pragma once

#include <cstddef>
#include <functional>

namespace quorin {

/// Mixes the standard hash of `value` into `seed`, so a record can hash all of its fields in
/// order. Different field orders give different hashes, which is what a record wants.
template <class T>
void hashCombine(std::size_t& seed, const T& value) {
    constexpr std::size_t goldenRatio = 0x9e3779b97f4a7c15;
    seed ^= std::hash<T>{}(value) + goldenRatio + (seed << 6) + (seed >> 2);
}

}  // namespace quorin
