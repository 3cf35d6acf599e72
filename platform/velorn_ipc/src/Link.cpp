// One TCP connection that reads and writes frames, shared by caller channels and accepted connections.
#include "Link.h"

#include "velorn_ipc.h"

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

Link::Link(asio::ip::tcp::socket socket, FrameKind incoming, std::shared_ptr<Sink> sink)
    : socket_(std::move(socket)), incoming_(incoming), sink_(std::move(sink)),
      deadlineTimer_(socket_.get_executor()) {}

void Link::start() {
    if (!open_ || !readBuffer_.empty())
        return;
    try {
        readBuffer_.resize(kReadChunk);
    } catch (const std::bad_alloc &) {
        fail(VELORN_IPC_ECONNLOST);
        return;
    }
    readMore();
}

void Link::readMore() {
    socket_.async_read_some(
        asio::buffer(readBuffer_.data() + readEnd_, readBuffer_.size() - readEnd_),
        [self = shared_from_this()](const asio::error_code &error, std::size_t bytes) {
            self->onRead(error, bytes);
        });
}

void Link::onRead(const asio::error_code &error, std::size_t bytes) {
    if (!open_)
        return;
    if (error) {
        fail(VELORN_IPC_ECONNLOST);
        return;
    }
    readEnd_ += bytes;
    try {
        parseFrames();
    } catch (const std::bad_alloc &) {
        fail(VELORN_IPC_ECONNLOST);
    }
}

void Link::parseFrames() {
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
        const std::size_t needed = kFrameHeaderSize + header.size;
        if (available < needed) {
            if (readBuffer_.size() - readBegin_ < needed) {
                std::memmove(readBuffer_.data(), readBuffer_.data() + readBegin_, available);
                readBegin_ = 0;
                readEnd_ = available;
                if (readBuffer_.size() < needed)
                    readBuffer_.resize(needed); // bounded by VELORN_IPC_MAX_PAYLOAD
            }
            break;
        }
        const char *payload = header.size > 0 ? readBuffer_.data() + readBegin_ + kFrameHeaderSize
                                              : nullptr;
        readBegin_ += needed; // the bytes stay in place until the next read
        auto sink = sink_;    // keeps the sink alive should it close this link
        if (!sink->onFrame(*this, header, payload))
            return;
    }
    if (!open_)
        return;
    if (readBegin_ == readEnd_) {
        readBegin_ = readEnd_ = 0;
        if (readBuffer_.size() > kReadChunk) {
            std::vector<char>(kReadChunk).swap(readBuffer_); // give a large payload's memory back
        }
    } else if (readEnd_ == readBuffer_.size()) {
        std::memmove(readBuffer_.data(), readBuffer_.data() + readBegin_, readEnd_ - readBegin_);
        readEnd_ -= readBegin_;
        readBegin_ = 0;
    }
    readMore();
}

void Link::send(std::shared_ptr<OutFrame> frame) {
    if (!open_)
        return;
    if (frame->hasDeadline) {
        deadlines_.insert(frame->deadline);
        armDeadline();
    }
    queue_.push_back(std::move(frame));
    if (!writing_)
        writeMore();
}

void Link::writeMore() {
    batch_.clear();
    batchBuffers_.clear();
    std::size_t bytes = 0;
    while (!queue_.empty() && batch_.size() < kBatchFrames && bytes < kBatchBytes) {
        auto frame = std::move(queue_.front());
        queue_.pop_front();
        if (frame->cancelled) {
            if (frame->hasDeadline)
                deadlines_.erase(deadlines_.find(frame->deadline));
            continue;
        }
        bytes += frame->bytes.size();
        batchBuffers_.push_back(asio::buffer(frame->bytes));
        batch_.push_back(std::move(frame));
    }
    writing_ = !batch_.empty();
    if (!writing_) {
        armDeadline();
        return;
    }
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
    for (auto &frame : batch_) {
        if (frame->hasDeadline)
            deadlines_.erase(deadlines_.find(frame->deadline));
        std::vector<char>().swap(frame->bytes); // a caller's request keeps its frame until answered
    }
    writeMore();
    armDeadline();
}

void Link::armDeadline() {
    if (deadlines_.empty()) {
        if (deadlineArmed_) {
            deadlineTimer_.cancel();
            deadlineArmed_ = false;
        }
        return;
    }
    const auto earliest = *deadlines_.begin();
    if (deadlineArmed_ && armedFor_ == earliest)
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
    queue_.clear();
    deadlines_.clear();
    sink_.reset();
}

} // namespace velorn
