// Callee channels: a listener that accepts connections, and the connections that receive requests.
#include "CalleeChannel.h"

#include <algorithm>

namespace velorn {

void DrainLatch::arrive() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (remaining_ > 0 && --remaining_ == 0)
        done_.notify_all();
}

bool DrainLatch::wait(std::int32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto arrived = [this] { return remaining_ == 0; };
    if (timeoutMs <= 0) {
        done_.wait(lock, arrived);
        return true;
    }
    return done_.wait_for(lock, std::chrono::milliseconds(timeoutMs), arrived);
}

Connection::Connection(Runtime &runtime, const std::shared_ptr<Listener> &listener)
    : Object(runtime, Kind::Connection),
      maxUnsentBytes_(runtime.limits().maxUnsentResponseBytes), listener_(listener),
      socket_(strand()) {}

void Connection::attach() {
    asio::error_code ignored;
    socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    auto self = std::static_pointer_cast<Connection>(shared_from_this());
    link_ = std::make_shared<Link>(std::move(socket_), FrameKind::Request, self,
                                   runtime().limits().stallTimeout);
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
    // Counted before the frame is posted, so that reading pauses before the link sees it.
    const auto bytes = frame->bytes.size();
    unsentBytes_ += bytes;
    ++answered_;
    if (strand().running_in_this_thread()) {
        // Answered from the request handler: written now, without a trip through the queue.
        if (link_)
            link_->send(frame);
        return true;
    }
    auto self = std::static_pointer_cast<Connection>(shared_from_this());
    try {
        asio::post(strand(), [self, frame] {
            if (self->link_)
                self->link_->send(frame);
        });
    } catch (...) {
        unsentBytes_ -= bytes;
        --answered_;
        throw;
    }
    return true;
}

void Connection::drain(const std::shared_ptr<DrainLatch> &latch) {
    auto self = std::static_pointer_cast<Connection>(shared_from_this());
    asio::post(strand(), [self, latch] {
        if (!self->link_) {
            latch->arrive();
            return;
        }
        self->draining_ = true; // the link pauses before the next frame or read
        self->drain_ = latch;
        self->settle();
    });
}

bool Connection::onFrame(Link &, const FrameHeader &header, const char *payload) {
    const auto handler = handler_;
    const auto context = context_;
    ++delivered_;
    callHandler([&] {
        handler(handle(), context, header.token, header.methodId, header.size, payload,
                VELORN_IPC_OK);
    });
    return link_ && link_->open() && !destroyed();
}

void Connection::onFailed(Link &, std::int32_t) {
    // The peer closed, sent a bad frame, stalled or stopped reading our responses.
    leave();
}

bool Connection::mayRead() { return !draining_ && unsentBytes_ <= maxUnsentBytes_; }

void Connection::onSent(std::size_t bytes) {
    unsentBytes_ -= bytes;
    if (drain_ || (link_ && link_->inputEnded()))
        settle();
}

void Connection::onInputEnded(Link &) { settle(); }

bool Connection::answeredAll() const { return answered_ >= delivered_ && unsentBytes_ == 0; }

// Called whenever a drain or the end of the peer's input waits for responses: once every
// request has its response written, the drain hears of it and a half-closed peer is let go.
void Connection::settle() {
    if (!answeredAll())
        return;
    tellDrain();
    if (link_ && link_->inputEnded()) {
        link_->close();
        leave();
    }
}

void Connection::tellDrain() {
    if (drain_) {
        drain_->arrive();
        drain_.reset();
    }
}

// The handle goes away by itself, because the connection is over.
void Connection::leave() {
    open_ = false;
    tellDrain();
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
    tellDrain();
}

Listener::Listener(Runtime &runtime)
    : Object(runtime, Kind::Listener), acceptor_(strand()), retryTimer_(strand()),
      maxConnections_(runtime.limits().maxConnections) {}

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
    if (acceptorClosed_)
        return;
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
        // Beyond the cap the connection is closed at once; the others are not touched.
        if (!refusing_ && connections_.size() < maxConnections_ &&
            runtime().registry().add(connection)) {
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

std::int32_t Listener::drain(std::int32_t timeoutMs) {
    closeAcceptor();
    std::vector<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        refusing_ = true;
        connections = connections_;
    }
    auto latch = std::make_shared<DrainLatch>(connections.size());
    for (auto &connection : connections)
        connection->drain(latch);
    return latch->wait(timeoutMs) ? VELORN_IPC_OK : VELORN_IPC_ETIMEDOUT;
}

void Listener::closeAcceptor() {
    std::lock_guard<std::mutex> lock(acceptorMutex_);
    acceptorClosed_ = true;
    asio::error_code ignored;
    acceptor_.close(ignored);
}

void Listener::beforeDestroy() {
    closeAcceptor();
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
