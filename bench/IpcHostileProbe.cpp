// Measures what hostile peers cost a callee with the library's default limits: the callee runs
// in a child process (an echo service answering with a 5 s response timeout, as the serving
// side does), and this process plays the peers and reads the child's resident size from
// /proc/<pid>/status. Prints one line per figure; docs/ipc.md records a run.
//
//   ipc_hostile_probe            all three probes
//   ipc_hostile_probe headers    50 connections that each send one header announcing 64 MiB
//   ipc_hostile_probe pipeline   one peer that sends requests for 10 s and never reads
//   ipc_hostile_probe stall      half a header, then nothing: time until the callee closes
#include "velorn_ipc.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

void echo(velorn_ipc_handle connection, void *, uint64_t token, uint32_t methodId, uint32_t size,
          const char *buffer, int32_t) {
    callee_async_send_ipc_response(connection, nullptr, nullptr, token, methodId, size, buffer,
                                   5000);
}

int receive(velorn_ipc_handle, void *, velorn_ipc_handle connection) {
    return callee_async_recv_ipc_request(connection, echo, nullptr);
}

// The child: serves until its parent closes the pipe it reported its port on.
[[noreturn]] void serve(int report) {
    initial_velorn_ipc_module();
    const auto listener = callee_create_ipc_channel_tcp("127.0.0.1", 0);
    callee_accept_ipc_channel(listener, receive, nullptr);
    const int port = callee_ipc_channel_port(listener);
    if (::write(report, &port, sizeof port) != sizeof port)
        _exit(1);
    char ignored;
    while (::read(report, &ignored, 1) > 0) {
    }
    _exit(0);
}

double residentMiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    return -1;
}

int connectTo(int port) {
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(socket, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    return socket;
}

std::string request(uint32_t payload, uint32_t announced) {
    std::string bytes(28 + payload, 'p');
    const std::pair<uint64_t, int> fields[] = {{0x56495043u, 4}, {1, 1}, {1, 1}, {0, 2},
                                               {7, 8},           {1, 4}, {0, 4}, {announced, 4}};
    std::size_t at = 0;
    for (const auto &[value, count] : fields)
        for (int i = count - 1; i >= 0; --i)
            bytes[at++] = static_cast<char>(value >> (8 * i));
    return bytes;
}

void probeHeaders(pid_t callee, int port) {
    const double before = residentMiB(callee);
    const std::string header = request(0, VELORN_IPC_MAX_PAYLOAD);
    std::vector<int> sockets;
    for (int i = 0; i < 50; ++i) {
        sockets.push_back(connectTo(port));
        ::send(sockets.back(), header.data(), header.size(), MSG_NOSIGNAL);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1)); // a measurement, not a test
    std::printf("headers: callee RSS %.1f MiB before, %.1f MiB with 50 header-only connections "
                "announcing 64 MiB each\n",
                before, residentMiB(callee));
    for (int socket : sockets)
        ::close(socket);
}

void probePipeline(pid_t callee, int port) {
    const double before = residentMiB(callee);
    const std::string one = request(60000, 60000);
    const int socket = connectTo(port);
    const auto start = Clock::now();
    std::size_t sent = 0;
    double peak = before;
    bool closed = false;
    auto nextSample = start;
    while (Clock::now() - start < std::chrono::seconds(10)) {
        pollfd entry{socket, POLLOUT, 0};
        if (::poll(&entry, 1, 100) > 0) {
            if (entry.revents & (POLLERR | POLLHUP)) {
                closed = true;
                break;
            }
            const ssize_t n = ::send(socket, one.data() + sent % one.size(),
                                     one.size() - sent % one.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EAGAIN) {
                closed = true;
                break;
            }
            if (n > 0)
                sent += static_cast<std::size_t>(n);
        }
        if (Clock::now() >= nextSample) {
            const double now = residentMiB(callee);
            peak = now > peak ? now : peak;
            nextSample += std::chrono::milliseconds(500);
            std::printf("pipeline: %4.1f s  sent %7.1f MiB  callee RSS %6.1f MiB\n",
                        std::chrono::duration<double>(Clock::now() - start).count(),
                        sent / 1048576.0, now);
        }
    }
    std::printf("pipeline: callee RSS %.1f MiB before, peak %.1f MiB, %.1f MiB after; %.1f MiB "
                "of requests accepted; %s\n",
                before, peak, residentMiB(callee), sent / 1048576.0,
                closed ? "the callee closed the connection" : "still open after 10 s");
    ::close(socket);
}

void probeStall(int port) {
    const std::string half = request(10, 10).substr(0, 13);
    const int socket = connectTo(port);
    ::send(socket, half.data(), half.size(), MSG_NOSIGNAL);
    const auto start = Clock::now();
    pollfd entry{socket, POLLIN, 0};
    char byte;
    const bool closed = ::poll(&entry, 1, 60000) > 0 && ::recv(socket, &byte, 1, 0) <= 0;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (closed)
        std::printf("stall: half a header was closed after %.2f s\n", seconds);
    else
        std::printf("stall: still open after %.0f s\n", seconds);
    ::close(socket);
}

} // namespace

int main(int argc, char **argv) {
    const std::string which = argc > 1 ? argv[1] : "all";
    int report[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, report) != 0)
        return 1;
    const pid_t callee = ::fork();
    if (callee == 0) {
        ::close(report[0]);
        serve(report[1]);
    }
    ::close(report[1]);
    int port = 0;
    if (::read(report[0], &port, sizeof port) != sizeof port)
        return 1;
    if (which == "all" || which == "headers")
        probeHeaders(callee, port);
    if (which == "all" || which == "pipeline")
        probePipeline(callee, port);
    if (which == "all" || which == "stall")
        probeStall(port);
    ::close(report[0]);
    int status = 0;
    ::waitpid(callee, &status, 0);
    return 0;
}
