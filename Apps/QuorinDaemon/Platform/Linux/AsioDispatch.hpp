#pragma once

#include "QuorinDaemon/Platform/Dispatch.hpp"

#include <asio/any_io_executor.hpp>

namespace quorin::daemon {

/// Serial queues as Asio strands over one executor (the daemon's event loop, or a thread pool in
/// tests). Delayed work is a `steady_timer` on the queue's strand that keeps itself alive until it
/// fires. Whoever runs the executor decides how many queues can run at once.
class AsioDispatch final : public Dispatch {
  public:
    explicit AsioDispatch(asio::any_io_executor executor) : executor_(std::move(executor)) {}

    std::shared_ptr<DispatchQueue> makeQueue(std::string label) override;

  private:
    asio::any_io_executor executor_;
};

}  // namespace quorin::daemon
