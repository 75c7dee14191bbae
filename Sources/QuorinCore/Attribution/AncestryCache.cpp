#include "QuorinCore/Attribution/AncestryCache.hpp"

#include "QuorinCore/Attribution/AncestryWalker.hpp"

namespace quorin {

std::vector<AttributionProcess> AncestryCache::ancestry(std::int32_t pid) {
    const std::optional<ProcessStatus> status = walking_.status(pid);
    {
        const std::lock_guard lock(mutex_);
        const auto found = byPid_.find(pid);
        if (found != byPid_.end() && status && found->second->status == *status) {
            entries_.splice(entries_.begin(), entries_, found->second);
            return found->second->ancestry;
        }
        forget(pid);
    }
    if (!status) {
        return {};  // exited: a walk would find no parent either
    }
    std::vector<AttributionProcess> walked = AncestryWalker::walk(pid, walking_);
    const std::lock_guard lock(mutex_);
    forget(pid);
    if (entries_.size() == maximumCachedProcesses) {
        forget(entries_.back().pid);
    }
    entries_.push_front(Entry{pid, *status, walked});
    byPid_.emplace(pid, entries_.begin());
    return walked;
}

void AncestryCache::forget(std::int32_t pid) {
    const auto found = byPid_.find(pid);
    if (found != byPid_.end()) {
        entries_.erase(found->second);
        byPid_.erase(found);
    }
}

}  // namespace quorin
