// The definition file against the record table: every record a message of the
// same name, every transmitted field a tag of the same name, kind and place,
// numbered from 1, and nothing else. The file is read here with protobuf's own
// parser, independently of the serialization library.
#include <fstream>
#include <iterator>
#include <string>
#include <type_traits>

#include <google/protobuf/compiler/parser.h>
#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/io/tokenizer.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <gtest/gtest.h>

#include "RecordInfo.h"

namespace DataServiceNamespace {
namespace {

struct ParseErrors : google::protobuf::io::ErrorCollector {
    void AddError(int line, int, const std::string &message) override {
        text += "line " + std::to_string(line + 1) + ": " + message + "\n";
    }
    std::string text;
};

// The record's message as protobuf prints it, written from the table.
template <class Record> std::string tableMessage() {
    std::string text = std::string("message ") + RecordInfo<Record>::typeName + " {\n";
    int number = 0;
    Record record{};
    RecordInfo<Record>::visit(
        [&](auto kind, const char *name, auto &field, auto &...) {
            using Kind = decltype(kind);
            using Field = std::decay_t<decltype(field)>;
            std::string type = "optional bytes"; // text and opaque
            if constexpr (std::is_same<Kind, Int32Field>::value)
                type = "optional int32";
            if constexpr (isNestedKind<Kind>)
                type = std::string("optional .") + RecordInfo<Field>::typeName;
            if constexpr (std::is_same<Kind, RecordListField>::value)
                type = std::string("repeated .") + RecordInfo<typename Field::value_type>::typeName;
            if constexpr (std::is_same<Kind, TextListField>::value)
                type = "repeated bytes";
            if (isTransmitted<Kind>)
                text += "  " + type + " " + name + " = " + std::to_string(++number) + ";\n";
        },
        record);
    return text + "}\n";
}

TEST(DefinitionFile, DeclaresOneMessagePerRecordWithATagPerTransmittedFieldInFieldOrder) {
    std::ifstream input(DS_DEFINITION_FILE);
    const std::string text{std::istreambuf_iterator<char>(input), {}};
    google::protobuf::io::ArrayInputStream stream(text.data(), static_cast<int>(text.size()));
    ParseErrors errors;
    google::protobuf::io::Tokenizer tokenizer(&stream, &errors);
    google::protobuf::compiler::Parser parser;
    parser.RecordErrorsTo(&errors);
    google::protobuf::FileDescriptorProto proto;
    ASSERT_TRUE(parser.Parse(&tokenizer, &proto)) << errors.text;
    proto.set_name("ConfigSerializationDef.txt");
    google::protobuf::DescriptorPool pool;
    const google::protobuf::FileDescriptor *file = pool.BuildFile(proto);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->syntax(), google::protobuf::FileDescriptor::SYNTAX_PROTO2);
    EXPECT_EQ(file->message_type_count(), static_cast<int>(recordTypeCount));
    EXPECT_EQ(file->enum_type_count() + file->extension_count() + file->service_count(), 0);
    forEachRecordType([&](auto *record) {
        using Record = std::remove_pointer_t<decltype(record)>;
        const auto *type = file->FindMessageTypeByName(RecordInfo<Record>::typeName);
        ASSERT_NE(type, nullptr) << RecordInfo<Record>::typeName;
        EXPECT_EQ(type->DebugString(), tableMessage<Record>());
    });
}

} // namespace
} // namespace DataServiceNamespace
