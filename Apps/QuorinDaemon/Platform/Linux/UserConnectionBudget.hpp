#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <variant>

namespace quorin::daemon {

/// What the connections of one local user may hold in the daemon at once: how many there are,
/// the bytes queued for them that the peers have not read yet (per connection and across the
/// user's connections), and the bytes held in frames that have not fully arrived (across the
/// user's connections). Shared by a listener and its connections from any thread; each share
/// keeps the budget alive.
class UserConnectionBudget : public std::enable_shared_from_this<UserConnectionBudget> {
  public:
    struct Limits {
        std::size_t connections;
        std::size_t queuedBytesPerConnection;
        std::size_t queuedBytesPerUser;
        std::size_t partialFrameBytesPerUser;
    };

    /// A bound a connection would pass, for the log: what it holds and the bound in bytes.
    struct Overrun {
        std::string_view holding;
        std::size_t bound;
    };

    /// One open connection's part of its user's budget, given back when it goes.
    class Share {
      public:
        Share(Share&& other) noexcept;
        Share& operator=(Share&&) = delete;
        ~Share();

        uid_t user() const { return user_; }

        /// Counts `bytes` more as queued; when the connection or its user would pass a bound,
        /// nothing is counted and the bound is returned.
        std::optional<Overrun> queue(std::size_t bytes);
        /// `bytes` of what was queued have been written (or dropped).
        void unqueue(std::size_t bytes);
        /// The connection now holds `bytes` of an incomplete frame; when its user would pass the
        /// bound, nothing changes and the bound is returned.
        std::optional<Overrun> holdPartialFrame(std::size_t bytes);

      private:
        friend class UserConnectionBudget;
        Share(std::shared_ptr<UserConnectionBudget> budget, uid_t user)
            : budget_(std::move(budget)), user_(user) {}

        std::shared_ptr<UserConnectionBudget> budget_;  // null once moved from
        uid_t user_;
        std::size_t queued_ = 0;
        std::size_t partialFrame_ = 0;
    };

    /// A connection the user may not open: how many it has open, and whether this is the first
    /// refusal since the user was last below the bound.
    struct Refusal {
        std::size_t open;
        bool firstOfBurst;
    };

    explicit UserConnectionBudget(Limits limits) : limits_(limits) {}

    std::variant<Share, Refusal> open(uid_t user);

  private:
    struct Usage {
        std::size_t connections = 0;
        std::size_t queued = 0;
        std::size_t partialFrames = 0;
        bool refusing = false;
    };

    void close(Share& share);

    const Limits limits_;
    std::mutex mutex_;
    std::unordered_map<uid_t, Usage> users_;
};

}  // namespace quorin::daemon
