#pragma once

#include "QuorinCore/Attribution/AncestryWalking.hpp"
#include "QuorinCore/Domain/AttributionRecord.hpp"

#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace quorin {

/// The ancestries of writing processes, remembered so that a burst of writes by one process walks
/// the process table once rather than once per record.
///
/// An entry belongs to one process: a pid and the start time it was walked with. Every ask looks
/// at the writer once (`AncestryWalking::status`, a single read of its stat file on Linux) and
/// uses the entry only when the start time and the parent pid are both still those; otherwise
/// the entry goes and the table is walked anew. So a pid taken over by another process never
/// inherits the ancestry of the one before it, and a writer whose parent exited, and that was
/// handed to a reaper, is walked again and names the reaper, as a walk at that moment would.
/// Ancestors above the parent are not looked at again: they stay as the walk found them, pids
/// and executables, even once one of them exits or runs another program. The record then names
/// the lineage the writer was walked in rather than a reaper its parent was handed to later;
/// telling the two apart would cost a read per ancestor, the very cost the cache saves.
///
/// The walk reads the table after the look at the writer, so what it finds is that process's
/// ancestry or, had the pid changed hands in between, a later process's; the entry is kept under
/// the start time looked at, which then names a process that is gone and never matches again.
///
/// Entries of exited processes go at the first ask for their pid once the process is gone (its
/// status cannot be read, or the pid has another start time) and, when `maximumCachedProcesses`
/// are held, the least recently used goes to make room: a process that has exited writes no more,
/// so its entry sinks to that end. Until then such an entry is never used and costs only its
/// place. However many processes local users start, the cache holds at most
/// `maximumCachedProcesses` entries of at most `AncestryWalker::maxAncestors` ancestors each.
///
/// May be asked from any thread: the entries are guarded by one lock, not held during a walk.
/// Two threads that walk the same process at once each keep their entry, the later replacing the
/// earlier.
class AncestryCache {
  public:
    /// The processes whose ancestries are remembered at most.
    static constexpr std::size_t maximumCachedProcesses = 256;

    /// `walking` must outlive the cache.
    explicit AncestryCache(const AncestryWalking& walking) : walking_(walking) {}

    AncestryCache(const AncestryCache&) = delete;
    AncestryCache& operator=(const AncestryCache&) = delete;

    /// The ancestors of `pid`, nearest first, as `AncestryWalker::walk` finds them; none when
    /// `pid` has exited.
    std::vector<AttributionProcess> ancestry(std::int32_t pid);

  private:
    struct Entry {
        std::int32_t pid;
        ProcessStatus status;  // the writer's when it was walked
        std::vector<AttributionProcess> ancestry;
    };
    using Entries = std::list<Entry>;

    void forget(std::int32_t pid);  // with mutex_ held

    const AncestryWalking& walking_;
    std::mutex mutex_;
    Entries entries_;  // guarded by mutex_; most recent first
    std::unordered_map<std::int32_t, Entries::iterator> byPid_;  // guarded by mutex_
};

}  // namespace quorin
