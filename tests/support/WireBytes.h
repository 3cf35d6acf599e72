// Test support: protobuf wire encoding written by hand, to build bodies and
// envelopes that our encoder would never write.
#pragma once

#include <cstdint>
#include <string>

namespace wire {

inline std::string varint(uint64_t value) {
    std::string bytes;
    for (; value >= 0x80; value >>= 7)
        bytes += static_cast<char>(0x80 | (value & 0x7F));
    return bytes + static_cast<char>(value);
}

// A field key: number and wire type (0 varint, 1 fixed64, 2 length-delimited,
// 3 and 4 group start and end, 5 fixed32).
inline std::string key(int number, int wireType) {
    return varint(static_cast<uint64_t>(number) << 3 | static_cast<uint64_t>(wireType));
}

// A length-delimited field.
inline std::string field(int number, const std::string &payload) {
    return key(number, 2) + varint(payload.size()) + payload;
}

} // namespace wire
