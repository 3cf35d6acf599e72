// The fixed frame header that every request and response carries on the wire.
#ifndef VELORN_IPC_FRAME_H
#define VELORN_IPC_FRAME_H

#include <cstddef>
#include <cstdint>

namespace velorn {

// Layout, all fields in network byte order (docs/ipc.md):
//
//   offset  size  field
//        0     4  magic "VIPC" (0x56495043)
//        4     1  version (1)
//        5     1  kind (1 request, 2 response)
//        6     2  reserved, written 0, ignored on reading
//        8     8  token
//       16     4  method id
//       20     4  transport code (signed)
//       24     4  payload byte count, at most VELORN_IPC_MAX_PAYLOAD
//       28        payload
constexpr std::size_t kFrameHeaderSize = 28;
constexpr std::uint32_t kFrameMagic = 0x56495043u;
constexpr std::uint8_t kFrameVersion = 1;

enum class FrameKind : std::uint8_t { Request = 1, Response = 2 };

struct FrameHeader {
    FrameKind kind = FrameKind::Request;
    std::uint64_t token = 0;    /* chosen by the caller, echoed by the callee */
    std::uint32_t methodId = 0; /* echoed by the callee */
    std::int32_t code = 0;      /* VELORN_IPC_* code; 0 in requests */
    std::uint32_t size = 0;     /* payload bytes that follow the header */
};

// Writes kFrameHeaderSize bytes to out.
void encodeFrameHeader(const FrameHeader &header, char *out);

// Reads kFrameHeaderSize bytes; returns VELORN_IPC_OK, or VELORN_IPC_EPROTO for a
// bad magic, version or kind, or a payload larger than VELORN_IPC_MAX_PAYLOAD.
std::int32_t decodeFrameHeader(const char *in, FrameHeader &header);

} // namespace velorn

#endif
