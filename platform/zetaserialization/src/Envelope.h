// The encoded form of an instance: its type name, then its message bytes.
//
// The envelope is the protobuf encoding of
//   message Envelope { optional bytes type = 1; optional bytes body = 2; }
// with both fields present, in this order, and nothing after them:
//   0x0A varint(length of type) type 0x12 varint(length of body) body
// so any protobuf reader can take it apart, while this library reads it
// strictly: a missing, repeated or reordered field or a trailing byte is an
// error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zeta {

struct EnvelopeParts {
    std::string typeName;           // the type named by the buffer
    const char *body = nullptr;     // the message bytes, inside the buffer
    std::size_t bodySize = 0;       // their count
};

// Size of the envelope around a type name and a body of bodySize bytes.
std::size_t envelopeSize(const std::string &typeName, std::size_t bodySize);

// Writes the envelope head (everything before the body) at out, which holds
// envelopeSize(...) bytes; returns where the body goes.
std::uint8_t *writeEnvelopeHead(const std::string &typeName, std::size_t bodySize,
                                std::uint8_t *out);

// Takes a buffer apart; false when it is not exactly one envelope or names a
// type longer than maxTypeName.
bool readEnvelope(const char *buffer, std::size_t size, std::size_t maxTypeName,
                  EnvelopeParts *parts);

} // namespace zeta
