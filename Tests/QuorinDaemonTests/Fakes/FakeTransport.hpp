#pragma once

// An in-process transport for tests: the test opens connections with a chosen peer user id, the
// listener's delegate accepts or refuses them, and requests are made by calling the exported
// object "on" a connection (which makes it the current connection of the calling thread). The
// peer's side records every delivered record; the test can end a connection or make deliveries
// to it fail, which runs the handlers the listener installed.

#include "QuorinDaemon/Platform/Transport.hpp"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quorin::daemon::testing {

class FakeConnection final : public XPCConnection {
  public:
    /// What the peer's exported object received.
    class Peer final : public QuorinDaemonEventsProtocol {
      public:
        void deliver(std::string data) override {
            const std::lock_guard lock(mutex_);
            delivered_.push_back(std::move(data));
        }
        std::vector<std::string> delivered() const {
            const std::lock_guard lock(mutex_);
            return delivered_;
        }

      private:
        mutable std::mutex mutex_;
        std::vector<std::string> delivered_;
    };

    explicit FakeConnection(std::uint32_t uid, bool peerReachable = true)
        : uid_(uid), peerReachable_(peerReachable) {}

    std::uint32_t effectiveUserIdentifier() const override { return uid_; }
    void setCodeSigningRequirement(std::string text) override { requirement_ = std::move(text); }
    void setExportedInterface(XPCInterface value) override {
        exportedInterface_ = std::move(value);
    }
    void setExportedObject(QuorinDaemonXPCProtocol& object) override { exported_ = &object; }
    void setRemoteObjectInterface(XPCInterface value) override {
        remoteInterface_ = std::move(value);
    }
    void setInvalidationHandler(std::function<void()> run) override {
        invalidated_ = std::move(run);
    }
    std::shared_ptr<QuorinDaemonEventsProtocol> remoteObjectProxyWithErrorHandler(
        std::function<void()> errorHandler) override {
        errorHandler_ = std::move(errorHandler);
        return peerReachable_ ? peer_ : nullptr;
    }
    void resume() override { resumed_ = true; }

    // For the test.
    const std::optional<std::string>& requirement() const { return requirement_; }
    const std::optional<XPCInterface>& exportedInterface() const { return exportedInterface_; }
    const std::optional<XPCInterface>& remoteInterface() const { return remoteInterface_; }
    QuorinDaemonXPCProtocol* exported() const { return exported_; }
    bool resumed() const { return resumed_; }
    std::vector<std::string> delivered() const { return peer_->delivered(); }
    /// The peer went away.
    void invalidate() { run(invalidated_); }
    /// A delivery to the peer failed.
    void failDelivery() { run(errorHandler_); }

  private:
    static void run(const std::function<void()>& handler) {
        if (handler) {
            handler();
        }
    }

    std::uint32_t uid_;
    bool peerReachable_;
    std::shared_ptr<Peer> peer_ = std::make_shared<Peer>();
    std::optional<std::string> requirement_;
    std::optional<XPCInterface> exportedInterface_;
    std::optional<XPCInterface> remoteInterface_;
    QuorinDaemonXPCProtocol* exported_ = nullptr;
    std::function<void()> invalidated_;
    std::function<void()> errorHandler_;
    bool resumed_ = false;
};

class FakeTransport final : public Transport {
  public:
    class Listener final : public XPCListener {
      public:
        void setDelegate(XPCListenerDelegate& delegate) override { delegate_ = &delegate; }
        void resume() override { resumed_ = true; }
        XPCListenerDelegate* delegate_ = nullptr;
        bool resumed_ = false;
    };

    std::unique_ptr<XPCListener> makeListener(const std::string& machServiceName) override {
        serviceNames_.push_back(machServiceName);
        auto made = std::make_unique<Listener>();
        listener_ = made.get();
        return made;
    }

    std::shared_ptr<XPCConnection> currentConnection() const override { return current(); }

    /// A peer of user `uid` connects; the connection, or null when the delegate refused it.
    std::shared_ptr<FakeConnection> connect(std::uint32_t uid, bool peerReachable = true) {
        auto connection = std::make_shared<FakeConnection>(uid, peerReachable);
        if (listener_ == nullptr || !listener_->resumed_ ||
            !listener_->delegate_->shouldAcceptNewConnection(connection)) {
            return nullptr;
        }
        return connection;
    }

    /// Runs `request` on the calling thread as a request of `connection`.
    template <class Request>
    void on(const std::shared_ptr<XPCConnection>& connection, Request&& request) {
        current() = connection;
        std::forward<Request>(request)();
        current() = nullptr;
    }

    const std::vector<std::string>& serviceNames() const { return serviceNames_; }

  private:
    static std::shared_ptr<XPCConnection>& current() {
        thread_local std::shared_ptr<XPCConnection> connection;
        return connection;
    }

    Listener* listener_ = nullptr;
    std::vector<std::string> serviceNames_;
};

}  // namespace quorin::daemon::testing
