#include "QuorinCore/Export/AIExportOptionsError.hpp"

namespace quorin {

const char* AIExportOptionsError::what() const noexcept {
    switch (kind_) {
        case Kind::emptyHomeDirectory:
            return "AIExportOptionsError.emptyHomeDirectory";
        case Kind::relativeHomeDirectory:
            return "AIExportOptionsError.relativeHomeDirectory";
        case Kind::rootHomeDirectory:
            return "AIExportOptionsError.rootHomeDirectory";
    }
    return "AIExportOptionsError";
}

}  // namespace quorin
