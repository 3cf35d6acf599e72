// Turns the text of a definition file into message types at run time, without
// generated code, and refuses any construct the tag operations cannot serve.
#include "Schema.h"

#include <fstream>
#include <iterator>

#include <google/protobuf/compiler/parser.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/io/tokenizer.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

namespace zeta {

using google::protobuf::Descriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::FileDescriptor;
using google::protobuf::FileDescriptorProto;

namespace {

// Parser and tokenizer report problems here; the library prints nothing.
class SilentTokenizerErrors : public google::protobuf::io::ErrorCollector {
public:
    void AddError(int, google::protobuf::io::ColumnNumber, const std::string &) override {
        failed = true;
    }
    bool failed = false;
};

class SilentPoolErrors : public google::protobuf::DescriptorPool::ErrorCollector {
public:
    void AddError(const std::string &, const std::string &, const google::protobuf::Message *,
                  ErrorLocation, const std::string &) override {}
};

// Whether brackets nest deeper than the parser can safely recurse.
bool nestsTooDeep(const std::string &text) {
    google::protobuf::io::ArrayInputStream input(text.data(), static_cast<int>(text.size()));
    SilentTokenizerErrors errors;
    google::protobuf::io::Tokenizer tokenizer(&input, &errors);
    int depth = 0;
    while (tokenizer.Next()) {
        const auto &token = tokenizer.current();
        if (token.type != google::protobuf::io::Tokenizer::TYPE_SYMBOL)
            continue;
        const std::string &symbol = token.text;
        if (symbol == "{" || symbol == "[" || symbol == "(" || symbol == "<") {
            if (++depth > Schema::maxNesting)
                return true;
        } else if (symbol == "}" || symbol == "]" || symbol == ")" || symbol == ">") {
            --depth;
        }
    }
    return false;
}

bool supportedMessage(const Descriptor *type) {
    if (type->name().size() > Schema::maxNameLength || type->nested_type_count() != 0 ||
        type->enum_type_count() != 0 || type->extension_count() != 0 ||
        type->extension_range_count() != 0 || type->oneof_decl_count() != 0)
        return false;
    for (int i = 0; i < type->field_count(); ++i) {
        const FieldDescriptor *field = type->field(i);
        if (tagKind(field) == TagKind::Unsupported ||
            field->name().size() > Schema::maxNameLength)
            return false;
    }
    return true;
}

bool supportedFile(const FileDescriptor *file) {
    if (file->syntax() != FileDescriptor::SYNTAX_PROTO2 || file->enum_type_count() != 0 ||
        file->extension_count() != 0 || file->service_count() != 0)
        return false;
    for (int i = 0; i < file->message_type_count(); ++i)
        if (!supportedMessage(file->message_type(i)))
            return false;
    return true;
}

} // namespace

TagKind tagKind(const FieldDescriptor *field) {
    if (field->is_required())
        return TagKind::Unsupported;
    const bool repeated = field->is_repeated();
    switch (field->type()) {
    case FieldDescriptor::TYPE_BYTES:
        return repeated ? TagKind::TextList : TagKind::Bytes;
    case FieldDescriptor::TYPE_INT32:
        return repeated ? TagKind::Unsupported : TagKind::Int32;
    case FieldDescriptor::TYPE_MESSAGE:
        return repeated ? TagKind::RecordList : TagKind::Nested;
    default:
        return TagKind::Unsupported;
    }
}

std::unique_ptr<Schema> Schema::load(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return nullptr;
    std::string text;
    char chunk[65536];
    while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
        text.append(chunk, static_cast<std::size_t>(file.gcount()));
        if (text.size() > maxFileSize)
            return nullptr;
    }
    if (file.bad())
        return nullptr;
    return parse(text, path);
}

std::unique_ptr<Schema> Schema::parse(const std::string &text, const std::string &name) {
    if (text.size() > maxFileSize || nestsTooDeep(text))
        return nullptr;

    google::protobuf::io::ArrayInputStream input(text.data(), static_cast<int>(text.size()));
    SilentTokenizerErrors errors;
    google::protobuf::io::Tokenizer tokenizer(&input, &errors);
    google::protobuf::compiler::Parser parser;
    parser.RecordErrorsTo(&errors);
    // Without this the parser logs a warning for a file lacking its syntax
    // line; required, the line's absence is an error like any other.
    parser.SetRequireSyntaxIdentifier(true);
    FileDescriptorProto proto;
    if (!parser.Parse(&tokenizer, &proto) || errors.failed)
        return nullptr;
    proto.set_name(name);
    // A file that imports another cannot build: the pool has nothing else.
    if (proto.dependency_size() != 0)
        return nullptr;

    std::unique_ptr<Schema> schema(new Schema);
    SilentPoolErrors poolErrors;
    const FileDescriptor *file = schema->pool_.BuildFileCollectingErrors(proto, &poolErrors);
    if (file == nullptr || !supportedFile(file))
        return nullptr;
    // Every prototype is made now, so that later threads only read the map.
    for (int i = 0; i < file->message_type_count(); ++i) {
        const Descriptor *type = file->message_type(i);
        schema->prototypes_[type->name()] = schema->factory_.GetPrototype(type);
    }
    return schema;
}

const google::protobuf::Message *Schema::prototype(const std::string &typeName) const {
    auto found = prototypes_.find(typeName);
    return found == prototypes_.end() ? nullptr : found->second;
}

} // namespace zeta
