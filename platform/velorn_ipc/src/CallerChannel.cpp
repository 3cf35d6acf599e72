// A caller channel: connects on demand, sends requests and matches replies to them by token.
#include "CallerChannel.h"

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
    auto self = std::static_pointer_cast<CallerChannel>(shared_from_this());
    asio::post(strand(), [self, request, timeoutMs] { self->submit(request, timeoutMs); });
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
    if (closed_)
        return;
    pending_.emplace(request->token, request);
    if (timeoutMs > 0) {
        request->deadline = deadlines_.emplace(
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs), request);
        request->hasDeadline = true;
        armDeadlineTimer();
    }
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
    for (auto &request : waiting_)
        if (!request->done)
            link_->send(request->frame);
    waiting_.clear();
    announce(Event::Connected, VELORN_IPC_OK);
}

bool CallerChannel::onFrame(Link &, const FrameHeader &header, const char *payload) {
    const auto range = pending_.equal_range(header.token);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second->methodId != header.methodId)
            continue;
        auto request = std::move(it->second);
        pending_.erase(it);
        request->done = true;
        dropDeadline(*request);
        // A reply with a nonzero code carries no bytes for the handler (velorn_ipc.h).
        if (header.code == VELORN_IPC_OK)
            complete(*request, VELORN_IPC_OK, header.size, payload);
        else
            complete(*request, header.code, 0, nullptr);
        break;
    }
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
    failed.reserve(pending_.size());
    for (auto &entry : pending_)
        failed.push_back(std::move(entry.second));
    pending_.clear();
    waiting_.clear();
    deadlines_.clear();
    for (auto &request : failed) {
        request->done = true;
        request->hasDeadline = false;
        complete(*request, code, 0, nullptr);
    }
    announce(Event::Failed, code);
}

void CallerChannel::armDeadlineTimer() {
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
    deadlineArmed_ = false;
    const auto now = std::chrono::steady_clock::now();
    while (!closed_ && !deadlines_.empty() && deadlines_.begin()->first <= now) {
        auto request = deadlines_.begin()->second;
        dropDeadline(*request);
        onTimeout(request); // may close the connection, which empties deadlines_
    }
    if (!closed_)
        armDeadlineTimer();
}

void CallerChannel::dropDeadline(Request &request) {
    if (!request.hasDeadline)
        return;
    request.hasDeadline = false;
    deadlines_.erase(request.deadline);
}

void CallerChannel::onTimeout(const std::shared_ptr<Request> &request) {
    if (closed_ || request->done)
        return;
    dropDeadline(*request);
    forget(request);
    request->done = true;
    request->frame->cancelled = true; // not yet written: no need to send it any more
    complete(*request, VELORN_IPC_ETIMEDOUT, 0, nullptr);
    // A reply stuck in the middle of its frame would hold up every later reply on this
    // connection: give it up, so that the next request connects afresh.
    if (!closed_ && link_ && link_->midFrame()) {
        link_->close();
        disconnected(VELORN_IPC_ECONNLOST);
    }
}

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
    deadlines_.clear();
    pending_.clear();
    waiting_.clear();
    onConnected_ = ConnectionHandler{};
    onLost_ = ConnectionHandler{};
}

} // namespace velorn
