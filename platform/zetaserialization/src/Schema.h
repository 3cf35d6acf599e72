// A loaded definition file, compiled into the tables that instances are made of.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <google/protobuf/descriptor.h>

namespace zeta {

// The five shapes a tag may have. Text and opaque values share one shape
// (optional bytes): they differ only in how the caller hands them over.
enum class TagKind {
    Bytes,       // optional bytes: a text or an opaque value
    Int32,       // optional int32
    Nested,      // optional message
    RecordList,  // repeated message
    TextList,    // repeated bytes
    Unsupported, // anything else; a definition using it does not load
};

TagKind tagKind(const google::protobuf::FieldDescriptor *field);

struct TypeTable;

// One tag of a type, compiled from its field descriptor when the definition
// loads, so that no call needs protobuf's reflection.
struct TagInfo {
    std::string name;
    std::uint32_t number = 0;          // the field number
    TagKind kind = TagKind::Unsupported;
    const TypeTable *type = nullptr;   // element or child type of Nested and RecordList
    std::uint32_t wireTag = 0;         // number and wire type, as written before a value
    std::uint32_t wireTagSize = 0;     // its varint size
};

// A type of the definition: its tags in declaration order (the order of the
// tag listing), the order in which they are written (by field number, as
// protobuf writes them) and the lookups that calls and parsing need.
struct TypeTable {
    std::string name;
    std::vector<TagInfo> tags;              // declaration order
    std::vector<std::uint32_t> writeOrder;  // tag indexes by ascending field number
    // Tag index + 1 by field number for numbers below byNumber.size(), 0 for
    // none; larger numbers are looked up in tags.
    std::vector<std::uint16_t> byNumber;
    // Per tag, the last name pointer that resolved to it. Callers pass the
    // same static names every time, so a pointer compare usually finds the
    // tag; the text is still compared, since a pointer may be reused for
    // another name. Written by any thread (relaxed: a stale entry only costs
    // the slow path).
    std::unique_ptr<std::atomic<const char *>[]> lastName;
    // Tag index + 1 last found by a name at an address, by a hash of the
    // address (0: none), checked first; the name is compared again on a hit.
    static constexpr std::size_t recentSlots = 64;
    mutable std::atomic<std::uint16_t> recentTag[recentSlots] = {};
    static std::size_t recentSlot(const char *name) {
        return static_cast<std::size_t>(
            (reinterpret_cast<std::uintptr_t>(name) * 0x9E3779B97F4A7C15u) >> 58);
    }
    // Bytes of text that instances of this type held at most, so that a new
    // instance reserves room for its texts in the same block. Relaxed: a hint.
    mutable std::atomic<std::uint32_t> textHint{0};

    // The index of the tag named name, or -1.
    int find(const char *name) const;
    // The index of the tag numbered number, or -1.
    int byFieldNumber(std::uint32_t number) const {
        if (number < byNumber.size())
            return static_cast<int>(byNumber[number]) - 1;
        for (std::size_t i = 0; i < tags.size(); ++i)
            if (tags[i].number == number)
                return static_cast<int>(i);
        return -1;
    }
};

// The types of one definition file, immutable once built (but for the hints
// and name caches above, which are atomic), so any number of threads may read
// it without a lock. Instances of its types must be destroyed before it.
class Schema {
public:
    // Reads and checks the file at path. Null when the file is missing, larger
    // than maxFileSize, does not parse, does not begin with its proto2 syntax
    // line, or uses anything but the five tag shapes in flat messages. Prints
    // nothing.
    static std::unique_ptr<Schema> load(const std::string &path);
    // The same from the text of a definition; name only labels the file.
    static std::unique_ptr<Schema> parse(const std::string &text, const std::string &name);

    Schema(const Schema &) = delete;
    Schema &operator=(const Schema &) = delete;

    // The named type, or null when the schema has no such type.
    const TypeTable *type(std::string_view typeName) const;
    // The same for a NUL-terminated name, found first by its address: callers
    // pass the same static type names every time.
    const TypeTable *type(const char *typeName) const;

    static constexpr std::size_t maxFileSize = 16u << 20;
    // Deepest bracket nesting accepted in a definition: the parser recurses
    // once per level, so an adversarial file must not reach its stack limit.
    static constexpr int maxNesting = 32;
    // Longest type or tag name, so that a tag name fits one 256-byte entry.
    static constexpr std::size_t maxNameLength = 255;

private:
    Schema() = default;
    // False when a type has more tags than its tables can index.
    bool compile(const google::protobuf::FileDescriptor *file);

    std::vector<std::unique_ptr<TypeTable>> types_;                 // file order
    std::unordered_map<std::string_view, const TypeTable *> byName_; // views of types_ names
    // Types last found by a name at an address, by a hash of the address; the
    // name is compared again on every hit, as the address may hold another
    // name by now. Written by any thread (relaxed: a stale slot only costs
    // the map lookup).
    mutable std::atomic<const TypeTable *> recent_[TypeTable::recentSlots] = {};
};

} // namespace zeta
