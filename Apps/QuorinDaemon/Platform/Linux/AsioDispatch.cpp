#include "QuorinDaemon/Platform/Linux/AsioDispatch.hpp"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>

namespace quorin::daemon {

namespace {

class StrandQueue final : public DispatchQueue {
  public:
    StrandQueue(std::string label, const asio::any_io_executor& executor)
        : label_(std::move(label)), strand_(asio::make_strand(executor)) {}

    const std::string& label() const override { return label_; }

    void async(std::function<void()> job) override { asio::post(strand_, std::move(job)); }

    void asyncAfter(std::chrono::nanoseconds delay, std::function<void()> job) override {
        auto timer = std::make_shared<asio::steady_timer>(strand_, delay);
        // The handler owns the timer, so the timer lives until it has fired. Only the shutdown
        // of the event loop cancels it, and then the job must not run.
        timer->async_wait([timer, job = std::move(job)](const std::error_code& error) {
            if (!error) {
                job();
            }
        });
    }

  private:
    std::string label_;
    asio::strand<asio::any_io_executor> strand_;
};

}  // namespace

std::shared_ptr<DispatchQueue> AsioDispatch::makeQueue(std::string label) {
    return std::make_shared<StrandQueue>(std::move(label), executor_);
}

}  // namespace quorin::daemon
