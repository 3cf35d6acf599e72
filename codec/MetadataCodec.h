// The one encoder and the one decoder of every record, written once against
// RecordInfo and overloaded per field kind; MetadataCodec.cpp instantiates
// them for each record of the table as ServiceCodec::toMetadata and
// ServiceCodec::fromMetadata.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "RecordInfo.h"
#include "ServiceCodec.h"

namespace DataServiceNamespace {
namespace metadata {

static_assert(std::is_same<int32, int32_t>::value, "int32 fields are read in place");

// Sets one tag per transmitted field of a record, in field order. Nested
// records and list elements go through the codec's own toMetadata, and each
// child is complete before its parent takes it over.
struct FieldEncoder {
    ServiceCodec &codec;
    zeta_tool tool;
    zeta_instance instance;

    // c_str() is the NUL-terminated copy the library takes: a text holding a
    // NUL travels up to it.
    void operator()(TextField, const char *tag, const cfstring &value) const {
        zetaserialization_setStringTagValue(tool, instance, tag, value.c_str());
    }
    void operator()(Int32Field, const char *tag, const int32 &value) const {
        zetaserialization_setInt32TagValue(tool, instance, tag, value);
    }
    template <class Nested>
    void operator()(NestedField, const char *tag, const Nested &value) const {
        zetaserialization_assignNestedTagValue(tool, instance, tag,
                                               codec.toMetadata(value, tool));
    }
    template <class Element>
    void operator()(RecordListField, const char *tag, const std::vector<Element> &list) const {
        for (const Element &element : list)
            zetaserialization_addNestedContainerTagValue(tool, instance, tag,
                                                         codec.toMetadata(element, tool));
    }
    void operator()(TextListField, const char *tag, const std::vector<cfstring> &list) const {
        for (const cfstring &text : list)
            zetaserialization_addStringContainerTagValue(tool, instance, tag, text.c_str());
    }
    void operator()(OpaqueField, const char *tag, const opaque &data,
                    const opaque_size &size) const {
        if (data != nullptr && size != 0)
            zetaserialization_setOpaqueTagValue(tool, instance, tag, size, data);
    }
    void operator()(LocalInt32Field, const char *, const int32 &) const {}
    void operator()(LocalTextField, const char *, const cfstring &) const {}
};

template <class Record>
zeta_instance encode(ServiceCodec &codec, const Record &record, zeta_tool tool) {
    zeta_instance instance = nullptr;
    zetaserialization_createMetadataInstance(tool, RecordInfo<Record>::typeName, &instance);
    RecordInfo<Record>::visit(FieldEncoder{codec, tool, instance}, record);
    return instance;
}

// A text of at most size bytes, cut at the first NUL: the library's reported
// size bounds every read, whatever the bytes hold.
inline cfstring boundedText(const char *bytes, uint32 size) {
    if (size == 0)
        return cfstring();
    const void *nul = std::memchr(bytes, '\0', size);
    return cfstring(bytes, nul ? static_cast<const char *>(nul) - bytes : size);
}

// Reads one text value through the library's size-then-bytes pair. A size of
// 0 (the read failed) gives an empty text.
template <class SizeRead, class ValueRead>
cfstring readText(SizeRead &&readSize, ValueRead &&readValue) {
    uint32 size = 0;
    readSize(&size);
    if (size == 0)
        return cfstring();
    // Zeroed, so that a value read that writes nothing gives an empty text.
    std::vector<char> buffer(size, '\0');
    readValue(buffer.data());
    return boundedText(buffer.data(), size);
}

// The library's list of tags with a value; released however decoding ends.
class HavingValueTags {
public:
    HavingValueTags(zeta_tool tool, zeta_instance instance) : tool_(tool) {
        zetaserialization_getHavingValueTagNames(tool, instance, &names_, &count_);
        if (names_ == nullptr)
            count_ = 0;
    }
    ~HavingValueTags() { zetaserialization_releaseTagNames(tool_, &names_); }
    HavingValueTags(const HavingValueTags &) = delete;
    HavingValueTags &operator=(const HavingValueTags &) = delete;

    uint32 count() const { return count_; }
    // Entry i, bounded by its 256-byte slot even if it lacks a NUL.
    std::string name(uint32 i) const {
        const char *entry = names_ + static_cast<std::size_t>(i) * ZETA_TAG_NAME_SIZE;
        return boundedText(entry, ZETA_TAG_NAME_SIZE);
    }

private:
    zeta_tool tool_;
    char *names_ = nullptr; // count_ entries of ZETA_TAG_NAME_SIZE bytes, owned by the library
    uint32 count_ = 0;
};

// A matched tag name copied into the library's fixed-size tag name buffer.
struct TagNameBuffer {
    explicit TagNameBuffer(const std::string &name) {
        std::strncpy(text, name.c_str(), ZETA_TAG_NAME_SIZE - 1);
        text[ZETA_TAG_NAME_SIZE - 1] = '\0';
    }
    char text[ZETA_TAG_NAME_SIZE];
};

// Compares one tag name of the instance with the record's field tags in
// declaration order and, at the first equal one, records the match and reads
// the value into that field.
struct FieldDecoder {
    ServiceCodec &codec;
    zeta_tool tool;
    zeta_instance instance;
    TagProblemList &problems;
    const std::string &name;            // the tag of the instance
    std::vector<std::string> &matched;  // names matched so far
    bool done = false;                  // a field tag equal to name was found

    bool matches(const char *tag) {
        if (done || name != tag)
            return false;
        done = true;
        matched.push_back(name);
        return true;
    }

    void operator()(TextField, const char *tag, cfstring &value) {
        if (!matches(tag))
            return;
        const char *key = name.c_str();
        value = readText(
            [&](uint32 *size) {
                zetaserialization_getStringTagValueSize(tool, instance, key, size);
            },
            [&](char *buffer) {
                zetaserialization_getStringTagValue(tool, instance, key, buffer);
            });
    }
    void operator()(Int32Field, const char *tag, int32 &value) {
        if (matches(tag))
            zetaserialization_getInt32TagValue(tool, instance, name.c_str(), &value);
    }
    template <class Nested> void operator()(NestedField, const char *tag, Nested &value) {
        if (!matches(tag))
            return;
        TagNameBuffer key(name);
        zeta_instance child = nullptr;
        zetaserialization_getNestedTagValue(tool, instance, key.text, &child);
        // Decoded into a fresh record and assigned whole: a tag without a
        // value inside leaves the default, not what the field held.
        Nested fresh{};
        codec.fromMetadata(fresh, child, tool, problems);
        value = fresh;
    }
    template <class Element>
    void operator()(RecordListField, const char *tag, std::vector<Element> &list) {
        if (!matches(tag))
            return;
        TagNameBuffer key(name);
        uint32 count = 0;
        zetaserialization_getContainerTagSize(tool, instance, key.text, &count);
        for (uint32 index = 0; index < count; ++index) {
            zeta_instance child = nullptr;
            zetaserialization_getNestedContainerTagValue(tool, instance, key.text, index, &child);
            Element fresh{};
            codec.fromMetadata(fresh, child, tool, problems);
            // Moved, not copied: the fresh record is not used again.
            list.push_back(std::move(fresh));
        }
    }
    void operator()(TextListField, const char *tag, std::vector<cfstring> &list) {
        if (!matches(tag))
            return;
        TagNameBuffer key(name);
        uint32 count = 0;
        zetaserialization_getContainerTagSize(tool, instance, key.text, &count);
        for (uint32 index = 0; index < count; ++index)
            list.push_back(readText(
                [&](uint32 *size) {
                    zetaserialization_getStringContainerTagValueSize(tool, instance, key.text,
                                                                     index, size);
                },
                [&](char *buffer) {
                    zetaserialization_getStringContainerTagValue(tool, instance, key.text, index,
                                                                 buffer);
                }));
    }
    void operator()(OpaqueField, const char *tag, opaque &data, opaque_size &size) {
        if (!matches(tag))
            return;
        // What data pointed to before belongs to whoever filled it: not freed.
        data = nullptr;
        size = 0;
        uint32 blockSize = 0;
        char *block = nullptr;
        zetaserialization_getOpaqueTagValue(tool, instance, name.c_str(), &blockSize, &block);
        if (block == nullptr || blockSize == 0)
            return;
        // The library's block goes back to it even if the copy cannot be made.
        struct BlockRelease {
            zeta_tool tool;
            char **block;
            ~BlockRelease() { zetaserialization_releaseOpaqueValue(tool, block); }
        } release{tool, &block};
        opaque copy = new char[blockSize];
        std::memcpy(copy, block, blockSize);
        data = copy;
        size = blockSize;
    }
    void operator()(LocalInt32Field, const char *, int32 &) {}
    void operator()(LocalTextField, const char *, cfstring &) {}
};

// The field tags of a record, in declaration order.
template <class Record> std::vector<const char *> fieldTags(Record &record) {
    std::vector<const char *> tags;
    RecordInfo<Record>::visit(
        [&](auto kind, const char *tag, auto &...) {
            if (isTransmitted<decltype(kind)>)
                tags.push_back(tag);
        },
        record);
    return tags;
}

inline bool isMatched(const std::vector<std::string> &matched, const std::string &name) {
    for (const std::string &entry : matched)
        if (entry == name)
            return true;
    return false;
}

// Reports, after the tag loop, the instance's tags that matched no field tag
// (in the library's order), then the field tags that had no value (in
// declaration order).
template <class Record>
void checkTagCoverage(Record &record, const HavingValueTags &tags,
                      const std::vector<std::string> &matched, TagProblemList &problems) {
    for (uint32 i = 0; i < tags.count(); ++i) {
        std::string name = tags.name(i);
        if (!isMatched(matched, name))
            problems.push_back(TagProblem{name, unexpectedTag});
    }
    for (const char *tag : fieldTags(record))
        if (!isMatched(matched, tag))
            problems.push_back(TagProblem{tag, missingTag});
}

template <class Record>
void decode(ServiceCodec &codec, Record &record, zeta_instance instance, zeta_tool tool,
            TagProblemList &problems) {
    HavingValueTags tags(tool, instance);
    std::vector<std::string> matched;
    for (uint32 i = 0; i < tags.count(); ++i) {
        const std::string name = tags.name(i);
        FieldDecoder decoder{codec, tool, instance, problems, name, matched};
        RecordInfo<Record>::visit(decoder, record);
    }
    checkTagCoverage(record, tags, matched, problems);
}

} // namespace metadata
} // namespace DataServiceNamespace
