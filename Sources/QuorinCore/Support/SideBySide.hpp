#pragma once

// Two independent pieces of work on a large input, run on two threads.

#include <exception>
#include <future>
#include <system_error>

namespace quorin {

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

}  // namespace quorin
