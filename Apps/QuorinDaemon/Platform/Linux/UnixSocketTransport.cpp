#include "QuorinDaemon/Platform/Linux/UnixSocketTransport.hpp"

#include "QuorinDaemon/Platform/Linux/ProcessFacts.hpp"

#include "QuorinCore/Service/XPCFrame.hpp"
#include "QuorinCore/Service/XPCMessage.hpp"

#include <asio/bind_executor.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/write.hpp>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <deque>
#include <system_error>

namespace quorin::daemon {

namespace {

using Socket = asio::local::stream_protocol::socket;
using Strand = asio::strand<asio::any_io_executor>;

// The connection whose request this thread is running.
thread_local std::shared_ptr<XPCConnection> currentRequestConnection;

XPCValue emptyValue(XPCValueKind kind) {
    switch (kind) {
        case XPCValueKind::boolean:
            return false;
        case XPCValueKind::text:
            return std::string();
        case XPCValueKind::textList:
            return std::vector<std::string>();
        case XPCValueKind::data:
            return XPCData{};
    }
    return false;
}

// Unsent frames smaller than this are written together, so that many small replies cost
// about their bytes in memory.
constexpr std::size_t coalescedFrameBytes = 64 * 1024;

// The process that connected, named by its pid and start time while it is known to be the one
// that holds the connection's other end.
std::optional<AuthorizationSubject> named(const ucred& peer) {
    const std::optional<std::uint64_t> started = ProcessFacts::startTime(peer.pid);
    if (!started) {
        return std::nullopt;
    }
    return AuthorizationSubject{peer.pid, *started, peer.uid};
}

class SocketConnection final : public XPCConnection,
                               public std::enable_shared_from_this<SocketConnection> {
  public:
    SocketConnection(Socket socket, const asio::any_io_executor& executor, ucred peer,
                     const PeerRequirement& peers, UserConnectionBudget::Share share, Log log)
        : socket_(std::move(socket)),
          strand_(asio::make_strand(executor)),
          peer_(peer),
          peerProcess_(named(peer)),
          administrator_(
              peer.uid == 0 ||
              ProcessFacts::of(peer.pid).value_or(ProcessFacts{UINT32_MAX, ""}).realUserID == 0),
          peers_(peers),
          share_(std::move(share)),
          log_(std::move(log)) {}

    std::uint32_t effectiveUserIdentifier() const override { return peer_.uid; }
    std::optional<AuthorizationSubject> peerProcess() const override { return peerProcess_; }
    bool peerIsAdministrator() const override { return administrator_; }
    void setCodeSigningRequirement(std::string requirement) override {
        requirement_ = std::move(requirement);
    }
    void setExportedInterface(XPCInterface interface) override {
        exportedInterface_ = std::move(interface);
    }
    void setExportedObject(QuorinDaemonXPCProtocol& object) override { exported_ = &object; }
    void setRemoteObjectInterface(XPCInterface interface) override {
        remoteInterface_ = std::move(interface);
    }
    void setInvalidationHandler(std::function<void()> handler) override {
        invalidationHandler_ = std::move(handler);
    }

    std::shared_ptr<QuorinDaemonEventsProtocol> remoteObjectProxyWithErrorHandler(
        std::function<void()> errorHandler) override {
        errorHandler_ = std::move(errorHandler);
        if (!remoteInterface_) {
            return nullptr;
        }
        return std::make_shared<QuorinDaemonEventsProxy>(
            [weak = weak_from_this()](std::string selector, std::vector<XPCValue> arguments,
                                      const std::function<void(XPCValue)>&) {
                if (const auto self = weak.lock()) {
                    self->sendCallback(
                        XPCInvocation{std::nullopt, std::move(selector), std::move(arguments)});
                }
            });
    }

    void resume() override {
        asio::post(strand_, [self = shared_from_this()] {
            if (self->requirement_ &&
                !self->peers_.satisfies(self->peer_.pid, *self->requirement_)) {
                self->close();
                return;
            }
            self->read();
        });
    }

    /// Ends the connection from this side; the invalidation handler runs once.
    void close() {
        asio::post(strand_, [self = shared_from_this()] { self->closeOnStrand(); });
    }

    /// Sends the reply to request `id` (from any thread); one that cannot be sent goes out as
    /// the failure reply.
    void sendReply(std::uint64_t id, const std::string& selector, XPCValueKind kind,
                   XPCValue value) {
        std::string frame;
        try {
            frame = framed(encodeReply(XPCReply{id, std::move(value)}));
        } catch (const std::exception& error) {
            log_.log(LogLevel::error,
                     "reply to %{public}s not sent: %{public}s; sent the failure reply",
                     {LogValue::public_(selector), LogValue::public_(error.what())});
            frame = framed(encodeReply(XPCReply{id, emptyValue(kind)}));
        }
        send(std::move(frame));
    }

    /// Sends a call of the peer's exported object (from any thread); one that cannot be sent is
    /// dropped.
    void sendCallback(const XPCInvocation& invocation) {
        std::string frame;
        try {
            frame = framed(encodeInvocation(invocation));
        } catch (const std::exception& error) {
            log_.log(
                LogLevel::error, "%{public}s to user %{public}d dropped: %{public}s",
                {LogValue::public_(invocation.selector),
                 LogValue::public_(std::to_string(peer_.uid)), LogValue::public_(error.what())});
            return;
        }
        send(std::move(frame));
    }

  private:
    // One request's reply: sent once, and sent empty if the exported object lets go of it
    // without answering.
    class PendingReply {
      public:
        PendingReply(std::weak_ptr<SocketConnection> connection, std::uint64_t id,
                     std::string selector, XPCValueKind kind)
            : connection_(std::move(connection)),
              id_(id),
              selector_(std::move(selector)),
              kind_(kind) {}
        ~PendingReply() {
            if (!answered_.exchange(true)) {
                send(emptyValue(kind_));
            }
        }
        PendingReply(const PendingReply&) = delete;
        PendingReply& operator=(const PendingReply&) = delete;

        void answer(XPCValue value) {
            if (!answered_.exchange(true)) {
                send(std::move(value));
            }
        }

      private:
        void send(XPCValue value) {
            if (const auto connection = connection_.lock()) {
                connection->sendReply(id_, selector_, kind_, std::move(value));
            }
        }

        std::weak_ptr<SocketConnection> connection_;
        std::uint64_t id_;
        std::string selector_;
        XPCValueKind kind_;
        std::atomic<bool> answered_{false};
    };

    void read() {
        socket_.async_read_some(
            asio::buffer(buffer_),
            asio::bind_executor(strand_, [self = shared_from_this()](const std::error_code& error,
                                                                     std::size_t count) {
                self->received(error, count);
            }));
    }

    void received(const std::error_code& error, std::size_t count) {
        if (closed_) {
            return;
        }
        if (error) {
            closeOnStrand();
            return;
        }
        try {
            reader_.append(std::string_view(buffer_.data(), count));
            while (std::optional<std::string> body = reader_.next()) {
                handle(*body);
            }
        } catch (const std::exception&) {
            // Not a well-formed call of the exported interface: the peer is not speaking the
            // protocol, and nothing it sends after this can be trusted to line up.
            closeOnStrand();
            return;
        }
        if (const auto overrun = share_->holdPartialFrame(reader_.heldBytes())) {
            closeOver(*overrun);
            return;
        }
        read();
    }

    void handle(const std::string& body) {
        if (exportedInterface_ == std::nullopt || exported_ == nullptr) {
            throw XPCProtocolError("no exported object");
        }
        const XPCInvocation invocation = decodeInvocation(body, *exportedInterface_);
        std::function<void(XPCValue)> reply;
        if (invocation.id) {
            const XPCMethod* method = exportedInterface_->method(invocation.selector);
            auto pending = std::make_shared<PendingReply>(
                weak_from_this(), *invocation.id, invocation.selector, method->reply.value());
            reply = [pending](XPCValue value) { pending->answer(std::move(value)); };
        }
        // The invocation fits the interface, so whatever it throws comes from the exported
        // object: the request gets the failure reply (its pending reply goes unanswered) and the
        // connection carries on.
        currentRequestConnection = shared_from_this();
        try {
            invoke(*exported_, invocation, std::move(reply));
        } catch (const std::exception& error) {
            logFailedRequest(invocation.selector, error.what());
        } catch (...) {
            logFailedRequest(invocation.selector, "an exception of unknown type");
        }
        currentRequestConnection = nullptr;
    }

    void logFailedRequest(const std::string& selector, const char* what) const {
        log_.log(LogLevel::error, "serving %{public}s failed: %{public}s",
                 {LogValue::public_(selector), LogValue::public_(what)});
    }

    void send(std::string frame) {
        asio::post(strand_, [self = shared_from_this(), frame = std::move(frame)]() mutable {
            self->enqueue(std::move(frame));
        });
    }

    void enqueue(std::string frame) {
        if (closed_) {
            deliveryFailed();
            return;
        }
        if (const auto overrun = share_->queue(frame.size())) {
            closeOver(*overrun);
            return;
        }
        // The front frame may be being written; frames behind it are joined while small.
        if (outbox_.size() > 1 && outbox_.back().size() + frame.size() <= coalescedFrameBytes) {
            outbox_.back() += frame;
        } else {
            outbox_.push_back(std::move(frame));
        }
        if (outbox_.size() == 1) {
            writeNext();
        }
    }

    void writeNext() {
        asio::async_write(
            socket_, asio::buffer(outbox_.front()),
            asio::bind_executor(
                strand_, [self = shared_from_this()](const std::error_code& error, std::size_t) {
                    if (error) {
                        self->deliveryFailed();
                        self->closeOnStrand();
                    }
                    if (self->closed_) {
                        // Only now, with no write in flight, may the unsent frames go.
                        self->outbox_.clear();
                        return;
                    }
                    self->share_->unqueue(self->outbox_.front().size());
                    self->outbox_.pop_front();
                    if (!self->outbox_.empty()) {
                        self->writeNext();
                    }
                }));
    }

    void deliveryFailed() {
        if (auto handler = std::exchange(errorHandler_, nullptr)) {
            handler();
        }
    }

    void closeOver(const UserConnectionBudget::Overrun& overrun) {
        log_.log(LogLevel::error,
                 "closing a connection of user %{public}d: %{public}s would pass %{public}lu bytes",
                 {LogValue::public_(std::to_string(peer_.uid)),
                  LogValue::public_(std::string(overrun.holding)),
                  LogValue::public_(std::to_string(overrun.bound))});
        closeOnStrand();
    }

    void closeOnStrand() {
        if (closed_) {
            return;
        }
        closed_ = true;
        share_.reset();
        reader_ = XPCFrameReader();
        // The body at the front may be in the middle of being written; the write's completion
        // empties the outbox.
        std::error_code ignored;
        socket_.shutdown(Socket::shutdown_both, ignored);
        socket_.close(ignored);
        if (auto handler = std::exchange(invalidationHandler_, nullptr)) {
            handler();
        }
    }

    // Everything below is used on strand_ only (the setters run before `resume`).
    Socket socket_;
    Strand strand_;
    ucred peer_;
    std::optional<AuthorizationSubject> peerProcess_;
    bool administrator_;
    const PeerRequirement& peers_;
    std::optional<UserConnectionBudget::Share> share_;  // until closed
    const Log log_;
    std::optional<std::string> requirement_;
    std::optional<XPCInterface> exportedInterface_;
    std::optional<XPCInterface> remoteInterface_;
    QuorinDaemonXPCProtocol* exported_ = nullptr;
    std::function<void()> invalidationHandler_;
    std::function<void()> errorHandler_;
    std::array<char, 64 * 1024> buffer_{};
    XPCFrameReader reader_;
    std::deque<std::string> outbox_;
    bool closed_ = false;
};

// Accepting that fails for want of descriptors or memory is tried again after a pause that
// doubles from the first to the longest.
constexpr std::chrono::milliseconds firstAcceptPause{100};
constexpr std::chrono::milliseconds longestAcceptPause{1000};

bool acceptFailedForWantOfResources(const std::error_code& error) {
    const int value = error.value();
    return error.category() == asio::error::get_system_category() &&
           (value == EMFILE || value == ENFILE || value == ENOBUFS || value == ENOMEM);
}

class SocketListener final : public XPCListener {
  public:
    SocketListener(asio::any_io_executor executor, std::string path, const PeerRequirement& peers,
                   std::shared_ptr<UserConnectionBudget> budget, Log log)
        : executor_(std::move(executor)),
          strand_(asio::make_strand(executor_)),
          acceptor_(strand_),
          retry_(strand_),
          path_(std::move(path)),
          peers_(peers),
          budget_(std::move(budget)),
          log_(std::move(log)) {}

    ~SocketListener() override {
        std::error_code ignored;
        acceptor_.close(ignored);
        retry_.cancel();
        if (bound_) {
            ::unlink(path_.c_str());
        }
    }

    void setDelegate(XPCListenerDelegate& delegate) override { delegate_ = &delegate; }

    void resume() override {
        // A socket left by an earlier run is replaced; anything else at the path is not touched.
        struct stat status {};
        if (::lstat(path_.c_str(), &status) == 0 && S_ISSOCK(status.st_mode)) {
            ::unlink(path_.c_str());
        }
        const asio::local::stream_protocol::endpoint endpoint(path_);
        acceptor_.open(endpoint.protocol());
        acceptor_.bind(endpoint);
        bound_ = true;
        if (::chmod(path_.c_str(), 0666) != 0) {
            throw std::system_error(errno, std::generic_category(), "chmod " + path_);
        }
        acceptor_.listen();
        accept();
    }

  private:
    void accept() {
        acceptor_.async_accept(
            asio::make_strand(executor_), [this](const std::error_code& error, Socket socket) {
                if (error == asio::error::operation_aborted || !acceptor_.is_open()) {
                    return;
                }
                if (acceptFailedForWantOfResources(error)) {
                    acceptLater(error);
                    return;
                }
                pause_ = firstAcceptPause;
                if (!error) {
                    admit(std::move(socket));
                }
                accept();
            });
    }

    void acceptLater(const std::error_code& error) {
        if (pause_ == firstAcceptPause) {
            log_.log(LogLevel::error, "accepting connections failed: %{public}s; retrying",
                     {LogValue::public_(error.message())});
        }
        retry_.expires_after(pause_);
        pause_ = std::min(pause_ * 2, longestAcceptPause);
        retry_.async_wait([this](const std::error_code& waited) {
            if (waited != asio::error::operation_aborted && acceptor_.is_open()) {
                accept();
            }
        });
    }

    void admit(Socket socket) {
        ucred peer{};
        socklen_t length = sizeof peer;
        if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
            return;  // closed with the socket
        }
        auto admission = budget_->open(peer.uid);
        if (const auto* refusal = std::get_if<UserConnectionBudget::Refusal>(&admission)) {
            if (refusal->firstOfBurst) {
                log_.log(LogLevel::error,
                         "refusing connections of user %{public}d: %{public}lu open",
                         {LogValue::public_(std::to_string(peer.uid)),
                          LogValue::public_(std::to_string(refusal->open))});
            }
            return;  // closed with the socket
        }
        auto connection = std::make_shared<SocketConnection>(
            std::move(socket), executor_, peer, peers_,
            std::move(std::get<UserConnectionBudget::Share>(admission)), log_);
        if (delegate_ == nullptr || !delegate_->shouldAcceptNewConnection(connection)) {
            connection->close();
        }
    }

    asio::any_io_executor executor_;
    Strand strand_;
    asio::local::stream_protocol::acceptor acceptor_;
    asio::steady_timer retry_;
    std::chrono::milliseconds pause_ = firstAcceptPause;
    std::string path_;
    const PeerRequirement& peers_;
    std::shared_ptr<UserConnectionBudget> budget_;
    const Log log_;
    XPCListenerDelegate* delegate_ = nullptr;
    bool bound_ = false;
};

}  // namespace

UnixSocketTransport::UnixSocketTransport(asio::any_io_executor executor, std::string directory,
                                         const PeerRequirement& peers,
                                         std::shared_ptr<LogSink> logSink)
    : executor_(std::move(executor)),
      directory_(std::move(directory)),
      peers_(peers),
      log_(std::move(logSink), std::string(daemonLogSubsystem), "xpc"),
      budget_(std::make_shared<UserConnectionBudget>(UserConnectionBudget::Limits{
          maximumConnectionsPerUser, maximumQueuedBytesPerConnection, maximumQueuedBytesPerUser,
          maximumPartialFrameBytesPerUser})) {}

std::unique_ptr<XPCListener> UnixSocketTransport::makeListener(const std::string& machServiceName) {
    return std::make_unique<SocketListener>(executor_, directory_ + "/" + machServiceName, peers_,
                                            budget_, log_);
}

std::shared_ptr<XPCConnection> UnixSocketTransport::currentConnection() const {
    return currentRequestConnection;
}

}  // namespace quorin::daemon
