// The floor of the exchange benchmarks: plain blocking sockets over loopback
// exchanging frames of the same sizes as the service's, with nothing between
// the socket and the bytes.
#pragma once

#include <cstddef>
#include <string>
#include <thread>

namespace bench {

// One connected pair of loopback sockets and an echo thread. Each request
// frame is a 28-byte header (its payload size in the first four bytes, big
// endian) and the payload; the echo thread answers every complete request
// frame with one response frame of the fixed size given, writing all answers
// of one read in a single write.
//
// Ownership and threads: the object owns both sockets and the echo thread.
// roundTrip and exchange run on the one thread that uses the object; the echo
// thread touches only its own socket and the response bytes, which are fixed
// before it starts. Not copyable.
class RawTcpFloor {
public:
    static constexpr std::size_t headerSize = 28; // as the service's frame header

    // Frames of headerSize + requestPayload and headerSize + responsePayload
    // bytes. Throws std::runtime_error when the sockets cannot be set up.
    RawTcpFloor(std::size_t requestPayload, std::size_t responsePayload);
    // Closes the client's writing side, which ends the echo thread, and joins it.
    ~RawTcpFloor();
    RawTcpFloor(const RawTcpFloor &) = delete;
    RawTcpFloor &operator=(const RawTcpFloor &) = delete;

    // Writes one request frame and reads its response frame; false on a
    // socket error.
    bool roundTrip();
    // Writes count request frames back to back while reading the answers as
    // they arrive, until all count response frames are in; false on a socket
    // error.
    bool exchange(std::size_t count);

private:
    void echo(); // the echo thread

    int client_ = -1;        // benchmark thread's socket
    int server_ = -1;        // echo thread's socket
    std::string request_;    // one request frame
    std::string response_;   // one response frame
    std::string pipeline_;   // request frames of the last exchange, back to back
    std::thread echoThread_; // started last, joined in the destructor
};

} // namespace bench
