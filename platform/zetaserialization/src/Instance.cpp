// Instances, their storage, and their encoding with protobuf's wire
// primitives: the bytes are protobuf's encoding of the schema's messages,
// fields in number order, read and written without reflection.
#include "Instance.h"

#include <algorithm>
#include <cstring>
#include <new>

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/wire_format_lite.h>

namespace zeta {

using google::protobuf::internal::WireFormatLite;
using google::protobuf::io::CodedInputStream;
using google::protobuf::io::CodedOutputStream;

namespace {

// Chunks hold instances of parsed trees next to texts.
constexpr std::size_t alignment = alignof(Instance);
static_assert(sizeof(Chunk) % alignof(Instance) == 0, "chunk data stays aligned");
constexpr std::size_t roundUp(std::size_t size) {
    return (size + alignment - 1) / alignment * alignment;
}

// Bytes of an instance of type before its inline chunk.
std::size_t headSize(const TypeTable *type) {
    return roundUp(sizeof(Instance) + type->tags.size() * sizeof(Value));
}

// Most text room an instance reserves from what earlier ones needed.
constexpr std::size_t maxTextHint = 4096;
// Chunks after the first grow by doubling up to this size.
constexpr std::size_t maxChunkGrowth = 64 * 1024;

Instance *construct(void *block, const TypeTable *type, Tool *tool) {
    Instance *instance = new (block) Instance{type, tool};
    std::memset(static_cast<void *>(instance->values()), 0, type->tags.size() * sizeof(Value));
    return instance;
}

List &listOf(Value &value) {
    if (value.list == nullptr)
        value.list = new List;
    return *value.list;
}

std::size_t lengthDelimited(const TagInfo &tag, std::uint32_t size) {
    return tag.wireTagSize + CodedOutputStream::VarintSize32(size) + size;
}

std::uint8_t *writeHead(const TagInfo &tag, std::uint32_t size, std::uint8_t *out) {
    out = CodedOutputStream::WriteVarint32ToArray(tag.wireTag, out);
    return CodedOutputStream::WriteVarint32ToArray(size, out);
}

std::uint8_t *writeBytes(const TagInfo &tag, const char *bytes, std::uint32_t size,
                         std::uint8_t *out) {
    out = writeHead(tag, size, out);
    std::memcpy(out, bytes, size);
    return out + size;
}

std::uint8_t *writeChild(const TagInfo &tag, const Instance *child, std::uint8_t *out) {
    return writeMessage(child, writeHead(tag, child->encodedSize, out));
}

// Reads a length-delimited value in place: it stays inside the parsed copy.
bool readBytes(CodedInputStream &input, const char **bytes, std::uint32_t *size) {
    std::uint32_t length = 0;
    if (!input.ReadVarint32(&length) || length > static_cast<std::uint32_t>(input.BytesUntilLimit()))
        return false;
    *size = length;
    if (length == 0) {
        *bytes = "";
        return true;
    }
    const void *data = nullptr;
    int available = 0;
    if (!input.GetDirectBufferPointer(&data, &available) ||
        static_cast<std::uint32_t>(available) < length)
        return false;
    *bytes = static_cast<const char *>(data);
    return input.Skip(static_cast<int>(length));
}

bool parseFields(Instance *instance, CodedInputStream &input, Instance *top);

// An instance for a nested value of a tree being parsed, made in the chunks
// of the tree's top instance.
Instance *newChild(Instance *top, const TypeTable *type, Instance *parent) {
    Instance *child = construct(top->allocate(headSize(type)), type, top->tool);
    child->inChunk = true;
    child->parent = parent;
    return child;
}

// Protobuf merges a message that occurs twice; parsing into the same child
// does the same.
bool parseNested(Instance *child, CodedInputStream &input, Instance *top) {
    std::uint32_t length = 0;
    if (!input.ReadVarint32(&length) || length > static_cast<std::uint32_t>(input.BytesUntilLimit()))
        return false;
    // Protobuf's own bound of 100 nested messages, groups in skipped fields
    // included.
    const auto limit = input.IncrementRecursionDepthAndPushLimit(static_cast<int>(length));
    if (limit.second < 0 || !parseFields(child, input, top))
        return false;
    return input.DecrementRecursionDepthAndPopLimit(limit.first);
}

bool parseFields(Instance *instance, CodedInputStream &input, Instance *top) {
    const TypeTable &type = *instance->type;
    for (;;) {
        const std::uint32_t tag = input.ReadTag();
        if (tag == 0)
            return input.ConsumedEntireMessage(); // false after a 0 byte read as a tag
        const int index = type.byFieldNumber(WireFormatLite::GetTagFieldNumber(tag));
        // A field the schema does not know, or sent with another wire type, is
        // skipped as protobuf would keep it as unknown: checked, then dropped.
        if (index < 0 || type.tags[static_cast<std::size_t>(index)].wireTag != tag) {
            if (!WireFormatLite::SkipField(&input, tag))
                return false;
            continue;
        }
        const TagInfo &info = type.tags[static_cast<std::size_t>(index)];
        Value &value = instance->values()[index];
        switch (info.kind) {
        case TagKind::Int32: {
            std::uint32_t raw = 0;
            if (!input.ReadVarint32(&raw))
                return false;
            value.number = static_cast<std::int32_t>(raw);
            value.present = true;
            break;
        }
        case TagKind::Bytes:
            if (!readBytes(input, &value.bytes, &value.size))
                return false;
            value.present = true;
            break;
        case TagKind::TextList: {
            TextRef text{};
            if (!readBytes(input, &text.data, &text.size))
                return false;
            listOf(value).texts.push_back(text);
            break;
        }
        case TagKind::Nested:
            if (!value.present) {
                value.child = newChild(top, info.type, instance);
                value.present = true;
            }
            if (!parseNested(value.child, input, top))
                return false;
            break;
        case TagKind::RecordList: {
            Instance *child = newChild(top, info.type, instance);
            listOf(value).children.push_back(child);
            if (!parseNested(child, input, top))
                return false;
            break;
        }
        case TagKind::Unsupported:
            return false;
        }
    }
}

} // namespace

Instance *Instance::create(const TypeTable *type, Tool *tool) {
    const std::size_t head = headSize(type);
    const std::size_t room = type->textHint.load(std::memory_order_relaxed);
    void *block = ::operator new(head + (room > 0 ? sizeof(Chunk) + room : 0));
    Instance *instance = construct(block, type, tool);
    if (room > 0)
        instance->chunks = new (static_cast<char *>(block) + head) Chunk{nullptr, room, 0};
    return instance;
}

void Instance::destroy(Instance *instance) noexcept {
    const TypeTable &type = *instance->type;
    for (std::size_t i = 0; i < type.tags.size(); ++i) {
        Value &value = instance->values()[i];
        switch (type.tags[i].kind) {
        case TagKind::Nested:
            if (value.present)
                destroy(value.child);
            break;
        case TagKind::RecordList:
        case TagKind::TextList:
            if (value.list != nullptr) {
                for (Instance *child : value.list->children)
                    destroy(child);
                delete value.list;
            }
            break;
        default:
            break;
        }
    }
    char *const inlineChunk = reinterpret_cast<char *>(instance) + headSize(&type);
    std::size_t textBytes = 0;
    for (Chunk *chunk = instance->chunks; chunk != nullptr;) {
        Chunk *next = chunk->next;
        textBytes += chunk->used;
        if (reinterpret_cast<char *>(chunk) != inlineChunk)
            ::operator delete(chunk);
        chunk = next;
    }
    // Instances built by calls teach their type how much text room to reserve;
    // a parsed tree's chunks hold the received bytes and are no guide.
    if (!instance->inChunk && !instance->parsed &&
        textBytes > type.textHint.load(std::memory_order_relaxed))
        type.textHint.store(static_cast<std::uint32_t>(std::min(textBytes, maxTextHint)),
                            std::memory_order_relaxed);
    if (!instance->inChunk) {
        instance->~Instance();
        ::operator delete(instance);
    }
}

char *Instance::allocate(std::size_t size) {
    if (chunks != nullptr && chunks->capacity - chunks->used >= size) {
        char *room = chunks->data() + chunks->used;
        chunks->used += size;
        return room;
    }
    const std::size_t grown =
        chunks != nullptr ? std::min(chunks->capacity * 2, maxChunkGrowth) : 64;
    const std::size_t capacity = roundUp(std::max(size, grown));
    chunks = new (::operator new(sizeof(Chunk) + capacity)) Chunk{chunks, capacity, size};
    return chunks->data();
}

const char *Instance::keep(const char *bytes, std::size_t size) {
    if (size == 0)
        return "";
    char *copy = allocate(size);
    std::memcpy(copy, bytes, size);
    return copy;
}

bool Instance::has(std::size_t tag) const {
    const Value &value = values()[tag];
    switch (type->tags[tag].kind) {
    case TagKind::RecordList:
        return value.list != nullptr && !value.list->children.empty();
    case TagKind::TextList:
        return value.list != nullptr && !value.list->texts.empty();
    default:
        return value.present;
    }
}

std::uint32_t messageSize(Instance *instance) {
    if (instance->sizeValid)
        return instance->encodedSize;
    const TypeTable &type = *instance->type;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < type.tags.size() && total < tooLarge; ++i) {
        const TagInfo &tag = type.tags[i];
        Value &value = instance->values()[i];
        switch (tag.kind) {
        case TagKind::Bytes:
            if (value.present)
                total += lengthDelimited(tag, value.size);
            break;
        case TagKind::Int32:
            if (value.present)
                total += tag.wireTagSize + WireFormatLite::Int32Size(value.number);
            break;
        case TagKind::Nested:
            if (value.present)
                total += lengthDelimited(tag, messageSize(value.child));
            break;
        case TagKind::RecordList:
            if (value.list != nullptr)
                for (Instance *child : value.list->children)
                    total += lengthDelimited(tag, messageSize(child));
            break;
        case TagKind::TextList:
            if (value.list != nullptr)
                for (const TextRef &text : value.list->texts)
                    total += lengthDelimited(tag, text.size);
            break;
        case TagKind::Unsupported:
            break;
        }
    }
    instance->encodedSize = static_cast<std::uint32_t>(std::min<std::uint64_t>(total, tooLarge));
    instance->sizeValid = true;
    return instance->encodedSize;
}

std::uint8_t *writeMessage(const Instance *instance, std::uint8_t *out) {
    const TypeTable &type = *instance->type;
    for (std::uint32_t i : type.writeOrder) {
        const TagInfo &tag = type.tags[i];
        const Value &value = instance->values()[i];
        switch (tag.kind) {
        case TagKind::Bytes:
            if (value.present)
                out = writeBytes(tag, value.bytes, value.size, out);
            break;
        case TagKind::Int32:
            if (value.present) {
                out = CodedOutputStream::WriteVarint32ToArray(tag.wireTag, out);
                out = CodedOutputStream::WriteVarint32SignExtendedToArray(value.number, out);
            }
            break;
        case TagKind::Nested:
            if (value.present)
                out = writeChild(tag, value.child, out);
            break;
        case TagKind::RecordList:
            if (value.list != nullptr)
                for (const Instance *child : value.list->children)
                    out = writeChild(tag, child, out);
            break;
        case TagKind::TextList:
            if (value.list != nullptr)
                for (const TextRef &text : value.list->texts)
                    out = writeBytes(tag, text.data, text.size, out);
            break;
        case TagKind::Unsupported:
            break;
        }
    }
    return out;
}

Instance *parseMessage(const TypeTable *type, Tool *tool, const char *body, std::size_t size) {
    Instance *top = construct(::operator new(headSize(type)), type, tool);
    top->parsed = true;
    try {
        // One chunk for the copy and some room for the instances below it;
        // larger trees continue in further chunks. The room is bounded, as
        // most bytes of a large message may be one value (an image).
        char *copy = top->allocate(roundUp(size) + std::min(size, maxChunkGrowth) + 256);
        top->chunks->used = roundUp(size);
        if (size > 0)
            std::memcpy(copy, body, size);
        CodedInputStream input(reinterpret_cast<const std::uint8_t *>(copy),
                               static_cast<int>(size));
        input.PushLimit(static_cast<int>(size));
        if (parseFields(top, input, top))
            return top;
    } catch (...) {
        Instance::destroy(top);
        throw;
    }
    Instance::destroy(top);
    return nullptr;
}

} // namespace zeta
