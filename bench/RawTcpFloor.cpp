// Plain-socket loopback exchange used as the floor of the service benchmarks.
#include "RawTcpFloor.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace bench {

namespace {

void setNoDelay(int socket) {
    int one = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool writeAll(int socket, const char *bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::send(socket, bytes, size, MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool readAll(int socket, char *bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t got = ::recv(socket, bytes, size, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

std::string frame(std::size_t payload) {
    std::string bytes(RawTcpFloor::headerSize + payload, 'x');
    const auto size = static_cast<std::uint32_t>(payload);
    for (int i = 0; i < 4; ++i)
        bytes[static_cast<std::size_t>(i)] = static_cast<char>(size >> (24 - 8 * i));
    return bytes;
}

std::uint32_t payloadSize(const char *header) {
    std::uint32_t size = 0;
    for (int i = 0; i < 4; ++i)
        size = (size << 8) | static_cast<unsigned char>(header[i]);
    return size;
}

} // namespace

RawTcpFloor::RawTcpFloor(std::size_t requestPayload, std::size_t responsePayload)
    : request_(frame(requestPayload)), response_(frame(responsePayload)) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        if (listener >= 0)
            ::close(listener);
        throw std::runtime_error("raw floor: cannot listen on 127.0.0.1:0");
    }
    client_ = ::socket(AF_INET, SOCK_STREAM, 0);
    // The connection completes in the listener's backlog, so accept does not wait.
    if (client_ < 0 ||
        ::connect(client_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        (server_ = ::accept(listener, nullptr, nullptr)) < 0) {
        ::close(listener);
        if (client_ >= 0)
            ::close(client_);
        throw std::runtime_error("raw floor: cannot connect over loopback");
    }
    ::close(listener);
    setNoDelay(client_);
    setNoDelay(server_);
    echoThread_ = std::thread([this] { echo(); });
}

RawTcpFloor::~RawTcpFloor() {
    ::shutdown(client_, SHUT_WR);
    echoThread_.join();
    ::close(client_);
    ::close(server_);
}

void RawTcpFloor::echo() {
    std::vector<char> input(64 * 1024 + request_.size());
    std::size_t begin = 0, end = 0;
    std::string answers;
    for (;;) {
        const ssize_t got = ::recv(server_, input.data() + end, input.size() - end, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return;
        end += static_cast<std::size_t>(got);
        while (end - begin >= headerSize) {
            const std::size_t needed = headerSize + payloadSize(input.data() + begin);
            if (end - begin < needed)
                break;
            begin += needed;
            answers += response_;
        }
        std::memmove(input.data(), input.data() + begin, end - begin);
        end -= begin;
        begin = 0;
        if (!writeAll(server_, answers.data(), answers.size()))
            return;
        answers.clear();
    }
}

bool RawTcpFloor::roundTrip() {
    std::vector<char> answer(response_.size());
    return writeAll(client_, request_.data(), request_.size()) &&
           readAll(client_, answer.data(), answer.size());
}

bool RawTcpFloor::exchange(std::size_t count) {
    if (pipeline_.size() != count * request_.size()) {
        pipeline_.clear();
        for (std::size_t i = 0; i < count; ++i)
            pipeline_ += request_;
    }
    const std::size_t expected = count * response_.size();
    std::size_t sent = 0, received = 0;
    std::vector<char> scratch(64 * 1024);
    // One thread both writes and reads, so neither side's buffers can fill up
    // while the other waits.
    while (received < expected) {
        pollfd events{client_, static_cast<short>(POLLIN | (sent < pipeline_.size() ? POLLOUT : 0)),
                      0};
        if (::poll(&events, 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (events.revents & (POLLERR | POLLHUP))
            return false;
        if (events.revents & POLLOUT) {
            const ssize_t written = ::send(client_, pipeline_.data() + sent,
                                           pipeline_.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (written < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            if (written > 0)
                sent += static_cast<std::size_t>(written);
        }
        if (events.revents & POLLIN) {
            const ssize_t got = ::recv(client_, scratch.data(), scratch.size(), MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
                return false;
            if (got > 0)
                received += static_cast<std::size_t>(got);
        }
    }
    return received == expected;
}

} // namespace bench
