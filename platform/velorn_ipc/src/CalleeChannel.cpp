// Callee channels: a listener that accepts connections, and the connections that receive requests.
#include "CalleeChannel.h"

#include <algorithm>

namespace velorn {

Connection::Connection(Runtime &runtime, const std::shared_ptr<Listener> &listener)
    : Object(runtime, Kind::Connection), listener_(listener), socket_(strand()) {}

void Connection::attach() {
    asio::error_code ignored;
    socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    auto self = std::static_pointer_cast<Connection>(shared_from_this());
    link_ = std::make_shared<Link>(std::move(socket_), FrameKind::Request, self);
}

void Connection::receive(velorn_ipc_message_handler handler, void *context) {
    auto self = std::static_pointer_cast<Connection>(shared_from_this());
    asio::post(strand(), [self, handler, context] {
        self->handler_ = handler;
        self->context_ = context;
        if (self->link_)
            self->link_->start(); // does nothing when already reading
    });
}

bool Connection::respond(std::uint64_t token, std::uint32_t methodId, std::uint32_t size,
                         const char *buffer, std::int32_t timeoutMs) {
    if (!open_)
        return false;
    FrameHeader header;
    header.kind = FrameKind::Response;
    header.token = token;
    header.methodId = methodId;
    header.size = size;
    auto frame = makeFrame(header, buffer);
    if (timeoutMs > 0) {
        frame->hasDeadline = true;
        frame->deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    }
    auto self = std::static_pointer_cast<Connection>(shared_from_this());
    asio::post(strand(), [self, frame] {
        if (self->link_)
            self->link_->send(frame);
    });
    return true;
}

bool Connection::onFrame(Link &, const FrameHeader &header, const char *payload) {
    const auto handler = handler_;
    const auto context = context_;
    callHandler([&] {
        handler(handle(), context, header.token, header.methodId, header.size, payload,
                VELORN_IPC_OK);
    });
    return link_ && link_->open() && !destroyed();
}

void Connection::onFailed(Link &, std::int32_t) {
    // The peer closed, sent a bad frame or stopped reading our responses: the handle goes away.
    open_ = false;
    link_.reset();
    runtime().registry().forget(*this);
    if (auto listener = listener_.lock())
        listener->forget(*this);
}

void Connection::beforeDestroy() {
    open_ = false;
    if (auto listener = listener_.lock())
        listener->forget(*this);
}

void Connection::closeOnStrand() {
    open_ = false;
    if (link_) {
        link_->close();
        link_.reset();
    }
    asio::error_code ignored;
    socket_.close(ignored);
    handler_ = nullptr;
}

Listener::Listener(Runtime &runtime)
    : Object(runtime, Kind::Listener), acceptor_(strand()), retryTimer_(strand()) {}

std::error_code Listener::bind(const std::string &host, int port) {
    asio::error_code error;
    asio::ip::tcp::endpoint endpoint(asio::ip::tcp::v4(), static_cast<unsigned short>(port));
    if (!host.empty()) {
        asio::ip::tcp::resolver resolver(strand());
        const auto endpoints =
            resolver.resolve(host, std::to_string(port),
                             asio::ip::tcp::resolver::passive |
                                 asio::ip::tcp::resolver::numeric_service,
                             error);
        if (error || endpoints.empty())
            return error ? error : asio::error::host_not_found;
        endpoint = endpoints.begin()->endpoint();
    }
    acceptor_.open(endpoint.protocol(), error);
    if (!error)
        acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true), error);
    if (!error)
        acceptor_.bind(endpoint, error);
    if (!error)
        acceptor_.listen(asio::socket_base::max_listen_connections, error);
    if (!error)
        port_ = acceptor_.local_endpoint(error).port();
    if (error) {
        asio::error_code ignored;
        acceptor_.close(ignored);
    }
    return error;
}

void Listener::accept(velorn_ipc_accept_handler handler, void *context) {
    auto self = std::static_pointer_cast<Listener>(shared_from_this());
    asio::post(strand(), [self, handler, context] {
        if (self->closed_)
            return;
        self->handler_ = handler;
        self->context_ = context;
        if (!self->accepting_) {
            self->accepting_ = true;
            self->acceptNext();
        }
    });
}

void Listener::acceptNext() {
    std::shared_ptr<Connection> connection;
    try {
        auto self = std::static_pointer_cast<Listener>(shared_from_this());
        connection = std::make_shared<Connection>(runtime(), self);
    } catch (const std::bad_alloc &) {
        onAccepted(nullptr, asio::error::no_memory);
        return;
    }
    auto self = std::static_pointer_cast<Listener>(shared_from_this());
    std::lock_guard<std::mutex> lock(acceptorMutex_);
    acceptor_.async_accept(connection->socket(),
                           [self, connection](const asio::error_code &error) {
                               self->onAccepted(connection, error);
                           });
}

void Listener::onAccepted(const std::shared_ptr<Connection> &connection,
                          const asio::error_code &error) {
    if (closed_ || error == asio::error::operation_aborted)
        return;
    if (error) {
        // Out of descriptors or memory: try again a little later rather than spin.
        auto self = std::static_pointer_cast<Listener>(shared_from_this());
        retryTimer_.expires_after(std::chrono::milliseconds(100));
        retryTimer_.async_wait([self](const asio::error_code &waitError) {
            if (!waitError && !self->closed_)
                self->acceptNext();
        });
        return;
    }
    bool registered = false;
    try {
        connection->attach();
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        if (!refusing_ && runtime().registry().add(connection)) {
            connections_.push_back(connection);
            registered = true;
        }
    } catch (const std::bad_alloc &) {
    }
    if (!registered) {
        connection->destroy();
    } else {
        const auto handler = handler_;
        const auto context = context_;
        callHandler([&] { handler(handle(), context, connection->handle()); });
    }
    if (!closed_ && !destroyed())
        acceptNext();
}

void Listener::forget(const Connection &connection) {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    const auto it = std::find_if(connections_.begin(), connections_.end(),
                                 [&](const auto &c) { return c.get() == &connection; });
    if (it != connections_.end())
        connections_.erase(it);
}

void Listener::beforeDestroy() {
    {
        std::lock_guard<std::mutex> lock(acceptorMutex_);
        asio::error_code ignored;
        acceptor_.close(ignored);
    }
    std::vector<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        refusing_ = true;
        connections.swap(connections_);
    }
    for (auto &connection : connections) {
        runtime().registry().forget(*connection);
        connection->destroy();
    }
}

void Listener::closeOnStrand() {
    closed_ = true;
    retryTimer_.cancel();
}

} // namespace velorn
