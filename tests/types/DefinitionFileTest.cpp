// The definition file against the record table: every record a type of the
// same name, every transmitted field a tag of the same name, kind and place,
// numbered from 1, and nothing else. The file is read here with protobuf's own
// parser, independently of the serialization library.
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <google/protobuf/compiler/parser.h>
#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/io/tokenizer.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <gtest/gtest.h>

#include "AllRecordTypes.h"

namespace DataServiceNamespace::testing {
namespace {

using google::protobuf::FieldDescriptor;

class CollectedErrors : public google::protobuf::io::ErrorCollector {
public:
    void AddError(int line, google::protobuf::io::ColumnNumber column,
                  const std::string &message) override {
        text += std::to_string(line + 1) + ":" + std::to_string(column + 1) + ": " + message + "\n";
    }
    std::string text;
};

// The definition file, parsed and built once for all tests.
const google::protobuf::FileDescriptor *definitionFile() {
    static google::protobuf::DescriptorPool pool;
    static const google::protobuf::FileDescriptor *file = [] {
        std::ifstream input(DS_DEFINITION_FILE);
        std::stringstream content;
        content << input.rdbuf();
        const std::string text = content.str();
        google::protobuf::io::ArrayInputStream stream(text.data(), static_cast<int>(text.size()));
        CollectedErrors errors;
        google::protobuf::io::Tokenizer tokenizer(&stream, &errors);
        google::protobuf::compiler::Parser parser;
        parser.RecordErrorsTo(&errors);
        google::protobuf::FileDescriptorProto proto;
        EXPECT_TRUE(parser.Parse(&tokenizer, &proto)) << errors.text;
        proto.set_name("ConfigSerializationDef.txt");
        return pool.BuildFile(proto);
    }();
    return file;
}

// One tag as the table describes it, in the form the file spells it.
struct ExpectedTag {
    std::string name;
    std::string spelling; // "optional bytes", "repeated LinkData", ...
};

std::string spelling(const FieldDescriptor *field) {
    std::string label = field->is_repeated() ? "repeated " : field->is_required() ? "required "
                                                                                 : "optional ";
    if (field->message_type() != nullptr)
        return label + field->message_type()->name();
    return label + field->type_name();
}

struct TagCollector {
    std::vector<ExpectedTag> tags;
    template <class Field> void operator()(TextField, const char *name, Field &) {
        tags.push_back({name, "optional bytes"});
    }
    template <class Field> void operator()(Int32Field, const char *name, Field &) {
        tags.push_back({name, "optional int32"});
    }
    template <class Nested> void operator()(NestedField, const char *name, Nested &) {
        tags.push_back({name, std::string("optional ") + RecordInfo<Nested>::typeName});
    }
    template <class Element>
    void operator()(RecordListField, const char *name, std::vector<Element> &) {
        tags.push_back({name, std::string("repeated ") + RecordInfo<Element>::typeName});
    }
    template <class Field> void operator()(TextListField, const char *name, Field &) {
        tags.push_back({name, "repeated bytes"});
    }
    template <class Data, class Size>
    void operator()(OpaqueField, const char *name, Data &, Size &) {
        tags.push_back({name, "optional bytes"});
    }
    template <class Field> void operator()(LocalInt32Field, const char *, Field &) {}
    template <class Field> void operator()(LocalTextField, const char *, Field &) {}
};

TEST(DefinitionFile, DeclaresExactlyTheRecordsOfTheTableInProto2) {
    const auto *file = definitionFile();
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->syntax(), google::protobuf::FileDescriptor::SYNTAX_PROTO2);
    std::set<std::string> table;
    forEachRecordType([&](auto *record) {
        table.insert(RecordInfo<std::remove_pointer_t<decltype(record)>>::typeName);
    });
    std::set<std::string> declared;
    for (int i = 0; i < file->message_type_count(); ++i)
        declared.insert(file->message_type(i)->name());
    EXPECT_EQ(declared, table);
    EXPECT_EQ(file->message_type_count(), static_cast<int>(recordTypeCount));
    EXPECT_EQ(file->enum_type_count() + file->extension_count() + file->service_count(), 0);
}

template <class Record> class DefinitionOf : public ::testing::Test {};
TYPED_TEST_SUITE(DefinitionOf, AllRecordTypes, RecordTypeName);

TYPED_TEST(DefinitionOf, RecordHasOneTagPerTransmittedFieldInFieldOrder) {
    const auto *file = definitionFile();
    ASSERT_NE(file, nullptr);
    const auto *type = file->FindMessageTypeByName(RecordInfo<TypeParam>::typeName);
    ASSERT_NE(type, nullptr);
    TypeParam record{};
    TagCollector expected;
    RecordInfo<TypeParam>::visit(expected, record);
    ASSERT_EQ(type->field_count(), static_cast<int>(expected.tags.size()));
    for (int i = 0; i < type->field_count(); ++i) {
        const FieldDescriptor *field = type->field(i);
        EXPECT_EQ(field->name(), expected.tags[i].name) << "tag " << i;
        EXPECT_EQ(spelling(field), expected.tags[i].spelling) << field->name();
        EXPECT_EQ(field->number(), i + 1) << field->name();
        EXPECT_FALSE(field->has_default_value()) << field->name();
    }
    EXPECT_EQ(type->nested_type_count() + type->enum_type_count() + type->oneof_decl_count(), 0);
}

} // namespace
} // namespace DataServiceNamespace::testing
