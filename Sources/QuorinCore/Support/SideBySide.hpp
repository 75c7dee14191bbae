#pragma once

// Two independent pieces of work on a large input, run on two threads.

#include <algorithm>
#include <cstddef>
#include <exception>
#include <future>
#include <iterator>
#include <system_error>

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

/// The vector `produce(0, count)` would give, made as `produce(0, middle)` and
/// `produce(middle, count)` side by side and joined; a fault of the first half is rethrown in
/// preference to one of the second, as one pass in order would raise it.
template <class Produce>
auto producedInHalves(std::size_t count, Produce produce) {
    const std::size_t middle = count / 2;
    decltype(produce(std::size_t{0}, count)) first;
    decltype(first) second;
    runSideBySide([&] { first = produce(std::size_t{0}, middle); },
                  [&] { second = produce(middle, count); });
    first.reserve(first.size() + second.size());
    std::move(second.begin(), second.end(), std::back_inserter(first));
    return first;
}

}  // namespace quorin
