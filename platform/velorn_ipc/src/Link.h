// One TCP connection that reads and writes frames, shared by caller channels and accepted connections.
#ifndef VELORN_IPC_LINK_H
#define VELORN_IPC_LINK_H

#include "Frame.h"
#include "Limits.h"

#include <asio.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <vector>

namespace velorn {

// A frame waiting to be written. Owner: whoever queued it and the link, shared; touched only on
// the strand of the link.
struct OutFrame {
    std::vector<char> bytes;                          /* header and payload */
    bool cancelled = false;                           /* skip it if not yet written */
    bool hasDeadline = false;                         /* the link closes if it is not written... */
    std::chrono::steady_clock::time_point deadline{}; /* ...by then */
};

// Builds a frame; throws std::bad_alloc.
std::shared_ptr<OutFrame> makeFrame(const FrameHeader &header, const char *payload);

//   start()                              send(frame)
//      |                                     |
//   async_read_some <---------+           queue --> write_some (batch) ---+ taken whole
//      | (buffer grows with   |              ^           | partly         |
//      |  the frame's bytes)  |              |      async_write (rest)    |
//      |                      |              +------ onSent (sink) <------+
//   parse frames -------------+                        |
//      |  mayRead (sink)? no --> paused ---------------+ resumes after a write when
//      |  onFrame (sink)                                 mayRead says yes again
//   EOF on a callee link --> input ended: writes go on, onInputEnded (sink)
//   error/EOF/bad frame/stall --> close() -> onFailed (sink), once
//
// All members are touched on the strand that is the socket's executor. The link keeps its sink
// alive until it closes; the sink owns the link.
class Link : public std::enable_shared_from_this<Link> {
public:
    class Sink {
    public:
        // A complete frame of the expected kind; payload is null when header.size is 0 and is
        // valid only during the call. Returns false when reading must stop.
        virtual bool onFrame(Link &link, const FrameHeader &header, const char *payload) = 0;
        // The link closed by itself: VELORN_IPC_ECONNLOST (also for a stalled frame),
        // VELORN_IPC_EPROTO or VELORN_IPC_ETIMEDOUT (a frame missed its write deadline). Not
        // called after close().
        virtual void onFailed(Link &link, std::int32_t code) = 0;
        // Asked before every frame is delivered and every read: false pauses reading, which
        // the link retries after each completed write.
        virtual bool mayRead() { return true; }
        // Frames of that many bytes left the queue: written, or dropped because cancelled.
        virtual void onSent(std::size_t) {}
        // A link that reads requests saw the end of its peer's input; it keeps writing.
        virtual void onInputEnded(Link &) {}

    protected:
        ~Sink() = default;
    };

    Link(asio::ip::tcp::socket socket, FrameKind incoming, std::shared_ptr<Sink> sink,
         std::chrono::milliseconds stallTimeout);
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    void start();
    void send(std::shared_ptr<OutFrame> frame);
    // Queues the frames in order and starts one write for all of them.
    void sendAll(std::vector<std::shared_ptr<OutFrame>> frames);
    // Closes the socket and drops queued frames without calling the sink. Idempotent.
    void close();
    bool open() const { return open_; }
    // Part of a frame (or of a header) was received and the rest has not arrived yet.
    bool midFrame() const { return readEnd_ > readBegin_; }
    bool inputEnded() const { return inputEnded_; }
    // Nothing is queued or being written.
    bool writeIdle() const { return !writing_ && queue_.empty(); }
    // The socket's descriptor, for a caller that duplicates it; -1 once closed.
    int nativeHandle() { return open_ ? static_cast<int>(socket_.native_handle()) : -1; }

private:
    void readMore();
    void onRead(const asio::error_code &error, std::size_t bytes);
    void parseFrames();
    void deliverFrames();
    void makeRoom(std::size_t frameBytes);
    void releaseReadBuffer();
    void endInput();
    void resume();
    void queue(std::shared_ptr<OutFrame> frame);
    void startWriting();
    void writeMore();
    void writeRest(std::size_t written);
    void onWritten(const asio::error_code &error);
    void batchWritten();
    void armDeadline();
    void onDeadline(const asio::error_code &error);
    void armStallCheck();
    void onStallCheck(const asio::error_code &error);
    void fail(std::int32_t code);

    static constexpr std::size_t kBatchFrames = 256;
    static constexpr std::size_t kBatchBytes = 1024 * 1024;

    asio::ip::tcp::socket socket_;
    const FrameKind incoming_;
    std::shared_ptr<Sink> sink_; /* null once closed */
    bool open_ = true;

    std::vector<char> readBuffer_;   /* bytes [readBegin_, readEnd_) are not parsed yet */
    std::size_t readBegin_ = 0;
    std::size_t readEnd_ = 0;
    bool reading_ = false;     /* an async_read_some uses readBuffer_ */
    bool paused_ = false;      /* the sink refused reading; retried after each write */
    bool inputEnded_ = false;  /* the peer shut down its sending side (callee links only) */
    bool parsing_ = false;     /* deliverFrames is on the stack: writing and resuming wait for its end */

    std::deque<std::shared_ptr<OutFrame>> queue_;   /* not yet handed to async_write */
    std::vector<std::shared_ptr<OutFrame>> batch_;  /* being written */
    std::vector<asio::const_buffer> batchBuffers_;  /* views of batch_, alive during the write */
    bool writing_ = false;

    std::multiset<std::chrono::steady_clock::time_point> deadlines_; /* of queue_ and batch_ */
    asio::steady_timer deadlineTimer_;
    bool deadlineArmed_ = false;
    std::chrono::steady_clock::time_point armedFor_{};

    // One timer checks for stalls lazily: reads only move lastProgress_, and the timer, when it
    // fires early, waits again for the rest of the interval instead of being re-armed per read.
    const std::chrono::milliseconds stallTimeout_;
    asio::steady_timer stallTimer_;
    bool stallArmed_ = false;
    std::chrono::steady_clock::time_point lastProgress_{}; /* last input, or output once ended */
};

} // namespace velorn

#endif
