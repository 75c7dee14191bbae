#pragma once

#include "QuorinCore/Protection/ExecutionProtectionConfiguration.hpp"

#include <map>
#include <string>

namespace quorin {

/// Whether putting `proposed` in place of `current` would hold less: protection turned off, a
/// watched root dropped, an executable added to the baseline or its known version changed, an
/// alias dropped or pointed elsewhere, or a reference dropped or made to count for less time.
/// Protection that is off holds nothing, so no change to it weakens anything.
bool weakensProtection(const ExecutionProtectionConfiguration& current,
                       const ExecutionProtectionConfiguration& proposed);

/// Whether replacing the references `current` with `proposed` drops one or shortens the time it
/// counts as recent.
bool weakensReferences(const std::map<std::string, Date>& current,
                       const std::map<std::string, Date>& proposed);

}  // namespace quorin
