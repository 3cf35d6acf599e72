// Encoding and checking of the frame header, independent of sockets so that it can be tested alone.
#include "Frame.h"

#include "velorn_ipc.h"

namespace velorn {
namespace {

void putBigEndian(char *out, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        out[i] = static_cast<char>(value & 0xffu);
        value >>= 8;
    }
}

std::uint64_t getBigEndian(const char *in, int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value = (value << 8) | static_cast<unsigned char>(in[i]);
    return value;
}

} // namespace

void encodeFrameHeader(const FrameHeader &header, char *out) {
    putBigEndian(out + 0, kFrameMagic, 4);
    putBigEndian(out + 4, kFrameVersion, 1);
    putBigEndian(out + 5, static_cast<std::uint8_t>(header.kind), 1);
    putBigEndian(out + 6, 0, 2);
    putBigEndian(out + 8, header.token, 8);
    putBigEndian(out + 16, header.methodId, 4);
    putBigEndian(out + 20, static_cast<std::uint32_t>(header.code), 4);
    putBigEndian(out + 24, header.size, 4);
}

std::int32_t decodeFrameHeader(const char *in, FrameHeader &header) {
    if (getBigEndian(in + 0, 4) != kFrameMagic || getBigEndian(in + 4, 1) != kFrameVersion)
        return VELORN_IPC_EPROTO;
    const auto kind = getBigEndian(in + 5, 1);
    if (kind != static_cast<std::uint8_t>(FrameKind::Request) &&
        kind != static_cast<std::uint8_t>(FrameKind::Response))
        return VELORN_IPC_EPROTO;
    const auto size = getBigEndian(in + 24, 4);
    if (size > VELORN_IPC_MAX_PAYLOAD)
        return VELORN_IPC_EPROTO;
    header.kind = static_cast<FrameKind>(kind);
    header.token = getBigEndian(in + 8, 8);
    header.methodId = static_cast<std::uint32_t>(getBigEndian(in + 16, 4));
    header.code = static_cast<std::int32_t>(static_cast<std::uint32_t>(getBigEndian(in + 20, 4)));
    header.size = static_cast<std::uint32_t>(size);
    return VELORN_IPC_OK;
}

} // namespace velorn
