// Peers that misbehave on purpose, over loopback: raw sockets against a callee channel, and a raw
// serving socket against a caller channel. One row per way of misbehaving.
#include "IpcTestSupport.h"
#include "Limits.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <memory>
#include <sstream>

using namespace ipctest;
using velorn::Limits;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// ---- This process's memory, from /proc --------------------------------------------------

std::size_t statusBytes(const std::string &field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, field.size() + 1, field + ":") == 0)
            return std::stoull(line.substr(field.size() + 1)) * 1024; // the kernel writes kB
    ADD_FAILURE() << field << " is not in /proc/self/status";
    return 0;
}

// Makes VmHWM start again from the current resident size.
void resetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// ---- Blocking-free sockets with deadlines -----------------------------------------------

// One socket of a peer that the test plays by hand. Every wait ends at a deadline, so a library
// that does not answer fails the test instead of hanging it.
class RawSocket {
public:
    explicit RawSocket(int fd) : fd_(fd) {}
    RawSocket(RawSocket &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    RawSocket(const RawSocket &) = delete;
    RawSocket &operator=(const RawSocket &) = delete;
    ~RawSocket() {
        if (fd_ >= 0)
            ::close(fd_);
    }

    static RawSocket connectTo(int port) {
        RawSocket socket(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        sockaddr_in address = loopback(port);
        ::connect(socket.fd_, reinterpret_cast<sockaddr *>(&address), sizeof address);
        int one = 1;
        ::setsockopt(socket.fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return socket;
    }
    static RawSocket listenOnLoopback() {
        RawSocket socket(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        sockaddr_in address = loopback(0);
        EXPECT_EQ(::bind(socket.fd_, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(socket.fd_, 16), 0);
        return socket;
    }
    int port() const {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length);
        return ntohs(address.sin_port);
    }
    // A listening socket's next connection; an invalid socket when none came in time.
    RawSocket accept() {
        if (!ready(POLLIN, Clock::now() + kPatience))
            return RawSocket(-1);
        return RawSocket(::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK));
    }
    bool valid() const { return fd_ >= 0; }

    // Sends out while receiving, until everything was sent and `expected` bytes arrived, the
    // peer closed, or the deadline passed. Returns what arrived. A peer that shuts its sending
    // side down afterwards reads nothing before, so that answers pile up at the other side.
    std::string pump(const std::string &out, std::size_t expected, bool shutdownAfter = false) {
        // Only a hung peer waits this long; large transfers under a sanitizer take a while.
        const auto megabytes = (out.size() + expected) >> 20;
        const auto deadline = Clock::now() + kPatience * (1 + megabytes / 8);
        std::string in;
        std::size_t sent = 0;
        bool shut = false;
        while (in.size() < expected || sent < out.size()) {
            if (sent == out.size() && shutdownAfter && !shut)
                shut = ::shutdown(fd_, SHUT_WR) == 0;
            const bool reading = in.size() < expected && (!shutdownAfter || shut);
            const short events = static_cast<short>((reading ? POLLIN : 0) |
                                                    (sent < out.size() ? POLLOUT : 0));
            if (!ready(events, deadline))
                break;
            if (sent < out.size()) {
                const ssize_t n = ::send(fd_, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
                if (n > 0)
                    sent += static_cast<std::size_t>(n);
                else if (n < 0 && errno != EAGAIN)
                    break;
            }
            if (reading && !receiveSome(in))
                break;
        }
        if (shutdownAfter && !shut)
            ::shutdown(fd_, SHUT_WR);
        return in;
    }
    // Sends copies of `copy` until the peer takes nothing for a while (its buffers and ours are
    // full) or `limit` bytes went out. Returns the bytes sent; the last copy may be cut short.
    std::size_t flood(const std::string &copy, std::size_t limit) {
        std::size_t sent = 0;
        while (sent < limit && ready(POLLOUT, Clock::now() + kQuiet)) {
            const std::size_t offset = sent % copy.size();
            const ssize_t n = ::send(fd_, copy.data() + offset, copy.size() - offset, MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN)
                break;
            if (n > 0)
                sent += static_cast<std::size_t>(n);
        }
        return sent;
    }
    // True when the peer closed (end of stream or reset) before the deadline; what arrives
    // meanwhile is discarded.
    bool closedByPeer() {
        const auto deadline = Clock::now() + kPatience;
        std::string ignored;
        while (ready(POLLIN, deadline))
            if (!receiveSome(ignored))
                return true;
        return false;
    }

private:
    // How long a flooding peer waits for its socket to take more before it concludes that the
    // other side stopped reading. Only decides when the flood ends, never whether a test passes.
    static constexpr milliseconds kQuiet{1500};

    static sockaddr_in loopback(int port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        return address;
    }
    bool ready(short events, Clock::time_point deadline) {
        for (;;) {
            const auto left =
                std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
            pollfd entry{fd_, events, 0};
            const int n = ::poll(&entry, 1, static_cast<int>(std::max<long long>(left, 0)));
            if (n > 0)
                return true;
            if (n == 0 || errno != EINTR)
                return false;
        }
    }
    // False at the end of the stream or on an error.
    bool receiveSome(std::string &in) {
        char chunk[64 * 1024];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n > 0)
            in.append(chunk, static_cast<std::size_t>(n));
        return n > 0 || (n < 0 && errno == EAGAIN);
    }

    int fd_;
};

// What an echoing callee answers to a byte stream: every complete request frame, as a response.
std::string echoOf(const std::string &requests) {
    std::string answers;
    std::size_t at = 0;
    while (requests.size() - at >= kHeaderSize) {
        std::size_t size = 0;
        for (std::size_t i = 24; i < kHeaderSize; ++i)
            size = (size << 8) | static_cast<unsigned char>(requests[at + i]);
        if (requests.size() - at - kHeaderSize < size)
            break;
        answers += requests.substr(at, kHeaderSize + size);
        answers[answers.size() - kHeaderSize - size + 5] = static_cast<char>(kResponse);
        at += kHeaderSize + size;
    }
    return answers;
}

std::string header(std::uint32_t announced) {
    auto bytes = frame(kRequest, 7, kMethod, "");
    for (int i = 0; i < 4; ++i)
        bytes[24 + i] = static_cast<char>(announced >> (24 - 8 * i));
    return bytes;
}

Limits lowered(milliseconds stall, std::size_t unsentBytes = 1u << 20,
               std::size_t connections = 64) {
    Limits limits;
    limits.stallTimeout = stall;
    limits.maxUnsentResponseBytes = unsentBytes;
    limits.maxConnections = connections;
    return limits;
}

// Initialises the module with a row's limits and gives the defaults back afterwards.
template <typename Row> class Hostile : public ::testing::TestWithParam<Row> {
protected:
    void SetUp() override {
        velorn::setNextLimits(this->GetParam().limits);
        ASSERT_EQ(initial_velorn_ipc_module(), VELORN_IPC_OK);
    }
    void TearDown() override {
        EXPECT_EQ(release_velorn_ipc_module(), VELORN_IPC_OK);
        velorn::setNextLimits(Limits{});
    }
};

// ---- Against a callee --------------------------------------------------------------------

enum class Send { Once, ThenShutDown, UntilRefused };

struct CalleeRow {
    const char *name;
    Limits limits;
    std::string (*bytes)(); // what each hostile connection sends
    Send how;
    int copies;             // hostile connections
    bool closes;            // the callee closes them (else they keep working)
    std::size_t peakGrowth; // the callee's process may grow by at most this much; 0: unchecked
    int others = 1;         // well-behaved connections, opened first, that must not notice
};

const std::size_t kSlack = 24u << 20; // threads, allocator caches

// Sanitizers add shadow memory for every byte the callee touches, ThreadSanitizer several times
// the byte, and hold freed memory back for a while.
#if defined(__has_feature)
#define HOSTILE_HAS_FEATURE(x) __has_feature(x)
#else
#define HOSTILE_HAS_FEATURE(x) 0
#endif
#if defined(__SANITIZE_THREAD__) || HOSTILE_HAS_FEATURE(thread_sanitizer)
constexpr std::size_t kSanitizerFactor = 4;
#elif defined(__SANITIZE_ADDRESS__) || HOSTILE_HAS_FEATURE(address_sanitizer)
constexpr std::size_t kSanitizerFactor = 2;
#else
constexpr std::size_t kSanitizerFactor = 1;
#endif

const CalleeRow kCalleeRows[] = {
    {"HalfAHeaderIsClosedAfterTheStallTimeout", lowered(milliseconds(300)),
     [] { return frame(kRequest, 1, kMethod, "0123456789").substr(0, 13); }, Send::Once, 1, true,
     0},
    {"HalfAPayloadIsClosedAfterTheStallTimeout", lowered(milliseconds(300)),
     [] { return frame(kRequest, 1, kMethod, "0123456789").substr(0, kHeaderSize + 5); },
     Send::Once, 1, true, 0},
    // Sixteen headers announcing the maximum would hold 1 GiB if announcements were believed.
    {"HeaderOnlyFramesCostTheirBytesNotTheirAnnouncement", lowered(milliseconds(300)),
     [] { return header(VELORN_IPC_MAX_PAYLOAD); }, Send::Once, 16, true,
     kSlack + 16 * 4 * velorn::kFirstReadBuffer},
    // The unsent bound is 1 MiB; the peer offers 256 MiB of requests and reads nothing until
    // the callee stops taking them, then reads every answer.
    {"NonReadingPipelinerIsPausedNotBuffered", lowered(milliseconds(0), 1u << 20),
     [] { return frame(kRequest, 3, kMethod, std::string(60000, 'p')); }, Send::UntilRefused, 1,
     false, kSlack + 8 * (1u << 20)},
    // More answers than the socket buffers hold are still waiting when the input ends.
    {"HalfCloseAfterTwentyPipelinedRequestsGetsEveryAnswer", lowered(milliseconds(300), 8u << 20),
     [] {
         std::string requests;
         for (int i = 0; i < 20; ++i)
             requests += frame(kRequest, 100 + i, kMethod, std::string(200000 + i, 'h'));
         return requests + "VIPC"; // and the start of one that never completes
     },
     Send::ThenShutDown, 1, true, 0},
    {"ConnectionBeyondTheCapIsClosedAtOnce", lowered(milliseconds(0), 1u << 20, 3),
     [] { return std::string(); }, Send::Once, 1, true, 0, /*others=*/3},
    {"PayloadOfExactlyTheMaximumIsAnswered", lowered(milliseconds(0)),
     [] { return frame(kRequest, 5, kMethod, std::string(VELORN_IPC_MAX_PAYLOAD, 'm')); },
     Send::Once, 1, false, 0},
    // Without a stall timeout, only the size check can close it.
    {"OneByteOverTheMaximumIsClosed", lowered(milliseconds(0)),
     [] { return header(VELORN_IPC_MAX_PAYLOAD + 1); }, Send::Once, 1, true, 0},
};

void PrintTo(const CalleeRow &row, std::ostream *out) { *out << row.name; }

// One exchange on a connection that behaves: it is answered.
void expectAnswered(RawSocket &socket, std::uint64_t token) {
    const auto request = frame(kRequest, token, kMethod, "still here");
    EXPECT_EQ(socket.pump(request, request.size()), echoOf(request)) << "token " << token;
}

using HostileCallee = Hostile<CalleeRow>;

TEST_P(HostileCallee, KeepsItsBoundsAndServesEveryoneElse) {
    const CalleeRow &row = GetParam();
    EchoCallee callee(/*silent=*/false, 0, /*responseTimeoutMs=*/0);
    std::vector<RawSocket> others;
    for (int i = 0; i < row.others; ++i) {
        others.push_back(RawSocket::connectTo(callee.port()));
        expectAnswered(others.back(), 1000 + i);
    }
    const std::string bytes = row.bytes();
    resetPeak();
    const std::size_t before = statusBytes("VmRSS");

    std::vector<RawSocket> hostile;
    std::vector<std::string> unsent(row.copies); // what each one still sends while it reads
    std::vector<std::size_t> answerCount(row.copies, 1);
    for (int i = 0; i < row.copies; ++i) {
        hostile.push_back(RawSocket::connectTo(callee.port()));
        unsent[i] = bytes;
        if (row.how == Send::UntilRefused) {
            const std::size_t sent = hostile[i].flood(bytes, 256u << 20);
            answerCount[i] = (sent + bytes.size() - 1) / bytes.size();
            unsent[i] = bytes.substr(sent % bytes.size() == 0 ? bytes.size() : sent % bytes.size());
            EXPECT_LT(sent, 256u << 20) << "the callee never stopped reading";
        }
    }
    // The callee's memory is read while the hostile peers hold it: once the flood stopped
    // (before its answers are read, which costs this process their size), or once they closed.
    const bool flooding = row.how == Send::UntilRefused;
    std::size_t growth = flooding ? statusBytes("VmHWM") - before : 0;
    for (int i = 0; i < row.copies; ++i) {
        std::string expected;
        for (std::size_t n = 0; n < answerCount[i]; ++n)
            expected += echoOf(bytes);
        const auto answers =
            hostile[i].pump(unsent[i], expected.size(), row.how == Send::ThenShutDown);
        EXPECT_TRUE(answers == expected) << answers.size() << " bytes of answers, not "
                                         << expected.size();
    }
    for (int i = 0; i < row.copies; ++i) {
        if (row.closes) {
            EXPECT_TRUE(hostile[i].closedByPeer());
        } else {
            expectAnswered(hostile[i], 2000 + i);
        }
    }
    if (!flooding)
        growth = statusBytes("VmHWM") - before;
    if (row.peakGrowth > 0) {
        EXPECT_LE(growth, row.peakGrowth * kSanitizerFactor);
    }
    RecordProperty("PeakGrowthBytes", std::to_string(growth));
    for (int i = 0; i < row.others; ++i)
        expectAnswered(others[i], 3000 + i);
}

INSTANTIATE_TEST_SUITE_P(Rows, HostileCallee, ::testing::ValuesIn(kCalleeRows),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- Against a caller --------------------------------------------------------------------

struct CallerRow {
    const char *name;
    Limits limits;
    std::int32_t timeoutMs; // of the first request
    std::string (*reply)(); // what the serving peer sends back to the first request
    std::int32_t code;      // the first request's outcome
    std::string replyBytes; // and its bytes
    bool reconnects;        // the caller gave the connection up; the second request makes a new one
};

// A frame inside the payload, then bytes that no frame header starts with.
const std::string kGarbage =
    frame(kResponse, 1, kMethod, "inner") + std::string("\0\xff\x80VIPC", 8);

const CallerRow kCallerRows[] = {
    {"ReplyStallsMidFrameUntilTheRequestTimesOut", lowered(milliseconds(0)), 1000,
     [] { return frame(kResponse, 1, kMethod, "0123456789").substr(0, kHeaderSize + 4); },
     VELORN_IPC_ETIMEDOUT, "", true},
    {"ReplyStallsMidHeaderUntilTheRequestTimesOut", lowered(milliseconds(0)), 1000,
     [] { return frame(kResponse, 1, kMethod, "0123456789").substr(0, 10); },
     VELORN_IPC_ETIMEDOUT, "", true},
    {"ReplyStallsMidFrameOfARequestWithoutDeadline", lowered(milliseconds(300)), 0,
     [] { return frame(kResponse, 1, kMethod, "0123456789").substr(0, kHeaderSize + 4); },
     VELORN_IPC_ECONNLOST, "", true},
    {"GarbageInAValidFrameIsDeliveredAsItsBytes", lowered(milliseconds(300)), 5000,
     [] { return frame(kResponse, 1, kMethod, kGarbage); }, VELORN_IPC_OK, kGarbage, false},
    {"DuplicateAndUnknownTokensAreDropped", lowered(milliseconds(300)), 5000,
     [] {
         return frame(kResponse, 999, kMethod, "unknown token") +
                frame(kResponse, 1, kMethod + 1, "other method") +
                frame(kResponse, 1, kMethod, "answer") + frame(kResponse, 1, kMethod, "again");
     },
     VELORN_IPC_OK, "answer", false},
};

void PrintTo(const CallerRow &row, std::ostream *out) { *out << row.name; }

using HostileServer = Hostile<CallerRow>;

TEST_P(HostileServer, LeavesTheCallerAbleToSendTheNextRequest) {
    const CallerRow &row = GetParam();
    RawSocket listener = RawSocket::listenOnLoopback();
    Recorder replies; // and connection events
    const auto channel = connectCaller(listener.port(), &replies);
    ASSERT_EQ(sendText(channel, replies, 1, "first", row.timeoutMs), VELORN_IPC_OK);
    RawSocket first = listener.accept();
    ASSERT_TRUE(first.valid());
    const auto request = frame(kRequest, 1, kMethod, "first");
    ASSERT_EQ(first.pump(row.reply(), request.size()), request);
    ASSERT_TRUE(replies.waitFor(1));
    if (row.reconnects) {
        EXPECT_TRUE(first.closedByPeer());
    }

    ASSERT_EQ(sendText(channel, replies, 2, "second"), VELORN_IPC_OK);
    RawSocket second = row.reconnects ? listener.accept() : RawSocket(-1);
    RawSocket &serving = row.reconnects ? second : first;
    ASSERT_TRUE(serving.valid()) << "no new connection for the second request";
    const auto next = frame(kRequest, 2, kMethod, "second");
    ASSERT_EQ(serving.pump(frame(kResponse, 2, kMethod, "second answer"), next.size()), next);
    ASSERT_TRUE(replies.waitFor(2, row.reconnects ? 3 : 1));

    const auto messages = replies.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].token, 1u);
    EXPECT_EQ(messages[0].code, row.code);
    EXPECT_EQ(messages[0].bytes, row.replyBytes);
    EXPECT_EQ(messages[1].code, VELORN_IPC_OK);
    EXPECT_EQ(messages[1].bytes, "second answer");
    const std::vector<std::int32_t> events =
        row.reconnects ? std::vector<std::int32_t>{VELORN_IPC_OK, VELORN_IPC_ECONNLOST,
                                                   VELORN_IPC_OK}
                       : std::vector<std::int32_t>{VELORN_IPC_OK};
    EXPECT_EQ(replies.statuses(), events);
    caller_destroy_ipc_channel(channel);
}

INSTANTIATE_TEST_SUITE_P(Rows, HostileServer, ::testing::ValuesIn(kCallerRows),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
