#pragma once

// Two independent pieces of work on a large input, run on two threads.

#include <algorithm>
#include <cstddef>
#include <exception>
#include <future>
#include <iterator>
#include <system_error>
#include <vector>

namespace quorin {

/// Below this many records in a list, a second thread costs more than it saves.
inline constexpr std::size_t sideBySideRecords = 2'048;

/// Runs `first` on a thread of its own and `second` on this one, and returns once both are done.
/// They fail as running `first` and then `second` would: an exception of `first` is rethrown in
/// preference to one of `second`. Neither may touch what the other writes. Without a thread to be
/// had, they run one after the other.
template <class First, class Second>
void runSideBySide(First&& first, Second&& second) {
    std::future<void> firstDone;
    try {
        firstDone = std::async(std::launch::async, [&first] { first(); });
    } catch (const std::system_error&) {
        first();
        second();
        return;
    }
    std::exception_ptr secondFailure;
    try {
        second();
    } catch (...) {
        secondFailure = std::current_exception();
    }
    firstDone.get();
    if (secondFailure) {
        std::rethrow_exception(secondFailure);
    }
}

/// The elements `map(0, false)` to `map(count - 1, ...)`, in order. From `sideBySideRecords` on,
/// the two halves are mapped side by side, the second with `inSecondHalf` set so that each half
/// may use state of its own; a fault of the first half is rethrown in preference to one of the
/// second, as one pass in order would raise it.
template <class Map>
auto mappedInHalves(std::size_t count, Map map) {
    const auto mapped = [&map](std::size_t begin, std::size_t end, bool inSecondHalf) {
        std::vector<decltype(map(std::size_t{0}, false))> result;
        result.reserve(end - begin);
        for (std::size_t index = begin; index < end; ++index) {
            result.push_back(map(index, inSecondHalf));
        }
        return result;
    };
    if (count < sideBySideRecords) {
        return mapped(0, count, false);
    }
    const std::size_t middle = count / 2;
    decltype(mapped(0, 0, false)) first;
    decltype(first) second;
    runSideBySide([&] { first = mapped(0, middle, false); },
                  [&] { second = mapped(middle, count, true); });
    first.reserve(first.size() + second.size());
    std::move(second.begin(), second.end(), std::back_inserter(first));
    return first;
}

}  // namespace quorin
