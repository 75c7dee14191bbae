#include "QuorinDaemon/Platform/Linux/UnixSocketTransport.hpp"

#include "QuorinCore/Service/XPCFrame.hpp"
#include "QuorinCore/Service/XPCMessage.hpp"

#include <asio/bind_executor.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <asio/write.hpp>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <deque>
#include <mutex>
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

class SocketConnection final : public XPCConnection,
                               public std::enable_shared_from_this<SocketConnection> {
  public:
    SocketConnection(Socket socket, const asio::any_io_executor& executor, ucred peer,
                     const PeerRequirement& peers)
        : socket_(std::move(socket)),
          strand_(asio::make_strand(executor)),
          peer_(peer),
          peers_(peers) {}

    std::uint32_t effectiveUserIdentifier() const override { return peer_.uid; }
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
                    self->send(encodeInvocation(
                        XPCInvocation{std::nullopt, std::move(selector), std::move(arguments)}));
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

    /// Sends one body to the peer (from any thread).
    void send(std::string body) {
        asio::post(strand_, [self = shared_from_this(), body = std::move(body)]() mutable {
            if (self->closed_) {
                self->deliveryFailed();
                return;
            }
            self->outbox_.push_back(framed(body));
            if (self->outbox_.size() == 1) {
                self->writeNext();
            }
        });
    }

  private:
    // One request's reply: sent once, and sent empty if the exported object lets go of it
    // without answering.
    class PendingReply {
      public:
        PendingReply(std::weak_ptr<SocketConnection> connection, std::uint64_t id,
                     XPCValueKind kind)
            : connection_(std::move(connection)), id_(id), kind_(kind) {}
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
                connection->send(encodeReply(XPCReply{id_, std::move(value)}));
            }
        }

        std::weak_ptr<SocketConnection> connection_;
        std::uint64_t id_;
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
            currentRequestConnection = nullptr;
            closeOnStrand();
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
            auto pending = std::make_shared<PendingReply>(weak_from_this(), *invocation.id,
                                                          method->reply.value());
            reply = [pending](XPCValue value) { pending->answer(std::move(value)); };
        }
        currentRequestConnection = shared_from_this();
        invoke(*exported_, invocation, std::move(reply));
        currentRequestConnection = nullptr;
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
                        // Only now, with no write in flight, may the unsent bodies go.
                        self->outbox_.clear();
                        return;
                    }
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

    void closeOnStrand() {
        if (closed_) {
            return;
        }
        closed_ = true;
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
    const PeerRequirement& peers_;
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

class SocketListener final : public XPCListener {
  public:
    SocketListener(asio::any_io_executor executor, std::string path, const PeerRequirement& peers)
        : executor_(std::move(executor)),
          strand_(asio::make_strand(executor_)),
          acceptor_(strand_),
          path_(std::move(path)),
          peers_(peers) {}

    ~SocketListener() override {
        std::error_code ignored;
        acceptor_.close(ignored);
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
                if (!error) {
                    admit(std::move(socket));
                }
                accept();
            });
    }

    void admit(Socket socket) {
        ucred peer{};
        socklen_t length = sizeof peer;
        if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
            return;  // closed with the socket
        }
        auto connection =
            std::make_shared<SocketConnection>(std::move(socket), executor_, peer, peers_);
        if (delegate_ == nullptr || !delegate_->shouldAcceptNewConnection(connection)) {
            connection->close();
        }
    }

    asio::any_io_executor executor_;
    Strand strand_;
    asio::local::stream_protocol::acceptor acceptor_;
    std::string path_;
    const PeerRequirement& peers_;
    XPCListenerDelegate* delegate_ = nullptr;
    bool bound_ = false;
};

}  // namespace

UnixSocketTransport::UnixSocketTransport(asio::any_io_executor executor, std::string directory,
                                         const PeerRequirement& peers)
    : executor_(std::move(executor)), directory_(std::move(directory)), peers_(peers) {}

std::unique_ptr<XPCListener> UnixSocketTransport::makeListener(const std::string& machServiceName) {
    return std::make_unique<SocketListener>(executor_, directory_ + "/" + machServiceName, peers_);
}

std::shared_ptr<XPCConnection> UnixSocketTransport::currentConnection() const {
    return currentRequestConnection;
}

}  // namespace quorin::daemon
