// Callee channels: a listener that accepts connections, and the connections that receive requests.
#ifndef VELORN_IPC_CALLEE_CHANNEL_H
#define VELORN_IPC_CALLEE_CHANNEL_H

#include "Link.h"
#include "Runtime.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>

namespace velorn {

class Listener;

// Lets a drain wait until every connection it asked has answered what it received. Owner: the
// draining thread and the connections, shared; every member is guarded by mutex_.
class DrainLatch {
public:
    explicit DrainLatch(std::size_t connections) : remaining_(connections) {}
    DrainLatch(const DrainLatch &) = delete;
    DrainLatch &operator=(const DrainLatch &) = delete;

    // One connection has nothing left to answer (or closed). Once per connection.
    void arrive();
    // True when every connection arrived before the timeout (0 or less: no deadline).
    bool wait(std::int32_t timeoutMs);

private:
    std::mutex mutex_;
    std::condition_variable done_;
    std::size_t remaining_;
};

// An accepted connection. It reads only once a request handler is registered, so that no
// request arrives before someone can take it. It leaves the registry by itself when the peer
// closes; when the peer only ended its input, it first answers what it received. Members other
// than the atomics are touched only on the strand.
class Connection final : public Object, public Link::Sink {
public:
    Connection(Runtime &runtime, const std::shared_ptr<Listener> &listener);

    // On the listener's strand, before the connection is registered.
    asio::ip::tcp::socket &socket() { return socket_; }
    // On the listener's strand: wraps the accepted socket into the link.
    void attach();

    // Any thread; the handler is called on the strand for every later request.
    void receive(velorn_ipc_message_handler handler, void *context);
    // Any thread; copies the payload. False when the connection is closed. Throws std::bad_alloc.
    bool respond(std::uint64_t token, std::uint32_t methodId, std::uint32_t size,
                 const char *buffer, std::int32_t timeoutMs);

    // Any thread: stops reading further requests for good and arrives at the latch once every
    // request delivered so far has its response written (or the connection closed).
    void drain(const std::shared_ptr<DrainLatch> &latch);

    bool onFrame(Link &link, const FrameHeader &header, const char *payload) override;
    void onFailed(Link &link, std::int32_t code) override;
    bool mayRead() override;
    void onSent(std::size_t bytes) override;
    void onInputEnded(Link &link) override;

private:
    bool answeredAll() const;
    void settle();
    void tellDrain(); // the drain waiting for this connection, if any, need not wait any more
    void leave();
    void closeOnStrand() override;
    void beforeDestroy() override;

    const std::size_t maxUnsentBytes_; /* from the runtime's limits */
    std::weak_ptr<Listener> listener_;
    asio::ip::tcp::socket socket_; /* the accepted socket until attach() */
    std::shared_ptr<Link> link_;
    velorn_ipc_message_handler handler_ = nullptr;
    void *context_ = nullptr;
    std::uint64_t delivered_ = 0;       /* requests handed to handler_ */
    bool draining_ = false;             /* no further request is read */
    std::shared_ptr<DrainLatch> drain_; /* told once everything delivered is answered */
    std::atomic<bool> open_{true};      /* read by respond() on any thread */
    // Raised by respond() on any thread before it posts the frame, read (and unsentBytes_
    // lowered) on the strand: the strand sees a response counted before its frame arrives.
    std::atomic<std::uint64_t> answered_{0};      /* responses queued */
    std::atomic<std::size_t> unsentBytes_{0};     /* queued and not yet written */
};

// A listening socket. It keeps the connections it accepted so that destroying it closes them.
class Listener final : public Object {
public:
    explicit Listener(Runtime &runtime);

    // On the creating thread, before registration: binds and listens. Empty host: all IPv4
    // addresses.
    std::error_code bind(const std::string &host, int port);
    int port() const { return port_; }

    // Any thread; the handler is called on the strand once per accepted connection.
    void accept(velorn_ipc_accept_handler handler, void *context);

    // Any thread: the connection closed or was destroyed.
    void forget(const Connection &connection);

    // Any thread but the library's own: stops accepting and reading, then waits until every
    // request already delivered has its response written. VELORN_IPC_OK or
    // VELORN_IPC_ETIMEDOUT.
    std::int32_t drain(std::int32_t timeoutMs);

private:
    void acceptNext();
    void closeAcceptor();
    void onAccepted(const std::shared_ptr<Connection> &connection, const asio::error_code &error);
    void closeOnStrand() override;
    void beforeDestroy() override;

    // Closed by destroy on the destroying thread so that the port is free when destroy returns;
    // acceptorMutex_ serialises that with the strand's calls.
    std::mutex acceptorMutex_;
    asio::ip::tcp::acceptor acceptor_; /* guarded by acceptorMutex_ */
    bool acceptorClosed_ = false;      /* by destroy or drain; guarded by acceptorMutex_ */
    asio::steady_timer retryTimer_; /* pauses accepting after e.g. running out of descriptors */
    int port_ = 0;                  /* set by bind(), then constant */
    const std::size_t maxConnections_; /* from the runtime's limits */
    velorn_ipc_accept_handler handler_ = nullptr;
    void *context_ = nullptr;
    bool accepting_ = false;
    bool closed_ = false;

    std::mutex connectionsMutex_;
    std::vector<std::shared_ptr<Connection>> connections_; /* guarded by connectionsMutex_ */
    bool refusing_ = false; /* destroyed or drained; guarded by connectionsMutex_ */
};

} // namespace velorn

#endif
