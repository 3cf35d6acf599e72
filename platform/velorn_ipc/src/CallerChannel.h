// A caller channel: connects on demand, sends requests and matches replies to them by token.
#ifndef VELORN_IPC_CALLER_CHANNEL_H
#define VELORN_IPC_CALLER_CHANNEL_H

#include "Link.h"
#include "Runtime.h"

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

namespace velorn {

//   create --> resolve --> connect --+--> Connected: read replies, write requests
//                 |           |      |        |
//                 +-----------+--> Idle <-----+ (lost: in-flight requests fail, lost handler)
//                      (attempt failed: waiting requests fail, lost handler)
//   Idle + request --> resolve ... (reconnection on demand)
//
// A request sent while the connection is up and writes nothing else goes out from the sending
// thread itself (sendNow): no hand-off to an I/O thread, whose only remaining wake-up is the
// reply. Everything else goes through the strand as before.
//
// Members "guarded by" directMutex_ or pendingMutex_ are shared by the sending threads and the
// strand; the strand never holds either while it calls a handler or the link. A thread that
// needs both takes directMutex_ first. Every other member but those of Object is touched only on
// the strand.
class CallerChannel final : public Object, public Link::Sink {
public:
    CallerChannel(Runtime &runtime, std::string host, int port);

    // Any thread. The first connection attempt starts once the channel is registered.
    void startConnecting();
    // Any thread; the handler is called on the strand (see the latch rule in velorn_ipc.h).
    void setConnectionHandler(bool connected, velorn_ipc_connection_handler handler,
                              void *context);
    // Any thread; copies the payload. Throws std::bad_alloc.
    void send(velorn_ipc_message_handler handler, void *context, std::uint64_t token,
              std::uint32_t methodId, std::uint32_t size, const char *buffer,
              std::int32_t timeoutMs);
    // Any thread: calls the handler once with code, asynchronously.
    void refuse(velorn_ipc_message_handler handler, void *context, std::uint64_t token,
                std::uint32_t methodId, std::int32_t code);

    bool onFrame(Link &link, const FrameHeader &header, const char *payload) override;
    void onFailed(Link &link, std::int32_t code) override;
    void onSent(std::size_t bytes) override;

private:
    struct Request;
    using Deadlines = std::multimap<std::chrono::steady_clock::time_point, std::shared_ptr<Request>>;
    struct Request {
        velorn_ipc_message_handler handler = nullptr;
        void *context = nullptr;
        std::uint64_t token = 0;
        std::uint32_t methodId = 0;
        std::shared_ptr<OutFrame> frame; /* shared with the link's queue */
        bool hasDeadline = false;
        Deadlines::iterator deadline{}; /* its entry in deadlines_, when hasDeadline */
        bool done = false; /* its handler was called or is no longer due */
    };
    enum class State { Idle, Connecting, Connected };
    enum class Event { None, Connected, Failed };
    struct ConnectionHandler {
        velorn_ipc_connection_handler function = nullptr;
        void *context = nullptr;
    };

    bool sendNow(const std::shared_ptr<Request> &request, std::int32_t timeoutMs);
    void sendOnStrand(const std::shared_ptr<Link> &link, std::shared_ptr<OutFrame> frame,
                      bool arm);
    void toOutbox(std::shared_ptr<OutFrame> frame, bool arm);
    void flushOutbox();
    void submit(const std::shared_ptr<Request> &request, std::int32_t timeoutMs);
    bool track(const std::shared_ptr<Request> &request, std::int32_t timeoutMs);
    void linkQueued();
    void stopDirect();
    void connect();
    void onResolved(std::uint64_t attempt, const asio::error_code &error,
                    const asio::ip::tcp::resolver::results_type &endpoints);
    void onConnected(std::uint64_t attempt, const asio::error_code &error);
    void disconnected(std::int32_t code);
    void armDeadlineTimer();
    void onDeadlineTimer(const asio::error_code &error);
    void timedOut(Request &request);
    void dropDeadline(Request &request);
    void forget(const std::shared_ptr<Request> &request);
    void complete(Request &request, std::int32_t code, std::uint32_t size, const char *payload);
    void announce(Event event, std::int32_t status);
    void closeOnStrand() override;

    const std::string host_;
    const int port_;
    asio::ip::tcp::resolver resolver_;
    std::shared_ptr<asio::ip::tcp::socket> connecting_; /* socket of the attempt in progress */
    std::shared_ptr<Link> link_;                        /* the connection, when Connected */
    State state_ = State::Idle;
    std::uint64_t attempt_ = 0; /* completions of an older attempt are ignored */
    bool closed_ = false;

    // The direct path's send holds directMutex_ only; matching a reply needs pendingMutex_ only.
    std::mutex directMutex_;
    std::mutex pendingMutex_;
    // Requests whose handler is still due, by token (several may share one). Guarded by
    // pendingMutex_.
    std::unordered_multimap<std::uint64_t, std::shared_ptr<Request>> pending_;
    // Requests that wait for a connection, in the order they were sent.
    std::deque<std::shared_ptr<Request>> waiting_;
    // One timer for the whole channel, armed for the earliest deadline. It is not cancelled when
    // that request completes in time: it fires, finds nothing due and waits for the next one, so
    // that an answered request costs no timer operation and no wake-up of another thread.
    Deadlines deadlines_; /* of the requests in pending_ that have one; guarded by pendingMutex_ */
    asio::steady_timer deadlineTimer_;
    bool deadlineArmed_ = false;                       /* guarded by pendingMutex_ */
    std::chrono::steady_clock::time_point armedFor_{}; /* guarded by pendingMutex_ */

    // The direct path, guarded by directMutex_. directFd_ is a duplicate of the connection's socket, so
    // that closing the link never leaves a sending thread with a descriptor number that a new
    // socket could reuse; a send on it after the link's shutdown fails and takes the strand path.
    int directFd_ = -1;              /* while Connected; closed by stopDirect() */
    std::shared_ptr<Link> directLink_; /* the link directFd_ belongs to */
    bool directIdle_ = false;        /* the link writes nothing: a frame may go out whole now */
    std::size_t posted_ = 0;         /* requests on their way to submit(), which keep order */
    // Frames of requests sent while others were in flight, for the link directLink_, written by
    // one flushOutbox() on the strand, posted whenever the outbox stops being empty.
    std::vector<std::shared_ptr<OutFrame>> outbox_;
    bool outboxArm_ = false; /* the flush must arm the deadline timer */

    Event latched_ = Event::None; /* the last connection event, for late registrations */
    std::int32_t latchedStatus_ = VELORN_IPC_OK;
    ConnectionHandler onConnected_;
    ConnectionHandler onLost_;
};

} // namespace velorn

#endif
