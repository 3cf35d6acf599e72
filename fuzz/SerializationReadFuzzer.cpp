// Feeds any bytes to the serialization library through its C interface only:
// deserialize with the real definition file, then every read operation on
// every tag that has a value, down through nested records and both kinds of
// list, then destroy. Uses nothing but include/zetaserialization.h, so it
// keeps working whatever the library does inside.
//
// Beyond crashes and sanitizer reports, these properties are checked:
//   - every result is one of the documented codes;
//   - a listed tag reads as exactly one kind (text and opaque are one shape
//     and must agree byte for byte), and a list tag is never empty;
//   - reads one past the end of a list fail with ZETA_ERANGE and write nothing;
//   - the needed size is exact: serialize fills exactly that many bytes and
//     refuses one byte less;
//   - what deserialize gave reads the same after serialize and deserialize;
//   - a child handle cannot be destroyed; destroying the instance nulls it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "zetaserialization.h"

namespace {

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "fuzz_serialization_reads: %s\n", what.c_str());
    std::abort();
}

int checked(int result, const char *operation) {
    if (result < ZETA_OK || result > ZETA_ENOMEM)
        fail(std::string(operation) + " returned the unknown code " + std::to_string(result));
    return result;
}

// One tool with the definition file loaded; made once, used by libFuzzer's
// one thread.
zeta_tool tool() {
    static zeta_tool handle = [] {
        zeta_tool made = nullptr;
        if (zetaserialization_createSerializationTool(&made) != ZETA_OK ||
            zetaserialization_loadMetadataDefintion(made, DS_DEFINITION_FILE) != ZETA_OK)
            fail("no serialization tool with " DS_DEFINITION_FILE);
        return made;
    }();
    return handle;
}

// A heap block of exactly size bytes, so that AddressSanitizer sees any write
// past what the library announced.
struct Block {
    explicit Block(uint32_t size) : bytes(new char[size == 0 ? 1 : size]), size(size) {}
    std::unique_ptr<char[]> bytes;
    uint32_t size;
};

std::string readText(zeta_instance inst, const char *tag, uint32_t size, const char *what,
                     int (*read)(zeta_tool, zeta_instance, const char *, uint32_t, char *),
                     uint32_t index) {
    if (size == 0)
        fail(std::string(what) + " of " + tag + " is 0, without room for the NUL");
    Block buffer(size);
    checked(read(tool(), inst, tag, index, buffer.bytes.get()), what);
    if (buffer.bytes[size - 1] != '\0')
        fail(std::string(what) + " of " + tag + " did not end the text with a NUL");
    return std::string(buffer.bytes.get(), size - 1);
}

int stringAt(zeta_tool t, zeta_instance inst, const char *tag, uint32_t, char *buffer) {
    return zetaserialization_getStringTagValue(t, inst, tag, buffer);
}

void dumpInstance(zeta_instance inst, std::string &out, int depth);

// Reads one tag by every operation, appends what it holds to out, and
// recurses into the records it holds.
void dumpTag(zeta_instance inst, const char *tag, std::string &out, int depth) {
    int kinds = 0;
    out += tag;

    uint32_t size = 0;
    if (checked(zetaserialization_getStringTagValueSize(tool(), inst, tag, &size),
                "getStringTagValueSize") == ZETA_OK) {
        ++kinds;
        const std::string text = readText(inst, tag, size, "getStringTagValue", stringAt, 0);
        uint32_t opaqueSize = 0;
        char *opaque = nullptr;
        checked(zetaserialization_getOpaqueTagValue(tool(), inst, tag, &opaqueSize, &opaque),
                "getOpaqueTagValue");
        if (opaqueSize != text.size() || (opaqueSize > 0 && opaque == nullptr) ||
            (opaqueSize > 0 && std::memcmp(opaque, text.data(), opaqueSize) != 0))
            fail(std::string("text and opaque reads of ") + tag + " disagree");
        checked(zetaserialization_releaseOpaqueValue(tool(), &opaque), "releaseOpaqueValue");
        if (opaque != nullptr)
            fail("releaseOpaqueValue left the pointer set");
        out += "=b:" + text;
    }

    int32_t number = 0;
    if (checked(zetaserialization_getInt32TagValue(tool(), inst, tag, &number),
                "getInt32TagValue") == ZETA_OK) {
        ++kinds;
        out += "=i:" + std::to_string(number);
    }

    zeta_instance child = nullptr;
    if (checked(zetaserialization_getNestedTagValue(tool(), inst, tag, &child),
                "getNestedTagValue") == ZETA_OK) {
        ++kinds;
        if (child == nullptr)
            fail(std::string("getNestedTagValue of ") + tag + " gave no child");
        zeta_instance handle = child;
        if (checked(zetaserialization_destroyMetadataInstance(tool(), &handle),
                    "destroyMetadataInstance") != ZETA_EINVAL ||
            handle != child)
            fail(std::string("the child of ") + tag + " could be destroyed by its handle");
        out += "={";
        dumpInstance(child, out, depth + 1);
        out += '}';
    }

    uint32_t count = 0;
    if (checked(zetaserialization_getContainerTagSize(tool(), inst, tag, &count),
                "getContainerTagSize") == ZETA_OK) {
        ++kinds;
        if (count == 0)
            fail(std::string("the listed list tag ") + tag + " is empty");
        out += "=[";
        int listKinds = 0;
        for (uint32_t index = 0; index <= count; ++index) {
            const bool inside = index < count;
            zeta_instance element = nullptr;
            const int nested = checked(
                zetaserialization_getNestedContainerTagValue(tool(), inst, tag, index, &element),
                "getNestedContainerTagValue");
            uint32_t textSize = 0;
            const int text = checked(zetaserialization_getStringContainerTagValueSize(
                                         tool(), inst, tag, index, &textSize),
                                     "getStringContainerTagValueSize");
            if (!inside) {
                // One past the end: the kind's read says so and writes nothing.
                if ((nested != ZETA_ERANGE && text != ZETA_ERANGE) || element != nullptr ||
                    textSize != 0)
                    fail(std::string("a read past the end of ") + tag + " did not fail cleanly");
                break;
            }
            if (nested == ZETA_OK) {
                if (element == nullptr)
                    fail(std::string("getNestedContainerTagValue of ") + tag + " gave no child");
                out += '{';
                dumpInstance(element, out, depth + 1);
                out += '}';
                listKinds |= 1;
            }
            if (text == ZETA_OK) {
                out += "\"" +
                       readText(inst, tag, textSize, "getStringContainerTagValue",
                                zetaserialization_getStringContainerTagValue, index) +
                       "\"";
                listKinds |= 2;
            }
        }
        if (listKinds != 1 && listKinds != 2)
            fail(std::string("the elements of ") + tag + " read as no kind or as both");
        out += ']';
    }

    if (kinds != 1)
        fail(std::string("the listed tag ") + tag + " reads as " + std::to_string(kinds) +
             " kinds");
    out += ';';
}

// Appends a canonical text of everything the instance holds to out.
void dumpInstance(zeta_instance inst, std::string &out, int depth) {
    // Protobuf refuses nesting deeper than 100 when it decodes.
    if (depth > 101)
        fail("nesting deeper than the decoder allows");
    char *names = nullptr;
    uint32_t count = 0;
    checked(zetaserialization_getHavingValueTagNames(tool(), inst, &names, &count),
            "getHavingValueTagNames");
    if ((count == 0) != (names == nullptr))
        fail("the tag name block and its count disagree");
    std::vector<std::string> tags;
    for (uint32_t i = 0; i < count; ++i) {
        const char *entry = names + static_cast<std::size_t>(i) * ZETA_TAG_NAME_SIZE;
        if (std::memchr(entry, '\0', ZETA_TAG_NAME_SIZE) == nullptr)
            fail("a tag name fills its entry without a NUL");
        tags.emplace_back(entry);
    }
    checked(zetaserialization_releaseTagNames(tool(), &names), "releaseTagNames");
    if (names != nullptr)
        fail("releaseTagNames left the pointer set");

    // A name the type does not have, read by every kind of read.
    uint32_t size = 0;
    int32_t number = 0;
    if (inst != nullptr &&
        (zetaserialization_getStringTagValueSize(tool(), inst, "no such tag", &size) !=
             ZETA_ETAG ||
         zetaserialization_getInt32TagValue(tool(), inst, "no such tag", &number) != ZETA_ETAG ||
         zetaserialization_getContainerTagSize(tool(), inst, "no such tag", &size) != ZETA_ETAG))
        fail("a tag the type does not have was not refused with ZETA_ETAG");

    for (const std::string &tag : tags)
        dumpTag(inst, tag.c_str(), out, depth);
}

// Serializes inst into a block of exactly the needed size, after checking
// that one byte less is refused.
std::string encoded(zeta_instance inst) {
    uint32_t needed = 0;
    checked(zetaserialization_getSerializationNeededBufferSize(tool(), inst, &needed),
            "getSerializationNeededBufferSize");
    if (needed == 0)
        fail("a decoded instance needs no bytes");
    Block shorter(needed - 1);
    if (zetaserialization_serialize(tool(), inst, shorter.bytes.get(), needed - 1) !=
        ZETA_ERANGE)
        fail("serialize accepted a buffer one byte short");
    Block exact(needed);
    if (checked(zetaserialization_serialize(tool(), inst, exact.bytes.get(), needed),
                "serialize") != ZETA_OK)
        fail("serialize refused the needed size");
    return std::string(exact.bytes.get(), needed);
}

void destroy(zeta_instance &inst) {
    checked(zetaserialization_destroyMetadataInstance(tool(), &inst), "destroyMetadataInstance");
    if (inst != nullptr)
        fail("destroyMetadataInstance left the handle set");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > UINT32_MAX / 2)
        return -1;
    zeta_instance inst = nullptr;
    const int result =
        checked(zetaserialization_deserialize(tool(), reinterpret_cast<const char *>(data),
                                              static_cast<uint32_t>(size), &inst),
                "deserialize");
    if ((result == ZETA_OK) != (inst != nullptr))
        fail("deserialize's result and instance disagree");

    std::string first;
    dumpInstance(inst, first, 0);
    if (inst != nullptr) {
        const std::string bytes = encoded(inst);
        zeta_instance again = nullptr;
        if (zetaserialization_deserialize(tool(), bytes.data(),
                                          static_cast<uint32_t>(bytes.size()),
                                          &again) != ZETA_OK)
            fail("the library's own encoding does not decode");
        std::string second;
        dumpInstance(again, second, 0);
        if (first != second)
            fail("serialize and deserialize change the instance:\n" + first + "\n" + second);
        destroy(again);
    }
    destroy(inst);
    return 0;
}
