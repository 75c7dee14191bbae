#pragma once

#include <cstddef>
#include <exception>
#include <functional>

namespace quorin {

/// Why a home directory cannot be used to redact an export. Carries no message: each client says
/// what it means for its own input.
class AIExportOptionsError : public std::exception {
  public:
    enum class Kind {
        emptyHomeDirectory,     // the text is empty
        relativeHomeDirectory,  // it does not begin with "/"
        rootHomeDirectory,      // it normalizes to "/", which would redact every path
    };

    explicit AIExportOptionsError(Kind kind) : kind_(kind) {}
    Kind kind() const noexcept { return kind_; }
    const char* what() const noexcept override;

    friend bool operator==(const AIExportOptionsError& lhs, const AIExportOptionsError& rhs) {
        return lhs.kind_ == rhs.kind_;
    }

  private:
    Kind kind_;
};

}  // namespace quorin

template <>
struct std::hash<quorin::AIExportOptionsError> {
    std::size_t operator()(const quorin::AIExportOptionsError& error) const noexcept {
        return std::hash<quorin::AIExportOptionsError::Kind>{}(error.kind());
    }
};
