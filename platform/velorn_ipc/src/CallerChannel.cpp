// A caller channel: connects on demand, sends requests and matches replies to them by token.
#include "CallerChannel.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace velorn {

CallerChannel::CallerChannel(Runtime &runtime, std::string host, int port)
    : Object(runtime, Kind::Caller), host_(std::move(host)), port_(port), resolver_(strand()),
      deadlineTimer_(strand()) {}

void CallerChannel::startConnecting() {
    auto self = std::static_pointer_cast<CallerChannel>(shared_from_this());
    asio::post(strand(), [self] {
        if (!self->closed_ && self->state_ == State::Idle)
            self->connect();
    });
}

void CallerChannel::setConnectionHandler(bool connected, velorn_ipc_connection_handler handler,
                                         void *context) {
    auto self = std::static_pointer_cast<CallerChannel>(shared_from_this());
    asio::post(strand(), [self, connected, handler, context] {
        if (self->closed_)
            return;
        (connected ? self->onConnected_ : self->onLost_) = ConnectionHandler{handler, context};
        // The event that already happened is delivered once to the newly registered handler.
        const Event wanted = connected ? Event::Connected : Event::Failed;
        if (handler != nullptr && self->latched_ == wanted) {
            const auto status = self->latchedStatus_;
            self->callHandler([&] { handler(self->handle(), context, status); });
        }
    });
}

void CallerChannel::send(velorn_ipc_message_handler handler, void *context, std::uint64_t token,
                         std::uint32_t methodId, std::uint32_t size, const char *buffer,
                         std::int32_t timeoutMs) {
    auto request = std::make_shared<Request>();
    request->handler = handler;
    request->context = context;
    request->token = token;
    request->methodId = methodId;
    FrameHeader header;
    header.kind = FrameKind::Request;
    header.token = token;
    header.methodId = methodId;
    header.size = size;
    request->frame = makeFrame(header, buffer);
    if (sendNow(request, timeoutMs))
        return;
    auto self = std::static_pointer_cast<CallerChannel>(shared_from_this());
    try {
        asio::post(strand(), [self, request, timeoutMs] { self->submit(request, timeoutMs); });
    } catch (...) {
        std::lock_guard<std::mutex> lock(directMutex_);
        --posted_;
        throw;
    }
}

// On the sending thread, while the connection is up and no earlier request is still on its way
// through submit() (so that requests leave in the order they were sent): a request sent while no
// other is in flight and the link writes nothing goes out from the sending thread itself; one
// sent while others are in flight joins the outbox, which the strand writes in one go (one write
// and one hand-off for a burst of requests, instead of a system call on the sending thread for
// each). False when the request must take the submit() path (posted_ then counts it).
// The send itself holds only directMutex_: the strand matches replies under pendingMutex_
// meanwhile, so a thread that sends request after request does not hold up their replies.
bool CallerChannel::sendNow(const std::shared_ptr<Request> &request, std::int32_t timeoutMs) {
    std::lock_guard<std::mutex> lock(directMutex_);
    if (directFd_ < 0 || posted_ > 0) {
        ++posted_;
        return false;
    }
    // Registered before the bytes leave: the reply may arrive at once.
    bool arm = false;
    bool alone = false;
    {
        std::lock_guard<std::mutex> pendingLock(pendingMutex_);
        alone = pending_.empty();
        arm = track(request, timeoutMs);
    }
    if (!alone || !directIdle_ || !outbox_.empty()) {
        toOutbox(request->frame, arm);
        return true;
    }
    std::shared_ptr<OutFrame> rest; /* what the strand must still write */
    auto &bytes = request->frame->bytes;
    const ssize_t sent = ::send(directFd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent == static_cast<ssize_t>(bytes.size())) {
        std::vector<char>().swap(bytes);
    } else {
        // The socket is full or failed: the strand writes the rest or reports the failure.
        directIdle_ = false;
        if (sent > 0) {
            rest = std::make_shared<OutFrame>(); // cannot be cancelled once begun
            rest->bytes.assign(bytes.begin() + sent, bytes.end());
        } else {
            rest = request->frame;
        }
    }
    if (!arm && !rest)
        return true;
    // Posted under directMutex_, so that no later request can reach the strand before the rest.
    auto self = std::static_pointer_cast<CallerChannel>(shared_from_this());
    try {
        asio::post(strand(), [self, link = directLink_, rest, arm] {
            self->sendOnStrand(link, rest, arm);
        });
    } catch (...) {
        // Without the strand the frame can be neither finished nor timed: give the connection
        // up, which completes the request with VELORN_IPC_ECONNLOST.
        ::shutdown(directFd_, SHUT_RDWR);
    }
    return true;
}

// directMutex_ held: the frame joins the outbox; the frame that finds it empty posts the flush
// that empties it (a flush that finds it emptied by a lost connection does nothing).
void CallerChannel::toOutbox(std::shared_ptr<OutFrame> frame, bool arm) {
    const bool first = outbox_.empty();
    outbox_.push_back(std::move(frame));
    outboxArm_ = outboxArm_ || arm;
    if (!first)
        return;
    auto self = std::static_pointer_cast<CallerChannel>(shared_from_this());
    try {
        asio::post(strand(), [self] { self->flushOutbox(); });
    } catch (...) {
        // As in sendNow: without the strand nothing is written or timed; give the connection up.
        outbox_.clear();
        ::shutdown(directFd_, SHUT_RDWR);
        return;
    }
    directIdle_ = false; // the link writes the outbox: later requests queue behind it
}

// On the strand: hands the outbox to the link it was gathered for, in one write. Frames of a
// link that is gone belong to requests that failed with it.
void CallerChannel::flushOutbox() {
    std::vector<std::shared_ptr<OutFrame>> frames;
    bool arm = false;
    std::shared_ptr<Link> link;
    {
        std::lock_guard<std::mutex> lock(directMutex_);
        frames.swap(outbox_);
        arm = outboxArm_;
        outboxArm_ = false;
        link = directLink_;
    }
    if (closed_)
        return;
    if (arm)
        armDeadlineTimer();
    if (link && link == link_)
        link->sendAll(std::move(frames));
}

void CallerChannel::sendOnStrand(const std::shared_ptr<Link> &link,
                                 std::shared_ptr<OutFrame> frame, bool arm) {
    if (closed_)
        return;
    if (arm)
        armDeadlineTimer();
    // On a link that is gone the request was failed with it; a new link must not get the rest.
    if (frame && link && link == link_)
        link->send(std::move(frame));
}

// Adds the request to pending_ and its deadline to deadlines_; true when the deadline timer must
// be armed for it. pendingMutex_ held.
bool CallerChannel::track(const std::shared_ptr<Request> &request, std::int32_t timeoutMs) {
    pending_.emplace(request->token, request);
    if (timeoutMs <= 0)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    request->deadline = deadlines_.emplace(deadline, request);
    request->hasDeadline = true;
    return !deadlineArmed_ || deadline < armedFor_;
}

// The strand is about to queue a frame on the link: direct writes wait until it is written.
void CallerChannel::linkQueued() {
    std::lock_guard<std::mutex> lock(directMutex_);
    directIdle_ = false;
}

void CallerChannel::onSent(std::size_t) {
    if (!link_ || !link_->writeIdle())
        return;
    std::lock_guard<std::mutex> lock(directMutex_);
    if (directLink_ == link_)
        directIdle_ = true;
}

// directMutex_ held.
void CallerChannel::stopDirect() {
    if (directFd_ >= 0)
        ::close(directFd_);
    directFd_ = -1;
    directLink_.reset();
    directIdle_ = false;
    outbox_.clear(); // their requests fail with the connection
    outboxArm_ = false;
}

void CallerChannel::refuse(velorn_ipc_message_handler handler, void *context, std::uint64_t token,
                           std::uint32_t methodId, std::int32_t code) {
    auto self = std::static_pointer_cast<CallerChannel>(shared_from_this());
    asio::post(strand(), [self, handler, context, token, methodId, code] {
        self->callHandler(
            [&] { handler(self->handle(), context, token, methodId, 0, nullptr, code); });
    });
}

void CallerChannel::submit(const std::shared_ptr<Request> &request, std::int32_t timeoutMs) {
    bool arm = false;
    {
        std::lock_guard<std::mutex> lock(directMutex_);
        --posted_;
        if (closed_)
            return;
        std::lock_guard<std::mutex> pendingLock(pendingMutex_);
        arm = track(request, timeoutMs);
        if (state_ == State::Connected)
            directIdle_ = false;
    }
    if (arm)
        armDeadlineTimer();
    if (state_ == State::Connected) {
        link_->send(request->frame);
        return;
    }
    waiting_.push_back(request);
    if (state_ == State::Idle)
        connect();
}

void CallerChannel::connect() {
    state_ = State::Connecting;
    const auto attempt = ++attempt_;
    auto self = std::static_pointer_cast<CallerChannel>(shared_from_this());
    resolver_.async_resolve(
        host_, std::to_string(port_), asio::ip::tcp::resolver::numeric_service,
        [self, attempt](const asio::error_code &error,
                        const asio::ip::tcp::resolver::results_type &endpoints) {
            self->onResolved(attempt, error, endpoints);
        });
}

void CallerChannel::onResolved(std::uint64_t attempt, const asio::error_code &error,
                               const asio::ip::tcp::resolver::results_type &endpoints) {
    if (closed_ || attempt != attempt_)
        return;
    if (error) {
        disconnected(VELORN_IPC_EADDR);
        return;
    }
    connecting_ = std::make_shared<asio::ip::tcp::socket>(strand());
    auto self = std::static_pointer_cast<CallerChannel>(shared_from_this());
    asio::async_connect(*connecting_, endpoints,
                        [self, attempt, socket = connecting_](const asio::error_code &error,
                                                              const asio::ip::tcp::endpoint &) {
                            self->onConnected(attempt, error);
                        });
}

void CallerChannel::onConnected(std::uint64_t attempt, const asio::error_code &error) {
    if (closed_ || attempt != attempt_)
        return;
    auto socket = std::move(connecting_);
    if (error) {
        disconnected(VELORN_IPC_ECONNECT);
        return;
    }
    asio::error_code ignored;
    socket->set_option(asio::ip::tcp::no_delay(true), ignored);
    try {
        auto self = std::static_pointer_cast<CallerChannel>(shared_from_this());
        link_ = std::make_shared<Link>(std::move(*socket), FrameKind::Response, self,
                                       runtime().limits().stallTimeout);
    } catch (const std::bad_alloc &) {
        disconnected(VELORN_IPC_ECONNECT);
        return;
    }
    state_ = State::Connected;
    link_->start();
    if (state_ != State::Connected)
        return; // start() failed and already reported the loss
    if (!waiting_.empty())
        linkQueued();
    for (auto &request : waiting_)
        if (!request->done)
            link_->send(request->frame);
    waiting_.clear();
    if (state_ == State::Connected) {
        std::lock_guard<std::mutex> lock(directMutex_);
        const int fd = link_->nativeHandle();
        directFd_ = fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
        directLink_ = directFd_ >= 0 ? link_ : nullptr;
        directIdle_ = link_->writeIdle();
    }
    announce(Event::Connected, VELORN_IPC_OK);
}

bool CallerChannel::onFrame(Link &, const FrameHeader &header, const char *payload) {
    std::shared_ptr<Request> request;
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        const auto range = pending_.equal_range(header.token);
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second->methodId != header.methodId)
                continue;
            request = std::move(it->second);
            pending_.erase(it);
            request->done = true;
            dropDeadline(*request);
            break;
        }
    }
    // A reply with a nonzero code carries no bytes for the handler (velorn_ipc.h).
    if (request && header.code == VELORN_IPC_OK)
        complete(*request, VELORN_IPC_OK, header.size, payload);
    else if (request)
        complete(*request, header.code, 0, nullptr);
    return !closed_ && !destroyed();
}

void CallerChannel::onFailed(Link &link, std::int32_t code) {
    if (closed_ || &link != link_.get())
        return;
    disconnected(code);
}

void CallerChannel::disconnected(std::int32_t code) {
    link_.reset();
    connecting_.reset();
    state_ = State::Idle;
    // Every request still due was on the lost connection or waited for the failed attempt.
    std::vector<std::shared_ptr<Request>> failed;
    {
        std::lock_guard<std::mutex> lock(directMutex_);
        stopDirect();
        std::lock_guard<std::mutex> pendingLock(pendingMutex_);
        failed.reserve(pending_.size());
        for (auto &entry : pending_) {
            entry.second->done = true;
            entry.second->hasDeadline = false;
            failed.push_back(std::move(entry.second));
        }
        pending_.clear();
        deadlines_.clear();
    }
    waiting_.clear();
    for (auto &request : failed)
        complete(*request, code, 0, nullptr);
    announce(Event::Failed, code);
}

void CallerChannel::armDeadlineTimer() {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    if (deadlines_.empty())
        return;
    const auto earliest = deadlines_.begin()->first;
    if (deadlineArmed_ && armedFor_ <= earliest)
        return; // fires first, then waits again for the rest
    deadlineArmed_ = true;
    armedFor_ = earliest;
    deadlineTimer_.expires_at(earliest); // an earlier wait ends with operation_aborted
    auto self = std::static_pointer_cast<CallerChannel>(shared_from_this());
    deadlineTimer_.async_wait([self](const asio::error_code &error) { self->onDeadlineTimer(error); });
}

void CallerChannel::onDeadlineTimer(const asio::error_code &error) {
    if (closed_ || error == asio::error::operation_aborted)
        return; // closed, or replaced by a wait for an earlier deadline
    const auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        deadlineArmed_ = false;
    }
    while (!closed_) {
        std::shared_ptr<Request> request;
        {
            std::lock_guard<std::mutex> lock(pendingMutex_);
            if (deadlines_.empty() || deadlines_.begin()->first > now)
                break;
            request = deadlines_.begin()->second;
            dropDeadline(*request);
            forget(request);
            request->done = true;
        }
        timedOut(*request); // may close the connection, which empties deadlines_
    }
    if (!closed_)
        armDeadlineTimer();
}

// pendingMutex_ held.
void CallerChannel::dropDeadline(Request &request) {
    if (!request.hasDeadline)
        return;
    request.hasDeadline = false;
    deadlines_.erase(request.deadline);
}

void CallerChannel::timedOut(Request &request) {
    request.frame->cancelled = true; // not yet written: no need to send it any more
    // A reply stuck in the middle of its frame would hold up every later reply on this
    // connection: give it up, so that the next request connects afresh. The direct path closes
    // before the handler runs, or a request it sends would go to the abandoned connection.
    const bool giveUp = link_ && link_->midFrame();
    if (giveUp) {
        link_->close();
        std::lock_guard<std::mutex> lock(directMutex_);
        stopDirect();
    }
    complete(request, VELORN_IPC_ETIMEDOUT, 0, nullptr);
    if (giveUp && !closed_)
        disconnected(VELORN_IPC_ECONNLOST);
}

// pendingMutex_ held.
void CallerChannel::forget(const std::shared_ptr<Request> &request) {
    const auto range = pending_.equal_range(request->token);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == request) {
            pending_.erase(it);
            return;
        }
    }
}

void CallerChannel::complete(Request &request, std::int32_t code, std::uint32_t size,
                             const char *payload) {
    callHandler([&] {
        request.handler(handle(), request.context, request.token, request.methodId, size,
                        payload, code);
    });
}

void CallerChannel::announce(Event event, std::int32_t status) {
    latched_ = event;
    latchedStatus_ = status;
    const auto handler = event == Event::Connected ? onConnected_ : onLost_;
    if (handler.function != nullptr)
        callHandler([&] { handler.function(handle(), handler.context, status); });
}

void CallerChannel::closeOnStrand() {
    closed_ = true;
    ++attempt_;
    resolver_.cancel();
    if (connecting_) {
        asio::error_code ignored;
        connecting_->close(ignored);
        connecting_.reset();
    }
    if (link_) {
        link_->close();
        link_.reset();
    }
    deadlineTimer_.cancel();
    {
        std::lock_guard<std::mutex> lock(directMutex_);
        stopDirect();
        std::lock_guard<std::mutex> pendingLock(pendingMutex_);
        deadlines_.clear();
        pending_.clear();
    }
    waiting_.clear();
    onConnected_ = ConnectionHandler{};
    onLost_ = ConnectionHandler{};
}

} // namespace velorn
