// Callee channels: a listener that accepts connections, and the connections that receive requests.
#ifndef VELORN_IPC_CALLEE_CHANNEL_H
#define VELORN_IPC_CALLEE_CHANNEL_H

#include "Link.h"
#include "Runtime.h"

#include <atomic>
#include <mutex>
#include <string>
#include <system_error>

namespace velorn {

class Listener;

// An accepted connection. It reads only once a request handler is registered, so that no
// request arrives before someone can take it. It leaves the registry by itself when the peer
// closes. Members other than open_ are touched only on the strand.
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

    bool onFrame(Link &link, const FrameHeader &header, const char *payload) override;
    void onFailed(Link &link, std::int32_t code) override;

private:
    void closeOnStrand() override;
    void beforeDestroy() override;

    std::weak_ptr<Listener> listener_;
    asio::ip::tcp::socket socket_; /* the accepted socket until attach() */
    std::shared_ptr<Link> link_;
    velorn_ipc_message_handler handler_ = nullptr;
    void *context_ = nullptr;
    std::atomic<bool> open_{true}; /* read by respond() on any thread */
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

private:
    void acceptNext();
    void onAccepted(const std::shared_ptr<Connection> &connection, const asio::error_code &error);
    void closeOnStrand() override;
    void beforeDestroy() override;

    // Closed by destroy on the destroying thread so that the port is free when destroy returns;
    // acceptorMutex_ serialises that with the strand's calls.
    std::mutex acceptorMutex_;
    asio::ip::tcp::acceptor acceptor_; /* guarded by acceptorMutex_ */
    asio::steady_timer retryTimer_; /* pauses accepting after e.g. running out of descriptors */
    int port_ = 0;                  /* set by bind(), then constant */
    velorn_ipc_accept_handler handler_ = nullptr;
    void *context_ = nullptr;
    bool accepting_ = false;
    bool closed_ = false;

    std::mutex connectionsMutex_;
    std::vector<std::shared_ptr<Connection>> connections_; /* guarded by connectionsMutex_ */
    bool refusing_ = false;                                  /* guarded by connectionsMutex_ */
};

} // namespace velorn

#endif
