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

namespace quorin::daemon::testing {

class FakeConnection final : public XPCConnection {
  public:
    /// What the peer's exported object received.
    class Peer final : public QuorinDaemonEventsProtocol {
      public:
        void deliver(std::string data) override {
            const std::lock_guard lock(mutex);
            delivered.push_back(std::move(data));
        }
        std::mutex mutex;
        std::vector<std::string> delivered;
    };

    explicit FakeConnection(std::uint32_t uid, bool peerReachable = true,
                            bool administrator = false)
        : uid_(uid), peerReachable_(peerReachable), administrator_(administrator) {}

    std::uint32_t effectiveUserIdentifier() const override { return uid_; }
    bool peerIsAdministrator() const override { return uid_ == 0 || administrator_; }
    /// A process of the peer's user named after it: pid 10,000 + uid, started at tick 77.
    std::optional<AuthorizationSubject> peerProcess() const override {
        return AuthorizationSubject{static_cast<std::int32_t>(uid_) + 10'000, 77, uid_};
    }
    void setCodeSigningRequirement(std::string text) override { requirement_ = std::move(text); }
    void setExportedInterface(XPCInterface) override {}
    void setExportedObject(QuorinDaemonXPCProtocol&) override {}
    void setRemoteObjectInterface(XPCInterface) override {}
    void setInvalidationHandler(std::function<void()> run) override {
        invalidated_ = std::move(run);
    }
    std::shared_ptr<QuorinDaemonEventsProtocol> remoteObjectProxyWithErrorHandler(
        std::function<void()> errorHandler) override {
        errorHandler_ = std::move(errorHandler);
        return peerReachable_ ? peer_ : nullptr;
    }
    void resume() override {}

    // For the test.
    const std::optional<std::string>& requirement() const { return requirement_; }
    std::vector<std::string> delivered() const {
        const std::lock_guard lock(peer_->mutex);
        return peer_->delivered;
    }
    /// The peer went away.
    void invalidate() { run(invalidated_); }
    /// A delivery to the peer failed.
    void failDelivery() { run(errorHandler_); }

  private:
    static void run(const std::function<void()>& handler) {
        if (handler)
            handler();
    }

    std::uint32_t uid_;
    bool peerReachable_;
    bool administrator_;
    std::shared_ptr<Peer> peer_ = std::make_shared<Peer>();
    std::optional<std::string> requirement_;
    std::function<void()> invalidated_;
    std::function<void()> errorHandler_;
};

class FakeTransport final : public Transport {
  public:
    class Listener final : public XPCListener {
      public:
        void setDelegate(XPCListenerDelegate& value) override { delegate = &value; }
        void resume() override { resumed = true; }
        XPCListenerDelegate* delegate = nullptr;
        bool resumed = false;
    };

    std::unique_ptr<XPCListener> makeListener(const std::string&) override {
        auto made = std::make_unique<Listener>();
        listener_ = made.get();
        return made;
    }
    std::shared_ptr<XPCConnection> currentConnection() const override { return current(); }

    /// A peer of user `uid` connects (root acting for that user when `administrator`); the
    /// connection, or null when the delegate refused it.
    std::shared_ptr<FakeConnection> connect(std::uint32_t uid, bool peerReachable = true,
                                            bool administrator = false) {
        auto connection = std::make_shared<FakeConnection>(uid, peerReachable, administrator);
        if (listener_ == nullptr || !listener_->resumed ||
            !listener_->delegate->shouldAcceptNewConnection(connection)) {
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

  private:
    static std::shared_ptr<XPCConnection>& current() {
        thread_local std::shared_ptr<XPCConnection> connection;
        return connection;
    }

    Listener* listener_ = nullptr;
};

}  // namespace quorin::daemon::testing
