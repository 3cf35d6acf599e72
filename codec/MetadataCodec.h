// The one encoder and the one decoder of every record, written once against
// RecordInfo and overloaded per field kind; MetadataCodec.cpp instantiates
// them for each record of the table as RecordCodec::toMetadata and
// RecordCodec::fromMetadata.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "RecordInfo.h"
#include "RecordCodec.h"

namespace DataServiceNamespace {
namespace metadata {

static_assert(std::is_same<int32, int32_t>::value, "int32 fields are read in place");

// Sets one tag per transmitted field of a record, in field order. Nested
// records and list elements go through the codec's own toMetadata, and each
// child is complete before its parent takes it over.
struct FieldEncoder {
    RecordCodec &codec;
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
zeta_instance encode(RecordCodec &codec, const Record &record, zeta_tool tool) {
    zeta_instance instance = nullptr;
    zetaserialization_createMetadataInstance(tool, RecordInfo<Record>::typeName, &instance);
    RecordInfo<Record>::visit(FieldEncoder{codec, tool, instance}, record);
    return instance;
}

// Reads one text value through the library's size-then-bytes pair straight
// into its destination, bounded by the reported size and cut at the first
// NUL. A size of 0 (the read failed) gives an empty text.
template <class SizeRead, class ValueRead>
void readText(cfstring &text, SizeRead &&readSize, ValueRead &&readValue) {
    uint32 size = 0;
    readSize(&size);
    // Zeroed, so that a value read that writes nothing gives an empty text.
    text.assign(size, '\0');
    if (size == 0)
        return;
    readValue(&text[0]);
    text.resize(strnlen(text.data(), size));
}

// The library's list of tags with a value; released however decoding ends.
class HavingValueTags {
public:
    HavingValueTags(zeta_tool tool, zeta_instance instance) : names_(tool) {
        zetaserialization_getHavingValueTagNames(tool, instance, names_.out(), &count_);
        if (names_.get() == nullptr)
            count_ = 0;
    }

    uint32 count() const { return count_; }
    // Entry i; its length is bounded by its 256-byte slot even if it lacks a NUL.
    const char *name(uint32 i) const {
        return names_.get() + static_cast<std::size_t>(i) * ZETA_TAG_NAME_SIZE;
    }
    std::size_t length(uint32 i) const { return strnlen(name(i), ZETA_TAG_NAME_SIZE); }

private:
    OwnedTagNames names_; // count_ entries of ZETA_TAG_NAME_SIZE bytes
    uint32 count_ = 0;
};

// Whether a field tag equals an entry of the tag listing, as texts. An entry
// ends at its NUL or at the end of its 256-byte slot; the field tags of the
// table are far shorter, so an entry without NUL equals none of them.
inline bool sameTag(const char *tag, const char *entry) {
    for (std::size_t i = 0; i < ZETA_TAG_NAME_SIZE; ++i) {
        if (tag[i] != entry[i])
            return false;
        if (tag[i] == '\0')
            return true;
    }
    return false;
}

// Which of a record's field tags and which of the instance's tags were
// matched, by position: a record has at most 64 field tags; an instance of a
// schema other than ours may list more tags, kept in a vector past 64.
class TagMatches {
public:
    explicit TagMatches(uint32 listed) : listed_(listed > 64 ? listed : 0) {}
    void match(uint32 entry, std::size_t field) {
        fields_ |= std::uint64_t{1} << field;
        if (listed_.empty())
            entries_ |= std::uint64_t{1} << entry;
        else
            listed_[entry] = true;
    }
    bool entryMatched(uint32 entry) const {
        return listed_.empty() ? (entries_ >> entry & 1) != 0 : listed_[entry];
    }
    bool fieldMatched(std::size_t field) const { return (fields_ >> field & 1) != 0; }

private:
    std::uint64_t fields_ = 0;
    std::uint64_t entries_ = 0;
    std::vector<bool> listed_; // instead of entries_ past 64 entries
};

// The transmitted field tags of a record, in declaration order: the same
// static texts that visit passes.
template <class Record> const std::vector<const char *> &fieldTags() {
    static const std::vector<const char *> tags = [] {
        std::vector<const char *> collected;
        Record sample{};
        RecordInfo<Record>::visit(
            [&](auto kind, const char *tag, auto &...) {
                if (isTransmitted<decltype(kind)>)
                    collected.push_back(tag);
            },
            sample);
        return collected;
    }();
    return tags;
}

// The field tag equal to a tag name of the instance, or npos. Field tags of a
// record are unique, so the first equal one is the only one; the field after
// the one matched last is tried first, as the library lists tags in
// declaration order.
inline std::size_t matchingField(const std::vector<const char *> &fields, const char *name,
                                 std::size_t expected) {
    if (expected < fields.size() && sameTag(fields[expected], name))
        return expected;
    for (std::size_t field = 0; field < fields.size(); ++field)
        if (sameTag(fields[field], name))
            return field;
    return std::string::npos;
}

// Reads the value of one matched field tag into its field. The library is
// given the field's own tag name, equal to the instance's, whose address is
// the same at every call.
struct FieldDecoder {
    RecordCodec &codec;
    zeta_tool tool;
    zeta_instance instance;
    TagProblemList &problems;
    std::size_t target;    // position of the matched field among the transmitted ones
    std::size_t field = 0; // position of the next transmitted field

    bool selected() { return field++ == target; }

    void operator()(TextField, const char *tag, cfstring &value) {
        if (!selected())
            return;
        readText(
            value,
            [&](uint32 *size) { zetaserialization_getStringTagValueSize(tool, instance, tag, size); },
            [&](char *buffer) { zetaserialization_getStringTagValue(tool, instance, tag, buffer); });
    }
    void operator()(Int32Field, const char *tag, int32 &value) {
        if (selected())
            zetaserialization_getInt32TagValue(tool, instance, tag, &value);
    }
    template <class Nested> void operator()(NestedField, const char *tag, Nested &value) {
        if (!selected())
            return;
        zeta_instance child = nullptr;
        zetaserialization_getNestedTagValue(tool, instance, tag, &child);
        // Decoded into a fresh record and assigned whole: a tag without a
        // value inside leaves the default, not what the field held.
        Nested fresh{};
        codec.fromMetadata(fresh, child, tool, problems);
        value = std::move(fresh);
    }
    template <class Element>
    void operator()(RecordListField, const char *tag, std::vector<Element> &list) {
        if (!selected())
            return;
        uint32 count = 0;
        zetaserialization_getContainerTagSize(tool, instance, tag, &count);
        list.reserve(list.size() + count);
        for (uint32 index = 0; index < count; ++index) {
            zeta_instance child = nullptr;
            zetaserialization_getNestedContainerTagValue(tool, instance, tag, index, &child);
            Element fresh{};
            codec.fromMetadata(fresh, child, tool, problems);
            // Moved, not copied: the fresh record is not used again.
            list.push_back(std::move(fresh));
        }
    }
    void operator()(TextListField, const char *tag, std::vector<cfstring> &list) {
        if (!selected())
            return;
        uint32 count = 0;
        zetaserialization_getContainerTagSize(tool, instance, tag, &count);
        list.reserve(list.size() + count);
        for (uint32 index = 0; index < count; ++index) {
            cfstring text;
            readText(
                text,
                [&](uint32 *size) {
                    zetaserialization_getStringContainerTagValueSize(tool, instance, tag, index,
                                                                     size);
                },
                [&](char *buffer) {
                    zetaserialization_getStringContainerTagValue(tool, instance, tag, index,
                                                                 buffer);
                });
            list.push_back(std::move(text));
        }
    }
    void operator()(OpaqueField, const char *tag, opaque &data, opaque_size &size) {
        if (!selected())
            return;
        // What data pointed to before belongs to whoever filled it: not freed.
        data = nullptr;
        size = 0;
        uint32 blockSize = 0;
        // The library's block goes back to it even if the copy cannot be made.
        OwnedOpaque block(tool);
        zetaserialization_getOpaqueTagValue(tool, instance, tag, &blockSize, block.out());
        if (block.get() == nullptr || blockSize == 0)
            return;
        opaque copy = new char[blockSize];
        std::memcpy(copy, block.get(), blockSize);
        data = copy;
        size = blockSize;
    }
    void operator()(LocalInt32Field, const char *, int32 &) {}
    void operator()(LocalTextField, const char *, cfstring &) {}
};

// Reports, after the tag loop, the instance's tags that matched no field tag
// (in the library's order), then the field tags that had no value (in
// declaration order).
template <class Record>
void checkTagCoverage(const HavingValueTags &tags, const TagMatches &matches,
                      TagProblemList &problems) {
    for (uint32 i = 0; i < tags.count(); ++i)
        if (!matches.entryMatched(i))
            problems.push_back(TagProblem{cfstring(tags.name(i), tags.length(i)), unexpectedTag});
    const std::vector<const char *> &fields = fieldTags<Record>();
    for (std::size_t field = 0; field < fields.size(); ++field)
        if (!matches.fieldMatched(field))
            problems.push_back(TagProblem{fields[field], missingTag});
}

template <class Record>
void decode(RecordCodec &codec, Record &record, zeta_instance instance, zeta_tool tool,
            TagProblemList &problems) {
    const std::vector<const char *> &fields = fieldTags<Record>();
    HavingValueTags tags(tool, instance);
    TagMatches matches(tags.count());
    std::size_t expected = 0;
    for (uint32 i = 0; i < tags.count(); ++i) {
        const std::size_t field = matchingField(fields, tags.name(i), expected);
        if (field == std::string::npos)
            continue;
        matches.match(i, field);
        expected = field + 1;
        RecordInfo<Record>::visit(FieldDecoder{codec, tool, instance, problems, field}, record);
    }
    checkTagCoverage<Record>(tags, matches, problems);
}

} // namespace metadata
} // namespace DataServiceNamespace
