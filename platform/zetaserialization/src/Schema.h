// A loaded definition file: the message types that instances are made of.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/dynamic_message.h>
#include <google/protobuf/message.h>

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

// The types of one definition file, immutable once built, so any number of
// threads may read it without a lock. Instances made from its prototypes
// must be destroyed before it.
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

    // The empty instance of a type, or null when the schema has no such type.
    const google::protobuf::Message *prototype(const std::string &typeName) const;

    static constexpr std::size_t maxFileSize = 16u << 20;
    // Deepest bracket nesting accepted in a definition: the parser recurses
    // once per level, so an adversarial file must not reach its stack limit.
    static constexpr int maxNesting = 32;
    // Longest type or tag name, so that a tag name fits one 256-byte entry.
    static constexpr std::size_t maxNameLength = 255;

private:
    Schema() = default;

    google::protobuf::DescriptorPool pool_;               // owns the descriptors
    google::protobuf::DynamicMessageFactory factory_;     // owns the prototypes; after pool_
    std::unordered_map<std::string, const google::protobuf::Message *> prototypes_; // by type name
};

} // namespace zeta
