#pragma once

#include <exception>

namespace quorin::daemon {

/// Why execution protection could not store or read what it must remember. Carries no message:
/// each caller reports it with its own problem message.
class ProtectionError : public std::exception {
  public:
    enum class Kind {
        storage,   // the directory or a file could not be used, or an I/O call failed
        capacity,  // a size or count limit was reached
    };

    explicit ProtectionError(Kind kind) : kind_(kind) {}
    Kind kind() const noexcept { return kind_; }
    const char* what() const noexcept override {
        return kind_ == Kind::storage ? "ProtectionError.storage" : "ProtectionError.capacity";
    }

  private:
    Kind kind_;
};

}  // namespace quorin::daemon
