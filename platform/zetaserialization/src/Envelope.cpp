// Reads and writes the envelope that names the type of an encoded instance.
#include "Envelope.h"

#include <cstring>

#include <google/protobuf/io/coded_stream.h>

namespace zeta {

using google::protobuf::io::CodedInputStream;
using google::protobuf::io::CodedOutputStream;

namespace {
constexpr std::uint32_t typeTag = 0x0A; // field 1, length-delimited
constexpr std::uint32_t bodyTag = 0x12; // field 2, length-delimited
} // namespace

std::size_t envelopeSize(const std::string &typeName, std::size_t bodySize) {
    return 1 + CodedOutputStream::VarintSize64(typeName.size()) + typeName.size() + 1 +
           CodedOutputStream::VarintSize64(bodySize) + bodySize;
}

std::uint8_t *writeEnvelopeHead(const std::string &typeName, std::size_t bodySize,
                                std::uint8_t *out) {
    out = CodedOutputStream::WriteTagToArray(typeTag, out);
    out = CodedOutputStream::WriteVarint64ToArray(typeName.size(), out);
    std::memcpy(out, typeName.data(), typeName.size());
    out += typeName.size();
    out = CodedOutputStream::WriteTagToArray(bodyTag, out);
    return CodedOutputStream::WriteVarint64ToArray(bodySize, out);
}

bool readEnvelope(const char *buffer, std::size_t size, std::size_t maxTypeName,
                  EnvelopeParts *parts) {
    // CodedInputStream counts in int; larger buffers are not envelopes we make.
    if (buffer == nullptr || size == 0 || size > static_cast<std::size_t>(INT32_MAX))
        return false;
    CodedInputStream input(reinterpret_cast<const std::uint8_t *>(buffer),
                           static_cast<int>(size));
    std::uint64_t length = 0;
    if (input.ReadTag() != typeTag || !input.ReadVarint64(&length) || length > maxTypeName ||
        !input.ReadString(&parts->typeName, static_cast<int>(length)))
        return false;
    if (input.ReadTag() != bodyTag || !input.ReadVarint64(&length))
        return false;
    const std::size_t position = static_cast<std::size_t>(input.CurrentPosition());
    if (length != size - position)
        return false;
    parts->body = buffer + position;
    parts->bodySize = static_cast<std::size_t>(length);
    return true;
}

} // namespace zeta
