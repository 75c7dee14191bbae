#include "QuorinCore/Support/Date.hpp"

#include <cmath>

namespace quorin {

bool Date::isFinite() const {
    return std::isfinite(timeIntervalSinceReferenceDate);
}

}  // namespace quorin
