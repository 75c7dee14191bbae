#pragma once

#include <unistd.h>

#include <utility>

namespace quorin {

/// The sole owner of a POSIX file descriptor: it closes the descriptor when it is destroyed or
/// given another one, so every path out of an operation, including an exception, releases it.
/// Moving hands the descriptor over; an empty owner holds -1. Close errors are ignored: the
/// descriptors owned here are only read, so there is no unwritten data a failed close could lose.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int descriptor) noexcept : descriptor_(descriptor) {}

    UniqueFd(UniqueFd&& other) noexcept : descriptor_(std::exchange(other.descriptor_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.descriptor_, -1));
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    ~UniqueFd() { reset(); }

    int get() const noexcept { return descriptor_; }
    bool valid() const noexcept { return descriptor_ >= 0; }

    /// Closes the descriptor held, if any, and takes `descriptor` instead.
    void reset(int descriptor = -1) noexcept {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
        descriptor_ = descriptor;
    }

  private:
    int descriptor_ = -1;
};

}  // namespace quorin
