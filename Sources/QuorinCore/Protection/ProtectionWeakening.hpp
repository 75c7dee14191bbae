#pragma once

#include "QuorinCore/Protection/ExecutionProtectionConfiguration.hpp"

#include <map>
#include <string>

namespace quorin {

/// Whether replacing the references `current` with `proposed` drops one or shortens the time it
/// counts as recent.
bool weakensReferences(const std::map<std::string, Date>& current,
                       const std::map<std::string, Date>& proposed);

}  // namespace quorin
