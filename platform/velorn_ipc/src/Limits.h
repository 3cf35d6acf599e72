// What one connection may cost the process: the defaults of every bound the library enforces.
#ifndef VELORN_IPC_LIMITS_H
#define VELORN_IPC_LIMITS_H

#include <chrono>
#include <cstddef>

namespace velorn {

// Bounds that keep a hostile or broken peer from holding memory or connections (docs/ipc.md).
// A runtime copies them when the module is initialised and never changes its copy.
struct Limits {
    // A connection that has sent part of a frame (or of a header) and then nothing for this
    // long is closed; so is a callee connection whose peer ended its input and whose
    // responses make no progress for this long. Zero turns the check off.
    std::chrono::milliseconds stallTimeout{10000};
    // A callee connection stops reading while more response bytes than this wait to be
    // written to it, and reads again once they are written.
    std::size_t maxUnsentResponseBytes = 8u << 20;
    // Connections a listening channel keeps at once; further ones are closed when accepted.
    std::size_t maxConnections = 1024;
};

// A frame's buffer starts at this size and doubles as the frame's bytes arrive, up to the size
// its header announces: a header alone costs no more than this.
constexpr std::size_t kFirstReadBuffer = 64 * 1024;

// The limits the next first initial_velorn_ipc_module takes. The library itself never calls
// the setter; tests that link the library's objects directly lower the limits with it, so that
// they need not wait ten seconds or fill 8 MiB. Thread-safe (one mutex).
Limits nextLimits();
void setNextLimits(const Limits &limits);

} // namespace velorn

#endif
