// One TCP connection that reads and writes frames, shared by caller channels and accepted connections.
#include "Link.h"

#include "velorn_ipc.h"

#include <algorithm>
#include <cstring>

namespace velorn {

std::shared_ptr<OutFrame> makeFrame(const FrameHeader &header, const char *payload) {
    auto frame = std::make_shared<OutFrame>();
    frame->bytes.resize(kFrameHeaderSize + header.size);
    encodeFrameHeader(header, frame->bytes.data());
    if (header.size > 0)
        std::memcpy(frame->bytes.data() + kFrameHeaderSize, payload, header.size);
    return frame;
}

Link::Link(asio::ip::tcp::socket socket, FrameKind incoming, std::shared_ptr<Sink> sink,
           std::chrono::milliseconds stallTimeout)
    : socket_(std::move(socket)), incoming_(incoming), sink_(std::move(sink)),
      deadlineTimer_(socket_.get_executor()), stallTimeout_(stallTimeout),
      stallTimer_(socket_.get_executor()) {
    asio::error_code ignored; // without it a write only takes the asynchronous path
    socket_.non_blocking(true, ignored);
}

void Link::start() {
    if (!open_ || !readBuffer_.empty() || inputEnded_)
        return;
    try {
        readBuffer_.resize(kFirstReadBuffer);
    } catch (const std::bad_alloc &) {
        fail(VELORN_IPC_ECONNLOST);
        return;
    }
    readMore();
}

void Link::readMore() {
    if (!sink_->mayRead()) {
        paused_ = true;
        return;
    }
    reading_ = true;
    socket_.async_read_some(
        asio::buffer(readBuffer_.data() + readEnd_, readBuffer_.size() - readEnd_),
        [self = shared_from_this()](const asio::error_code &error, std::size_t bytes) {
            self->onRead(error, bytes);
        });
}

void Link::onRead(const asio::error_code &error, std::size_t bytes) {
    reading_ = false;
    if (!open_) {
        releaseReadBuffer();
        return;
    }
    if (error == asio::error::eof && incoming_ == FrameKind::Request) {
        endInput();
        return;
    }
    if (error) {
        fail(VELORN_IPC_ECONNLOST);
        return;
    }
    lastProgress_ = std::chrono::steady_clock::now();
    readEnd_ += bytes;
    try {
        parseFrames();
    } catch (const std::bad_alloc &) {
        fail(VELORN_IPC_ECONNLOST);
    }
}

// Delivers the frames that arrived, then writes in one go what their handlers queued: a peer
// that sends a burst of requests gets a burst of responses back in one write, where writing each
// response as its handler queued it cost a system call per response. A single request's
// response leaves as soon as its handler returns, as before.
void Link::parseFrames() {
    deliverFrames();
    if (open_ && !writing_ && !queue_.empty()) {
        auto self = shared_from_this(); // the sink may let go of this link when told of the write
        writeMore();
    }
}

void Link::deliverFrames() {
    // A write completed from inside a handler must not deliver the next frame there, and a
    // frame queued there waits for the end of the delivery (parseFrames).
    struct Parsing {
        bool &flag;
        explicit Parsing(bool &f) : flag(f) { flag = true; }
        ~Parsing() { flag = false; }
    } parsing(parsing_);
    std::size_t frameBytes = kFrameHeaderSize; // of the frame at readBegin_, once known
    while (open_) {
        const std::size_t available = readEnd_ - readBegin_;
        if (available < kFrameHeaderSize)
            break;
        FrameHeader header;
        if (decodeFrameHeader(readBuffer_.data() + readBegin_, header) != VELORN_IPC_OK ||
            header.kind != incoming_) {
            fail(VELORN_IPC_EPROTO);
            return;
        }
        frameBytes = kFrameHeaderSize + header.size;
        if (available < frameBytes)
            break;
        if (!sink_->mayRead()) {
            paused_ = true; // the frame stays in the buffer until reading resumes
            return;
        }
        const char *payload = header.size > 0 ? readBuffer_.data() + readBegin_ + kFrameHeaderSize
                                              : nullptr;
        readBegin_ += frameBytes; // the bytes stay in place until the next read
        frameBytes = kFrameHeaderSize;
        auto sink = sink_; // keeps the sink alive should it close this link
        if (!sink->onFrame(*this, header, payload))
            return;
    }
    if (!open_)
        return;
    makeRoom(frameBytes);
    if (midFrame())
        armStallCheck();
    readMore();
}

// Leaves free space after readEnd_ for the frame at readBegin_ (frameBytes long in all), and
// gives a large frame's memory back once it was delivered. The buffer grows only when it is full
// of the frame's own bytes, by doubling, so what a peer makes the link hold follows what it sent.
void Link::makeRoom(std::size_t frameBytes) {
    const std::size_t unparsed = readEnd_ - readBegin_;
    if (unparsed == 0) {
        readBegin_ = readEnd_ = 0;
        if (readBuffer_.size() > kFirstReadBuffer)
            std::vector<char>(kFirstReadBuffer).swap(readBuffer_);
        return;
    }
    if (readBuffer_.size() > kFirstReadBuffer && unparsed <= kFirstReadBuffer / 2) {
        std::vector<char> smaller(kFirstReadBuffer);
        std::memcpy(smaller.data(), readBuffer_.data() + readBegin_, unparsed);
        readBuffer_.swap(smaller);
    } else if (readEnd_ == readBuffer_.size()) {
        if (unparsed == readBuffer_.size()) {
            // Bounded by kFrameHeaderSize + VELORN_IPC_MAX_PAYLOAD, which the header check kept.
            std::vector<char> bigger(std::min(readBuffer_.size() * 2, frameBytes));
            std::memcpy(bigger.data(), readBuffer_.data(), unparsed);
            readBuffer_.swap(bigger);
        } else {
            std::memmove(readBuffer_.data(), readBuffer_.data() + readBegin_, unparsed);
        }
    } else {
        return;
    }
    readBegin_ = 0;
    readEnd_ = unparsed;
}

void Link::releaseReadBuffer() {
    readBegin_ = readEnd_ = 0;
    std::vector<char>().swap(readBuffer_);
}

// The peer will send nothing more: the partial frame, if any, can never complete, and what is
// still owed to the peer is the sink's to finish.
void Link::endInput() {
    inputEnded_ = true;
    paused_ = false;
    releaseReadBuffer();
    lastProgress_ = std::chrono::steady_clock::now();
    armStallCheck();
    auto sink = sink_;
    sink->onInputEnded(*this);
}

void Link::resume() {
    if (!open_ || !paused_ || reading_ || inputEnded_)
        return;
    paused_ = false;
    // The bytes were waiting on us, not on the peer.
    lastProgress_ = std::chrono::steady_clock::now();
    try {
        parseFrames();
    } catch (const std::bad_alloc &) {
        fail(VELORN_IPC_ECONNLOST);
    }
}

void Link::queue(std::shared_ptr<OutFrame> frame) {
    if (frame->hasDeadline)
        deadlines_.insert(frame->deadline);
    queue_.push_back(std::move(frame));
}

void Link::send(std::shared_ptr<OutFrame> frame) {
    if (!open_)
        return;
    queue(std::move(frame));
    startWriting();
}

void Link::sendAll(std::vector<std::shared_ptr<OutFrame>> frames) {
    if (!open_ || frames.empty())
        return;
    for (auto &frame : frames)
        queue(std::move(frame));
    startWriting();
}

// After queuing: one write for everything queued, unless one is in progress.
void Link::startWriting() {
    if (inputEnded_)
        lastProgress_ = std::chrono::steady_clock::now();
    if (writing_ || parsing_) {
        armDeadline();
        return;
    }
    auto self = shared_from_this(); // the sink may let go of this link when told of the write
    writeMore(); // arms the deadline timer only for what the socket did not take at once
}

// Writes batches straight from the strand while the socket takes them whole, so that an idle
// connection's frame leaves without waking another thread for the write's completion; only what
// the socket does not take at once waits for it asynchronously.
void Link::writeMore() {
    while (open_) {
        batch_.clear();
        batchBuffers_.clear();
        std::size_t bytes = 0;
        std::size_t dropped = 0;
        while (!queue_.empty() && batch_.size() < kBatchFrames && bytes < kBatchBytes) {
            auto frame = std::move(queue_.front());
            queue_.pop_front();
            if (frame->cancelled) {
                if (frame->hasDeadline)
                    deadlines_.erase(deadlines_.find(frame->deadline));
                dropped += frame->bytes.size();
                continue;
            }
            bytes += frame->bytes.size();
            batchBuffers_.push_back(asio::buffer(frame->bytes));
            batch_.push_back(std::move(frame));
        }
        writing_ = !batch_.empty(); // before onSent: the batch is not written yet
        if (dropped > 0)
            sink_->onSent(dropped);
        if (!writing_ || !open_)
            break;
        asio::error_code error;
        const std::size_t written = socket_.write_some(batchBuffers_, error);
        if (error || written < bytes) {
            // Errors too take the asynchronous path, which reports them from its completion.
            writeRest(written);
            return;
        }
        batchWritten();
    }
    armDeadline();
    if (paused_ && !parsing_)
        resume();
}

void Link::writeRest(std::size_t written) {
    // Drops the views of what the socket already took.
    auto first = batchBuffers_.begin();
    while (first != batchBuffers_.end() && written >= first->size()) {
        written -= first->size();
        ++first;
    }
    batchBuffers_.erase(batchBuffers_.begin(), first);
    if (!batchBuffers_.empty())
        batchBuffers_.front() += written;
    asio::async_write(socket_, batchBuffers_,
                      [self = shared_from_this()](const asio::error_code &error, std::size_t) {
                          self->onWritten(error);
                      });
}

void Link::onWritten(const asio::error_code &error) {
    if (!open_)
        return;
    if (error) {
        fail(VELORN_IPC_ECONNLOST);
        return;
    }
    batchWritten();
    writeMore();
}

// The frames of batch_ are on the wire: their deadlines go, their bytes are freed, the sink hears
// of them.
void Link::batchWritten() {
    std::size_t written = 0;
    for (auto &frame : batch_) {
        if (frame->hasDeadline)
            deadlines_.erase(deadlines_.find(frame->deadline));
        written += frame->bytes.size();
        std::vector<char>().swap(frame->bytes); // a caller's request keeps its frame until answered
    }
    batch_.clear();
    batchBuffers_.clear();
    writing_ = false;
    if (inputEnded_)
        lastProgress_ = std::chrono::steady_clock::now();
    auto sink = sink_; // keeps the sink alive should it close this link
    if (sink)
        sink->onSent(written);
}

// The timer is left running when its frame is written in time: it fires, finds nothing overdue
// and waits for the next deadline, which costs less than cancelling and re-arming per frame.
void Link::armDeadline() {
    if (deadlines_.empty())
        return;
    const auto earliest = *deadlines_.begin();
    if (deadlineArmed_ && armedFor_ <= earliest)
        return;
    deadlineArmed_ = true;
    armedFor_ = earliest;
    deadlineTimer_.expires_at(earliest);
    deadlineTimer_.async_wait(
        [self = shared_from_this()](const asio::error_code &error) { self->onDeadline(error); });
}

void Link::onDeadline(const asio::error_code &error) {
    if (!open_ || error == asio::error::operation_aborted)
        return;
    deadlineArmed_ = false;
    if (!deadlines_.empty() && *deadlines_.begin() <= std::chrono::steady_clock::now()) {
        fail(VELORN_IPC_ETIMEDOUT);
        return;
    }
    armDeadline();
}

void Link::armStallCheck() {
    if (stallArmed_ || stallTimeout_.count() <= 0)
        return;
    stallArmed_ = true;
    stallTimer_.expires_at(lastProgress_ + stallTimeout_);
    stallTimer_.async_wait(
        [self = shared_from_this()](const asio::error_code &error) { self->onStallCheck(error); });
}

void Link::onStallCheck(const asio::error_code &error) {
    stallArmed_ = false;
    if (!open_ || error == asio::error::operation_aborted)
        return;
    // A paused link is waiting on its own writes, and an idle one between frames on nobody.
    if (!inputEnded_ && (paused_ || !midFrame()))
        return;
    if (std::chrono::steady_clock::now() - lastProgress_ >= stallTimeout_) {
        fail(VELORN_IPC_ECONNLOST);
        return;
    }
    armStallCheck();
}

void Link::fail(std::int32_t code) {
    if (!open_)
        return;
    auto sink = sink_;
    close();
    if (sink)
        sink->onFailed(*this, code);
}

void Link::close() {
    if (!open_)
        return;
    open_ = false;
    asio::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    deadlineTimer_.cancel();
    stallTimer_.cancel();
    queue_.clear();
    deadlines_.clear();
    sink_.reset();
    if (!reading_)
        releaseReadBuffer(); // otherwise the read's completion releases it
}

} // namespace velorn
