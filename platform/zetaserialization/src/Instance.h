// A metadata instance: one block holding a value slot per tag of its type,
// with the room for its texts, instead of a protobuf message.
//
// Texts live in chunks owned by the instance (the first one inside the
// instance's own block, sized from what instances of the type needed before),
// or, in a deserialized tree, inside the copy of the received bytes that the
// top of the tree owns; the instances of such a tree come from the same
// chunks. Each instance caches the encoded size of its message, valid until a
// value below it changes, so that serialize reuses what the size query found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Schema.h"

namespace zeta {

class Tool;
struct Instance;

// A text of a text list: bytes, not NUL-terminated.
struct TextRef {
    const char *data;
    std::uint32_t size;
};

// The elements of a list tag; one of the two vectors is used, by the tag's kind.
struct List {
    std::vector<Instance *> children; // RecordList, owned
    std::vector<TextRef> texts;       // TextList
};

// The value of one tag. present tells Bytes, Int32 and Nested tags with a
// value; a list tag has a value when it holds an element.
struct Value {
    union {
        const char *bytes; // Bytes: size bytes, not NUL-terminated
        std::int32_t number;
        Instance *child;   // Nested, owned
        List *list;        // RecordList and TextList, owned; null until the first element
    };
    std::uint32_t size; // Bytes only
    bool present;
};

// Storage of texts and of the instances of a deserialized tree.
struct Chunk {
    Chunk *next;
    std::size_t capacity;
    std::size_t used;
    char *data() { return reinterpret_cast<char *>(this + 1); }
};

struct Instance {
    const TypeTable *type;
    Tool *tool;                  // the tool that made it
    Instance *parent = nullptr;  // null while top-level
    Instance *previous = nullptr, *next = nullptr; // the tool's list of top-level instances
    Chunk *chunks = nullptr;     // owned, newest first; the inline chunk is never freed
    std::uint32_t encodedSize = 0; // of the message (no envelope); valid when sizeValid
    bool sizeValid = false;
    bool topLevel = false;       // in the tool's list: destroyable, may be handed over
    bool inChunk = false;        // made inside its tree's top instance's chunks
    bool parsed = false;         // the top of a parsed tree: its chunks hold the bytes

    Value *values() { return reinterpret_cast<Value *>(this + 1); }
    const Value *values() const { return reinterpret_cast<const Value *>(this + 1); }

    // A new empty instance in a block of its own, with room for the texts
    // instances of the type needed before.
    static Instance *create(const TypeTable *type, Tool *tool);
    // Releases an instance and everything below it.
    static void destroy(Instance *instance) noexcept;

    // Room for size bytes that live as long as this instance.
    char *allocate(std::size_t size);
    // Copies size bytes into this instance's storage.
    const char *keep(const char *bytes, std::size_t size);

    // Marks the cached sizes of this instance and its ancestors stale.
    void changed() {
        for (Instance *each = this; each != nullptr && each->sizeValid; each = each->parent)
            each->sizeValid = false;
    }

    // Whether the tag has a value.
    bool has(std::size_t tag) const;
};

// The encoded size of the instance's message, computed once and cached below
// it; tooLarge when it would reach 2 GiB.
constexpr std::uint32_t tooLarge = 0x80000000u;
std::uint32_t messageSize(Instance *instance);
// Writes the message of an instance whose size is cached; returns its end.
std::uint8_t *writeMessage(const Instance *instance, std::uint8_t *out);

// Parses a message body into a new top-level-to-be instance of type. The
// bytes are copied once into the instance, and its texts point into the
// copy. Null when the bytes are not a message of the type (nesting deeper
// than 100, lengths past the end, malformed fields); fields the type does not
// know are dropped.
Instance *parseMessage(const TypeTable *type, Tool *tool, const char *body, std::size_t size);

} // namespace zeta
