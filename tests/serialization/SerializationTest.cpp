// The serialization library through its C interface: tags of every kind
// between two tools and from several threads, the exact result of misuses,
// malformed buffers, and good, missing and broken definition files.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "WireBytes.h"
#include "zetaserialization.h"

namespace {

using Names = std::vector<std::string>;
using NamedText = std::pair<std::string, std::string>;

// Named after the process and a counter, so that tests running at the same
// time, also from other build directories, never share a file.
struct SchemaFile {
    explicit SchemaFile(const std::string &text) { std::ofstream(path, std::ios::binary) << text; }
    ~SchemaFile() { std::remove(path.c_str()); }
    static inline int created = 0;
    const std::string path = ::testing::TempDir() + "zeta_schema_" + std::to_string(getpid()) +
                             "_" + std::to_string(++created);
};

// Tags of Sample are declared in another order than they are numbered: the
// library lists them in declaration order.
const char *const sampleSchema = R"(syntax = "proto2";
message Header { optional bytes action = 1; optional bytes version = 2; }
message Item { optional bytes name = 1; optional int32 count = 2; }
message Sample { optional bytes text = 9; optional int32 number = 2; optional Header header = 3;
                 repeated Item items = 4; repeated bytes labels = 5; optional bytes blob = 1; }
message Node { optional Node next = 1; optional int32 depth = 2; }
)";

zeta_instance make(zeta_tool tool, const char *type) {
    zeta_instance instance = nullptr;
    zetaserialization_createMetadataInstance(tool, type, &instance);
    return instance;
}

Names tags(zeta_tool tool, zeta_instance instance) {
    char *names = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(zetaserialization_getHavingValueTagNames(tool, instance, &names, &count), ZETA_OK);
    Names listed;
    for (uint32_t i = 0; i < count; ++i)
        listed.emplace_back(names + i * ZETA_TAG_NAME_SIZE);
    EXPECT_EQ(zetaserialization_releaseTagNames(tool, &names), ZETA_OK);
    return listed;
}

// Read into a buffer of exactly the reported size, so that the address
// sanitizer build sees a write past it.
std::string text(zeta_tool tool, zeta_instance instance, const char *tag) {
    uint32_t size = 0;
    EXPECT_EQ(zetaserialization_getStringTagValueSize(tool, instance, tag, &size), ZETA_OK);
    std::vector<char> buffer(size);
    EXPECT_EQ(zetaserialization_getStringTagValue(tool, instance, tag, buffer.data()), ZETA_OK);
    EXPECT_EQ(buffer.back(), '\0');
    return std::string(buffer.data(), size - 1);
}

std::string encode(zeta_tool tool, zeta_instance instance) {
    uint32_t size = 0;
    EXPECT_EQ(zetaserialization_getSerializationNeededBufferSize(tool, instance, &size), ZETA_OK);
    std::string bytes(size, '\0');
    EXPECT_EQ(zetaserialization_serialize(tool, instance, bytes.data(), size), ZETA_OK);
    return bytes;
}

// A tool, and a peer tool as at the other end of a connection, both over
// sampleSchema. Destroying them releases the instances still alive: tests
// leave some to it, and the leak checker of the address sanitizer build
// watches.
class Tool : public ::testing::Test {
protected:
    void SetUp() override {
        for (zeta_tool *each : {&tool, &peer}) {
            ASSERT_EQ(zetaserialization_createSerializationTool(each), ZETA_OK);
            ASSERT_EQ(zetaserialization_loadMetadataDefintion(*each, schema.path.c_str()),
                      ZETA_OK);
        }
    }
    void TearDown() override {
        for (zeta_tool *each : {&tool, &peer}) {
            EXPECT_EQ(zetaserialization_destroySerializationTool(each), ZETA_OK);
            EXPECT_EQ(*each, nullptr);
        }
    }
    int decode(const std::string &bytes, zeta_instance *instance) {
        return zetaserialization_deserialize(peer, bytes.data(),
                                             static_cast<uint32_t>(bytes.size()), instance);
    }

    // Builds a tree with values of every kind in the tool, sends it to the peer
    // and reads every value back there. Several threads may run it at once.
    void sendEveryKind(int32_t number) {
        zeta_instance sample = make(tool, "Sample"), header = make(tool, "Header");
        zeta_instance item = make(tool, "Item");
        zetaserialization_setStringTagValue(tool, sample, "text", "h\xe9llo");
        zetaserialization_setInt32TagValue(tool, sample, "number", number);
        zetaserialization_setStringTagValue(tool, header, "version", "1");
        zetaserialization_assignNestedTagValue(tool, sample, "header", header);
        zetaserialization_addNestedContainerTagValue(tool, sample, "items", make(tool, "Item"));
        zetaserialization_setOpaqueTagValue(tool, item, "name", 0, nullptr);
        zetaserialization_addNestedContainerTagValue(tool, sample, "items", item);
        for (const char *label : {"", "\xff\xfe"})
            zetaserialization_addStringContainerTagValue(tool, sample, "labels", label);
        zetaserialization_setOpaqueTagValue(tool, sample, "blob", 5, "a\0b\0c");
        const std::string bytes = encode(tool, sample);
        EXPECT_EQ(zetaserialization_destroyMetadataInstance(tool, &sample), ZETA_OK);

        ASSERT_EQ(decode(bytes, &sample), ZETA_OK);
        EXPECT_EQ(encode(peer, sample), bytes);
        EXPECT_EQ(tags(peer, sample),
                  (Names{"text", "number", "header", "items", "labels", "blob"}));
        EXPECT_EQ(text(peer, sample, "text"), "h\xe9llo");
        EXPECT_EQ(text(peer, sample, "blob"), std::string("a\0b\0c", 5)); // NULs are kept
        int32_t value = 0;
        uint32_t items = 0, nameSize = 7, blobSize = 0, labelSize = 0;
        char *name = nullptr, *blob = nullptr;
        // Evaluated in order: item is read before its tag.
        EXPECT_EQ((std::vector<int>{
                      zetaserialization_getInt32TagValue(peer, sample, "number", &value),
                      zetaserialization_getNestedTagValue(peer, sample, "header", &header),
                      zetaserialization_getContainerTagSize(peer, sample, "items", &items),
                      zetaserialization_getNestedContainerTagValue(peer, sample, "items", 1, &item),
                      zetaserialization_getOpaqueTagValue(peer, item, "name", &nameSize, &name),
                      zetaserialization_getOpaqueTagValue(peer, sample, "blob", &blobSize, &blob),
                      zetaserialization_getStringContainerTagValueSize(peer, sample, "labels", 1,
                                                                       &labelSize)}),
                  std::vector<int>(7, ZETA_OK));
        EXPECT_EQ(value, number);
        EXPECT_EQ(text(peer, header, "version"), "1");
        EXPECT_EQ(items, 2u);
        EXPECT_EQ(nameSize, 0u); // an empty opaque value has a value, but no block
        EXPECT_EQ(name, nullptr);
        EXPECT_EQ(std::string(blob, blobSize), std::string("a\0b\0c", 5));
        EXPECT_EQ(zetaserialization_releaseOpaqueValue(peer, &blob), ZETA_OK);
        EXPECT_EQ(blob, nullptr);
        std::vector<char> label(labelSize); // exactly the reported size
        EXPECT_EQ(
            zetaserialization_getStringContainerTagValue(peer, sample, "labels", 1, &label[0]),
            ZETA_OK);
        EXPECT_EQ(std::string(label.begin(), label.end()), std::string("\xff\xfe", 3));
        zetaserialization_destroyMetadataInstance(peer, &sample);
    }

    SchemaFile schema{sampleSchema};
    zeta_tool tool = nullptr;
    zeta_tool peer = nullptr;
};

TEST_F(Tool, SendsValuesOfEveryKindToASecondToolListedInDeclarationOrder) {
    sendEveryKind(INT32_MIN);
}

// The sending thread and the IPC threads of one service share their tools;
// the thread sanitizer build checks the shared state.
TEST_F(Tool, ServesSeveralThreadsAtOnce) {
    constexpr int threadCount = 6;
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t)
        threads.emplace_back([&, t] {
            for (++ready; ready.load() < threadCount;) // start together, to overlap
                std::this_thread::yield();
            for (int round = 0; round < 100; ++round)
                sendEveryKind(t * 1000 + round);
        });
    for (std::thread &thread : threads)
        thread.join();
}

// A child handle, or a child that is or holds its parent, cannot be taken
// over: it stays with its owner.
TEST_F(Tool, KeepsChildHandlesAndCyclesWithTheirOwner) {
    zeta_instance top = make(tool, "Node"), below = nullptr;
    EXPECT_EQ(zetaserialization_assignNestedTagValue(tool, top, "next", top), ZETA_EINVAL);
    zetaserialization_assignNestedTagValue(tool, top, "next", make(tool, "Node"));
    zetaserialization_getNestedTagValue(tool, top, "next", &below);
    EXPECT_EQ(zetaserialization_assignNestedTagValue(tool, below, "next", top), ZETA_EINVAL);
    EXPECT_EQ(zetaserialization_assignNestedTagValue(tool, make(tool, "Node"), "next", below),
              ZETA_EINVAL);
    EXPECT_EQ(zetaserialization_destroyMetadataInstance(tool, &below), ZETA_EINVAL);
    EXPECT_EQ(tags(tool, top), Names{"next"});
}

// The size found for serialize is kept until a value below changes, also one
// changed through a child handle; a tag is found by its text, whatever buffer
// held another name before.
TEST_F(Tool, SerializesChangesAfterTheSizeQueryAndFindsTagsInReusedBuffers) {
    zeta_instance sample = make(tool, "Sample"), header = make(tool, "Header");
    zetaserialization_assignNestedTagValue(tool, sample, "header", header);
    zetaserialization_getNestedTagValue(tool, sample, "header", &header);
    const std::string before = encode(tool, sample);
    uint32_t size = 0;
    zetaserialization_getSerializationNeededBufferSize(tool, sample, &size);
    zetaserialization_setStringTagValue(tool, header, "action", "grown");
    std::string buffer(size, '\0');
    EXPECT_EQ(zetaserialization_serialize(tool, sample, buffer.data(), size), ZETA_ERANGE);
    EXPECT_EQ(encode(tool, sample).size(), before.size() + 7); // key, length, 5 bytes

    char name[16] = "text";
    EXPECT_EQ(zetaserialization_setStringTagValue(tool, sample, name, "t"), ZETA_OK);
    std::strcpy(name, "number");
    EXPECT_EQ(zetaserialization_setInt32TagValue(tool, sample, name, 5), ZETA_OK);
    std::strcpy(name, "texts");
    EXPECT_EQ(zetaserialization_setStringTagValue(tool, sample, name, "t"), ZETA_ETAG);
    EXPECT_EQ(tags(tool, sample), (Names{"text", "number", "header"}));
}

// One misuse of one operation, or a use of a null instance, on a Sample
// holding one label, and the exact code it gives.
struct Misuse {
    const char *name;
    int (*call)(zeta_tool t, zeta_instance s);
    int expected;
};

uint32_t outSize;
int32_t outNumber;
zeta_instance outChild;
char *outBytes;
char outBuffer[64];

#define MISUSE(name, expected, operation, ...)                                                     \
    {#name, []([[maybe_unused]] zeta_tool t, [[maybe_unused]] zeta_instance s) {                   \
         return zetaserialization_##operation(__VA_ARGS__); }, expected}
const Misuse misuses[] = {
    MISUSE(TextOnInt32Tag, ZETA_ETAG, setStringTagValue, t, s, "number", "1"),
    MISUSE(NullTag, ZETA_EINVAL, setInt32TagValue, t, s, nullptr, 1),
    MISUSE(OpaqueFromNullBytes, ZETA_EINVAL, setOpaqueTagValue, t, s, "blob", 3, nullptr),
    // A refused child is taken over as well: the caller never destroys it.
    MISUSE(ChildOfOtherType, ZETA_ETYPE, assignNestedTagValue, t, s, "header", make(t, "Item")),
    MISUSE(ElementOfOtherType, ZETA_ETYPE, addNestedContainerTagValue, t, s, "items",
           make(t, "Header")),
    MISUSE(ChildOfNullParent, ZETA_EINVAL, assignNestedTagValue, t, nullptr, "header",
           make(t, "Header")),
    MISUSE(TextNeverSet, ZETA_ENOVALUE, getStringTagValueSize, t, s, "text", &outSize),
    MISUSE(OpaqueNeverSet, ZETA_ENOVALUE, getOpaqueTagValue, t, s, "blob", &outSize, &outBytes),
    MISUSE(Int32FromTextTag, ZETA_ETAG, getInt32TagValue, t, s, "text", &outNumber),
    MISUSE(TextElementPastTheEnd, ZETA_ERANGE, getStringContainerTagValueSize, t, s, "labels", 1,
           &outSize),
    MISUSE(RecordElementOfEmptyList, ZETA_ERANGE, getNestedContainerTagValue, t, s, "items", 0,
           &outChild),
    MISUSE(BufferOneByteShort, ZETA_ERANGE, serialize, t, s, outBuffer, 15), // of 16
    MISUSE(UnknownType, ZETA_ETYPE, createMetadataInstance, t, "sample", &outChild),
    MISUSE(NullTool, ZETA_EINVAL, getContainerTagSize, nullptr, s, "labels", &outSize),
    MISUSE(NullInstanceHasNoValue, ZETA_ENOVALUE, getContainerTagSize, t, nullptr, "labels",
           &outSize),
    MISUSE(NullInstanceTakesNoValue, ZETA_EINVAL, setStringTagValue, t, nullptr, "text", "x"),
    MISUSE(NullInstanceListsNoTags, ZETA_OK, getHavingValueTagNames, t, nullptr, &outBytes,
           &outSize),
    MISUSE(NullInstanceNeedsNoBytes, ZETA_OK, getSerializationNeededBufferSize, t, nullptr,
           &outSize),
};
#undef MISUSE

class ToolMisuse : public Tool, public ::testing::WithParamInterface<Misuse> {};

// No instance or block is handed out, a size is left alone on error (0 for a
// null instance), and the instance stays as it was.
TEST_P(ToolMisuse, GivesItsExactCodeAndChangesNothing) {
    zeta_instance sample = make(tool, "Sample");
    zetaserialization_addStringContainerTagValue(tool, sample, "labels", "only");
    const std::string before = encode(tool, sample);
    outChild = nullptr;
    outBytes = nullptr;
    outSize = 7;
    EXPECT_EQ(GetParam().call(tool, sample), GetParam().expected);
    EXPECT_EQ(outChild, nullptr);
    EXPECT_EQ(outBytes, nullptr);
    EXPECT_EQ(outSize, GetParam().expected == ZETA_OK ? 0u : 7u);
    EXPECT_EQ(encode(tool, sample), before);
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, ToolMisuse, ::testing::ValuesIn(misuses),
                         [](const auto &info) { return std::string(info.param.name); });

using wire::field;

// The buffer format: the type name as field 1, the message bytes as field 2.
std::string envelope(const std::string &type, const std::string &body) {
    return field(1, type) + field(2, body);
}

// count Node messages, each the "next" of the one before.
std::string nodes(int count) {
    std::string body;
    while (count-- > 0)
        body = field(1, body);
    return body;
}

// A buffer, well-formed or not, and the code it gives.
struct Buffer {
    const char *name;
    std::string bytes;
    int expected;
};

std::vector<Buffer> buffers() {
    std::string groups;
    for (int i = 0; i < 100000; ++i)
        groups += "\x9b\x06"; // start of a group numbered 99, never ended
    return {
        {"EmptyBody", envelope("Sample", ""), ZETA_OK},
        {"TagUnknownToTheSchema", envelope("Sample", field(99, "dropped")), ZETA_OK},
        {"NestingBelowTheLimit", envelope("Node", nodes(90)), ZETA_OK},
        {"Empty", "", ZETA_EDECODE},
        {"TrailingByte", envelope("Sample", field(9, "hi")) + "x", ZETA_EDECODE},
        {"BodyFirst", field(2, field(9, "hi")) + field(1, "Sample"), ZETA_EDECODE},
        {"NoBody", field(1, "Sample"), ZETA_EDECODE},
        {"WrongWireTypeOfTypeName", "\x08\x06Sample", ZETA_EDECODE},
        {"BodyLengthTooLarge", field(1, "Sample") + "\x12\x05hi", ZETA_EDECODE},
        {"TypeNameOf300Bytes", envelope(std::string(300, 'S'), ""), ZETA_EDECODE},
        {"UnknownTypeName", envelope("sample", ""), ZETA_ETYPE},
        {"NestingBeyondTheLimit", envelope("Node", nodes(101)), ZETA_EDECODE},
        {"HugeNesting", envelope("Sample", groups), ZETA_EDECODE},
    };
}

class BufferDecoding : public Tool, public ::testing::WithParamInterface<Buffer> {};

TEST_P(BufferDecoding, GivesItsCodeAndAnInstanceOnlyWhenItDecodes) {
    zeta_instance instance = nullptr;
    EXPECT_EQ(decode(GetParam().bytes, &instance), GetParam().expected);
    EXPECT_EQ(instance != nullptr, GetParam().expected == ZETA_OK);
}

INSTANTIATE_TEST_SUITE_P(Tool, BufferDecoding, ::testing::ValuesIn(buffers()),
                         [](const auto &info) { return std::string(info.param.name); });

// Every prefix of a valid buffer is refused; random bytes, alone or behind a
// valid envelope head, either decode or leave the instance null.
TEST_F(Tool, RefusesTruncatedBuffersAndDecodesRandomOnesOrLeavesTheInstanceNull) {
    zeta_instance sample = make(tool, "Sample");
    zetaserialization_setStringTagValue(tool, sample, "text", "some text");
    zetaserialization_addNestedContainerTagValue(tool, sample, "items", make(tool, "Item"));
    const std::string bytes = encode(tool, sample);
    for (std::size_t size = 0; size < bytes.size(); ++size) {
        zeta_instance instance = nullptr;
        EXPECT_EQ(decode(bytes.substr(0, size), &instance), ZETA_EDECODE) << size << " bytes";
        EXPECT_EQ(instance, nullptr);
    }
    std::mt19937 random(20240611u);
    int decoded = 0;
    for (int round = 0; round < 4000; ++round) {
        std::string body(random() % 49, '\0');
        for (char &byte : body)
            byte = static_cast<char>(random());
        zeta_instance instance = nullptr;
        const int result = decode(round % 2 ? envelope("Sample", body) : body, &instance);
        EXPECT_EQ(result == ZETA_OK, instance != nullptr) << "round " << round;
        decoded += result == ZETA_OK;
        EXPECT_EQ(zetaserialization_destroyMetadataInstance(peer, &instance), ZETA_OK); // or null
    }
    EXPECT_GT(decoded, 0); // some random bodies are valid messages: parsing was reached
}

// Instances of the earlier types keep their schema until they are destroyed.
TEST_F(Tool, ReplacesItsTypesOnReloadAndKnowsNoneAfterAMissingFile) {
    zeta_instance earlier = make(tool, "Sample");
    SchemaFile other("syntax = \"proto2\";\nmessage Other { optional int32 value = 1; }\n");
    ASSERT_EQ(zetaserialization_loadMetadataDefintion(tool, other.path.c_str()), ZETA_OK);
    EXPECT_EQ(make(tool, "Sample"), nullptr);
    EXPECT_NE(make(tool, "Other"), nullptr);
    EXPECT_EQ(zetaserialization_setStringTagValue(tool, earlier, "text", "kept"), ZETA_OK);
    EXPECT_EQ(text(tool, earlier, "text"), "kept");
    EXPECT_EQ(zetaserialization_loadMetadataDefintion(tool, (other.path + "x").c_str()),
              ZETA_EDEFINITION);
    EXPECT_EQ(make(tool, "Other"), nullptr);
    EXPECT_EQ(zetaserialization_loadMetadataDefintion(peer, nullptr), ZETA_EINVAL);
    EXPECT_EQ(make(peer, "Sample"), nullptr);
}

class BrokenDefinition : public Tool, public ::testing::WithParamInterface<NamedText> {};

TEST_P(BrokenDefinition, IsRefusedSilentlyAndForgetsTheEarlierTypes) {
    SchemaFile broken(GetParam().second);
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(zetaserialization_loadMetadataDefintion(tool, broken.path.c_str()),
              ZETA_EDEFINITION);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(make(tool, "Sample"), nullptr);
    EXPECT_EQ(make(tool, "Broken"), nullptr);
}

const std::string head = "syntax = \"proto2\";\nmessage Broken { ";
INSTANTIATE_TEST_SUITE_P(
    Tool, BrokenDefinition,
    ::testing::Values(
        NamedText{"NoSyntaxLine", "message Broken { optional bytes text = 1; }"},
        NamedText{"SyntaxError", head + "optional bytes text = ; }"},
        NamedText{"Proto3", "syntax = \"proto3\";\nmessage Broken { bytes text = 1; }"},
        NamedText{"StringTag", head + "optional string text = 1; }"},
        NamedText{"RequiredTag", head + "required int32 value = 1; }"},
        NamedText{"Oneof", head + "oneof choice { bytes text = 1; } }"},
        NamedText{"NestedType", head + "message Inner {} optional Inner inner = 1; }"},
        NamedText{"MapTag", head + "map<string, bytes> values = 1; }"},
        NamedText{"UnknownTagType", head + "optional Missing inner = 1; }"},
        NamedText{"TagNameOf256Characters",
                  head + "optional bytes " + std::string(256, 'n') + " = 1; }"},
        NamedText{"DeepBrackets", head + "option deprecated = " + std::string(200000, '{') + " }"},
        NamedText{"BinaryGarbage", std::string("\x00\xff\x7f{{\x01", 6)}),
    [](const auto &info) { return info.param.first; });

} // namespace
