// Feeds any bytes to velorn_ipc's frame reader over real loopback
// connections, and to its frame header functions directly.
//
// Input: the first byte chooses the side (bit 0), the rest is the byte
// stream that the peer sends.
//   callee side (0): the bytes go to a connection accepted by a callee
//     channel whose request handler answers every request with its own token,
//     method id and payload;
//   caller side (1): a caller channel sends three requests to a plain
//     listening socket, which answers with the bytes and then closes its
//     writing side.
//
// What the library must do is predicted from the documented frame layout
// (Frame.h, docs/ipc.md) by a reader of this file's own, and compared:
//   callee: while the stream ends on a frame boundary or inside a frame, the
//     answers are exactly the echoes of the complete frames, in order; after
//     a malformed header the connection closes and the answers received are
//     a prefix of them;
//   caller: every request's handler runs exactly once, with the payload of
//     the first reply frame carrying its token and method id, with that
//     frame's code, or with VELORN_IPC_EPROTO (bad frame) or
//     VELORN_IPC_ECONNLOST (end of stream) when none did.
// decodeFrameHeader and encodeFrameHeader are compared with the same reader.
//
// Nothing may take longer than ioDeadline; a hang is reported as a failure.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "Frame.h"
#include "velorn_ipc.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds ioDeadline{10};
constexpr std::size_t headerSize = 28;

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "fuzz_ipc_frames: %s\n", what.c_str());
    std::abort();
}

// ---- The documented layout, read independently of the library ------------

std::uint64_t bigEndian(const std::uint8_t *bytes, int count) {
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

struct WireFrame {
    int kind = 0;            // 1 request, 2 response
    std::uint64_t token = 0;
    std::uint32_t methodId = 0;
    std::int32_t code = 0;
    std::string payload;
};

enum class Read { Frame, Incomplete, Bad };

// Reads one frame from the front of bytes. Bad: a header (complete) that the
// documented layout forbids or of the wrong kind; Incomplete: more bytes are
// needed.
Read readFrame(const std::uint8_t *bytes, std::size_t available, int expectedKind,
               WireFrame &frame, std::size_t &used) {
    if (available < headerSize)
        return Read::Incomplete;
    if (bigEndian(bytes, 4) != 0x56495043u || bytes[4] != 1 || bytes[5] != expectedKind)
        return Read::Bad;
    const std::uint64_t size = bigEndian(bytes + 24, 4);
    if (size > VELORN_IPC_MAX_PAYLOAD)
        return Read::Bad;
    if (available < headerSize + size)
        return Read::Incomplete;
    frame.kind = bytes[5];
    frame.token = bigEndian(bytes + 8, 8);
    frame.methodId = static_cast<std::uint32_t>(bigEndian(bytes + 16, 4));
    frame.code = static_cast<std::int32_t>(static_cast<std::uint32_t>(bigEndian(bytes + 20, 4)));
    frame.payload.assign(reinterpret_cast<const char *>(bytes) + headerSize, size);
    used = headerSize + size;
    return Read::Frame;
}

// The complete frames at the front of a stream and how the stream goes on.
struct StreamReading {
    std::vector<WireFrame> frames;
    Read end = Read::Incomplete; // Bad, or Incomplete (also for a stream ending on a boundary)
};

StreamReading readStream(const std::uint8_t *bytes, std::size_t size, int expectedKind) {
    StreamReading reading;
    std::size_t offset = 0;
    for (;;) {
        WireFrame frame;
        std::size_t used = 0;
        const Read step = readFrame(bytes + offset, size - offset, expectedKind, frame, used);
        if (step != Read::Frame) {
            reading.end = step;
            return reading;
        }
        reading.frames.push_back(std::move(frame));
        offset += used;
    }
}

std::string describe(const WireFrame &frame) {
    return "{token " + std::to_string(frame.token) + ", method " +
           std::to_string(frame.methodId) + ", code " + std::to_string(frame.code) + ", " +
           std::to_string(frame.payload.size()) + " bytes}";
}

// decodeFrameHeader and encodeFrameHeader against the reader above.
void checkHeaderFunctions(const std::uint8_t *bytes, std::size_t size) {
    if (size < headerSize)
        return;
    velorn::FrameHeader header;
    const std::int32_t result = velorn::decodeFrameHeader(reinterpret_cast<const char *>(bytes),
                                                          header);
    const bool valid = bigEndian(bytes, 4) == 0x56495043u && bytes[4] == 1 &&
                       (bytes[5] == 1 || bytes[5] == 2) &&
                       bigEndian(bytes + 24, 4) <= VELORN_IPC_MAX_PAYLOAD;
    if ((result == VELORN_IPC_OK) != valid)
        fail("decodeFrameHeader returned " + std::to_string(result) + " for a header that is " +
             (valid ? "valid" : "invalid"));
    if (!valid)
        return;
    if (result != VELORN_IPC_OK || static_cast<int>(header.kind) != bytes[5] ||
        header.token != bigEndian(bytes + 8, 8) || header.methodId != bigEndian(bytes + 16, 4) ||
        static_cast<std::uint32_t>(header.code) != bigEndian(bytes + 20, 4) ||
        header.size != bigEndian(bytes + 24, 4))
        fail("decodeFrameHeader misread a header");
    char again[headerSize];
    velorn::encodeFrameHeader(header, again);
    for (std::size_t i = 0; i < headerSize; ++i)
        if ((i < 6 || i >= 8) && static_cast<std::uint8_t>(again[i]) != bytes[i])
            fail("encodeFrameHeader does not give back byte " + std::to_string(i));
    if (again[6] != 0 || again[7] != 0)
        fail("encodeFrameHeader wrote a nonzero reserved field");
}

// ---- Plain sockets ---------------------------------------------------------

int milliseconds(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// Waits for events on one socket until the deadline; false when it passed.
bool waitFor(int socket, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd entry{socket, events, 0};
        const int ready = ::poll(&entry, 1, milliseconds(deadline));
        if (ready > 0)
            return true;
        if (ready == 0)
            return false;
        if (errno != EINTR)
            fail(std::string("poll: ") + std::strerror(errno));
    }
}

// Sends everything; false when the peer closed (it may, after a bad frame).
bool sendAll(int socket, const std::uint8_t *bytes, std::size_t size,
             Clock::time_point deadline) {
    while (size > 0) {
        if (!waitFor(socket, POLLOUT, deadline))
            fail("the peer stopped reading");
        const ssize_t sent = ::send(socket, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (sent <= 0)
            return false;
        bytes += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

// Appends what arrives to received; false at the end of the stream (or a
// reset, which a close with unread data causes).
bool receiveSome(int socket, std::string &received, Clock::time_point deadline,
                 const char *waitingFor) {
    if (!waitFor(socket, POLLIN, deadline))
        fail(std::string("nothing arrived while waiting for ") + waitingFor);
    char chunk[4096];
    const ssize_t got = ::recv(socket, chunk, sizeof chunk, MSG_DONTWAIT);
    if (got < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    if (got <= 0)
        return false;
    received.append(chunk, static_cast<std::size_t>(got));
    return true;
}

int connectTo(int port) {
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (socket < 0)
        fail(std::string("socket: ") + std::strerror(errno));
    if (::connect(socket, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        // libFuzzer's timeout alarm can interrupt connect; the connection then
        // completes in the background, and SO_ERROR tells how it ended.
        if (errno != EINTR)
            fail(std::string("connect: ") + std::strerror(errno));
        pollfd writable{socket, POLLOUT, 0};
        while (::poll(&writable, 1, -1) < 0 && errno == EINTR) {
        }
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0)
            fail(std::string("connect: ") + std::strerror(error));
    }
    int one = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return socket;
}

// ---- Callee side -----------------------------------------------------------

void echoRequest(velorn_ipc_handle connection, void *, std::uint64_t token,
                 std::uint32_t methodId, std::uint32_t size, const char *buffer,
                 std::int32_t code) {
    if (code != VELORN_IPC_OK)
        fail("a request arrived with code " + std::to_string(code));
    if (size > 0 && buffer == nullptr)
        fail("a request of " + std::to_string(size) + " bytes arrived without a buffer");
    callee_async_send_ipc_response(connection, nullptr, nullptr, token, methodId, size, buffer,
                                   5000);
}

int armReceiving(velorn_ipc_handle, void *, velorn_ipc_handle connection) {
    return callee_async_recv_ipc_request(connection, &echoRequest, nullptr);
}

// The library's threads run for the whole fuzzing run: starting them for
// every input would cost more than the input.
void ensureModule() {
    static const int started = initial_velorn_ipc_module();
    (void)started;
}

// A listening callee channel, made once and kept for the whole run.
int calleePort() {
    static const int port = [] {
        ensureModule();
        const velorn_ipc_handle listener = callee_create_ipc_channel_tcp("127.0.0.1", 0);
        if (listener == 0 || callee_accept_ipc_channel(listener, &armReceiving, nullptr) != 0)
            fail("cannot listen with a callee channel");
        return callee_ipc_channel_port(listener);
    }();
    return port;
}

void runCalleeSide(const std::uint8_t *bytes, std::size_t size) {
    const StreamReading expected = readStream(bytes, size, 1);
    const auto deadline = Clock::now() + ioDeadline;
    const int socket = connectTo(calleePort());
    sendAll(socket, bytes, size, deadline);

    std::string received;
    bool open = true;
    auto answers = [&] {
        const StreamReading reading =
            readStream(reinterpret_cast<const std::uint8_t *>(received.data()), received.size(), 2);
        if (reading.end == Read::Bad)
            fail("the callee sent a malformed response frame");
        return reading.frames;
    };
    if (expected.end == Read::Bad) {
        // The connection closes after the bad header, maybe before every
        // answer went out.
        while (open)
            open = receiveSome(socket, received, deadline, "the callee to close");
    } else {
        while (open && answers().size() < expected.frames.size())
            open = receiveSome(socket, received, deadline, "the answers");
        if (!open)
            fail("the callee closed a connection that sent no bad frame");
    }
    const std::vector<WireFrame> got = answers();
    if (got.size() > expected.frames.size())
        fail(std::to_string(got.size()) + " answers to " +
             std::to_string(expected.frames.size()) + " requests");
    for (std::size_t i = 0; i < got.size(); ++i) {
        const WireFrame &request = expected.frames[i];
        if (got[i].token != request.token || got[i].methodId != request.methodId ||
            got[i].code != 0 || got[i].payload != request.payload)
            fail("answer " + std::to_string(i) + " " + describe(got[i]) + " to request " +
                 describe(request));
    }
    if (open) {
        // Nothing else may come: only the end of the stream.
        ::shutdown(socket, SHUT_WR);
        const std::size_t before = received.size();
        while (open)
            open = receiveSome(socket, received, deadline, "the callee to close");
        if (received.size() != before)
            fail("the callee sent bytes after the last answer");
    }
    ::close(socket);
}

// ---- Caller side -----------------------------------------------------------

// The requests the caller channel sends: two share a token, two a method id.
struct SentRequest {
    std::uint64_t token;
    std::uint32_t methodId;
    const char *payload;
};
constexpr SentRequest sentRequests[] = {
    {1, 0x10, "req0"},
    {2, 0x10, "req1"},
    {1, 0x20, "req2"},
};
constexpr std::size_t requestCount = sizeof sentRequests / sizeof sentRequests[0];

// What the response handler reported for one request. Written by IPC
// threads, read by the fuzzing thread; guarded by outcomeLock.
struct Outcome {
    int calls = 0;
    std::uint64_t token = 0;
    std::uint32_t methodId = 0;
    std::int32_t code = 0;
    std::string payload;
};

std::mutex outcomeLock;
std::condition_variable outcomeChanged; // notified under outcomeLock
Outcome outcomes[requestCount];         // guarded by outcomeLock

void recordResponse(velorn_ipc_handle, void *context, std::uint64_t token,
                    std::uint32_t methodId, std::uint32_t size, const char *buffer,
                    std::int32_t code) {
    if (code != VELORN_IPC_OK && (size != 0 || buffer != nullptr))
        fail("a failed request came with bytes");
    if (size > 0 && buffer == nullptr)
        fail("a reply of " + std::to_string(size) + " bytes came without a buffer");
    std::lock_guard<std::mutex> lock(outcomeLock);
    Outcome &outcome = *static_cast<Outcome *>(context);
    ++outcome.calls;
    outcome.token = token;
    outcome.methodId = methodId;
    outcome.code = code;
    outcome.payload.assign(buffer != nullptr ? buffer : "", size);
    outcomeChanged.notify_all();
}

// A plain listening socket standing for the callee, made once.
int rawListener() {
    static const int listener = [] {
        const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (socket < 0 || ::bind(socket, reinterpret_cast<sockaddr *>(&address), sizeof address) ||
            ::listen(socket, 16))
            fail("cannot listen with a plain socket");
        return socket;
    }();
    return listener;
}

int rawListenerPort() {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(rawListener(), reinterpret_cast<sockaddr *>(&address), &length);
    return ntohs(address.sin_port);
}

// The outcome of every request as the documented behaviour makes it.
std::vector<Outcome> predictOutcomes(const StreamReading &reading) {
    std::vector<Outcome> predicted(requestCount);
    std::vector<bool> pending(requestCount, true);
    for (const WireFrame &frame : reading.frames)
        for (std::size_t i = 0; i < requestCount; ++i)
            if (pending[i] && sentRequests[i].token == frame.token &&
                sentRequests[i].methodId == frame.methodId) {
                pending[i] = false;
                predicted[i].code = frame.code;
                if (frame.code == VELORN_IPC_OK)
                    predicted[i].payload = frame.payload;
                break;
            }
    for (std::size_t i = 0; i < requestCount; ++i) {
        predicted[i].calls = 1;
        predicted[i].token = sentRequests[i].token;
        predicted[i].methodId = sentRequests[i].methodId;
        if (pending[i])
            predicted[i].code =
                reading.end == Read::Bad ? VELORN_IPC_EPROTO : VELORN_IPC_ECONNLOST;
    }
    return predicted;
}

void runCallerSide(const std::uint8_t *bytes, std::size_t size) {
    const auto deadline = Clock::now() + ioDeadline;
    ensureModule();
    {
        std::lock_guard<std::mutex> lock(outcomeLock);
        for (Outcome &outcome : outcomes)
            outcome = Outcome();
    }
    const velorn_ipc_handle channel = caller_create_ipc_channel_tcp("127.0.0.1", rawListenerPort());
    if (channel == 0)
        fail("cannot create a caller channel");
    for (std::size_t i = 0; i < requestCount; ++i) {
        const SentRequest &request = sentRequests[i];
        if (caller_async_send_ipc_request(channel, &recordResponse, &outcomes[i], request.token,
                                          request.methodId, 4, request.payload,
                                          static_cast<std::int32_t>(ioDeadline.count() * 3000)) !=
            VELORN_IPC_OK)
            fail("a request was refused");
    }
    if (!waitFor(rawListener(), POLLIN, deadline))
        fail("the caller channel did not connect");
    int socket;
    while ((socket = ::accept(rawListener(), nullptr, nullptr)) < 0 && errno == EINTR) {
    }
    if (socket < 0)
        fail(std::string("accept: ") + std::strerror(errno));

    // The requests arrive first, in the order they were sent.
    std::string received;
    const std::size_t requestBytes = requestCount * (headerSize + 4);
    while (received.size() < requestBytes)
        if (!receiveSome(socket, received, deadline, "the requests"))
            fail("the caller channel closed before sending its requests");
    const StreamReading requests =
        readStream(reinterpret_cast<const std::uint8_t *>(received.data()), received.size(), 1);
    if (requests.frames.size() != requestCount || received.size() != requestBytes)
        fail("the caller channel sent " + std::to_string(received.size()) + " bytes for " +
             std::to_string(requestCount) + " requests");
    for (std::size_t i = 0; i < requestCount; ++i) {
        const WireFrame &frame = requests.frames[i];
        if (frame.token != sentRequests[i].token || frame.methodId != sentRequests[i].methodId ||
            frame.code != 0 || frame.payload != sentRequests[i].payload)
            fail("request " + std::to_string(i) + " went out as " + describe(frame));
    }

    sendAll(socket, bytes, size, deadline);
    ::shutdown(socket, SHUT_WR);

    const std::vector<Outcome> predicted =
        predictOutcomes(readStream(bytes, size, 2));
    {
        std::unique_lock<std::mutex> lock(outcomeLock);
        auto allCalled = [] {
            for (const Outcome &outcome : outcomes)
                if (outcome.calls == 0)
                    return false;
            return true;
        };
        if (!outcomeChanged.wait_until(lock, deadline, allCalled))
            fail("a request was never completed");
    }
    // Handlers that would run twice run now, or not at all after destroy.
    caller_destroy_ipc_channel(channel);
    ::close(socket);

    std::lock_guard<std::mutex> lock(outcomeLock);
    for (std::size_t i = 0; i < requestCount; ++i) {
        const Outcome &got = outcomes[i], &want = predicted[i];
        if (got.calls != 1 || got.token != want.token || got.methodId != want.methodId ||
            got.code != want.code || got.payload != want.payload)
            fail("request " + std::to_string(i) + ": handler called " +
                 std::to_string(got.calls) + " times, last with code " +
                 std::to_string(got.code) + " and " + std::to_string(got.payload.size()) +
                 " bytes; expected once with code " + std::to_string(want.code) + " and " +
                 std::to_string(want.payload.size()) + " bytes");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return -1;
    const std::uint8_t *stream = data + 1;
    const std::size_t streamSize = size - 1;
    checkHeaderFunctions(stream, streamSize);
    if (data[0] & 1)
        runCallerSide(stream, streamSize);
    else
        runCalleeSide(stream, streamSize);
    return 0;
}
