// Turns the text of a definition file into tag tables at run time, without
// generated code, and refuses any construct the tag operations cannot serve.
// Protobuf parses and checks the file; its descriptors are dropped once the
// tables are compiled.
#include "Schema.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include <google/protobuf/compiler/parser.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/io/tokenizer.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/wire_format_lite.h>

namespace zeta {

using google::protobuf::Descriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::FileDescriptor;
using google::protobuf::FileDescriptorProto;
using google::protobuf::internal::WireFormatLite;
using google::protobuf::io::CodedOutputStream;

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

    // The descriptors are needed only while the tables are compiled.
    google::protobuf::DescriptorPool pool;
    SilentPoolErrors poolErrors;
    const FileDescriptor *file = pool.BuildFileCollectingErrors(proto, &poolErrors);
    if (file == nullptr || !supportedFile(file))
        return nullptr;
    std::unique_ptr<Schema> schema(new Schema);
    if (!schema->compile(file))
        return nullptr;
    return schema;
}

bool Schema::compile(const FileDescriptor *file) {
    std::unordered_map<const Descriptor *, TypeTable *> tables;
    for (int i = 0; i < file->message_type_count(); ++i) {
        types_.push_back(std::make_unique<TypeTable>());
        tables[file->message_type(i)] = types_.back().get();
    }
    for (int i = 0; i < file->message_type_count(); ++i) {
        const Descriptor *type = file->message_type(i);
        TypeTable &table = *tables[type];
        table.name = type->name();
        std::uint32_t highest = 0;
        for (int f = 0; f < type->field_count(); ++f) {
            const FieldDescriptor *field = type->field(f);
            TagInfo tag;
            tag.name = field->name();
            tag.number = static_cast<std::uint32_t>(field->number());
            tag.kind = tagKind(field);
            if (field->message_type() != nullptr)
                tag.type = tables.at(field->message_type());
            const auto wireType = tag.kind == TagKind::Int32
                                      ? WireFormatLite::WIRETYPE_VARINT
                                      : WireFormatLite::WIRETYPE_LENGTH_DELIMITED;
            tag.wireTag = WireFormatLite::MakeTag(field->number(), wireType);
            tag.wireTagSize = static_cast<std::uint32_t>(CodedOutputStream::VarintSize32(tag.wireTag));
            highest = std::max(highest, tag.number);
            table.tags.push_back(std::move(tag));
        }
        for (std::uint32_t t = 0; t < table.tags.size(); ++t)
            table.writeOrder.push_back(t);
        std::sort(table.writeOrder.begin(), table.writeOrder.end(),
                  [&](std::uint32_t a, std::uint32_t b) {
                      return table.tags[a].number < table.tags[b].number;
                  });
        // Small numbers, as definitions number their tags, get a direct table.
        if (highest < 1024) {
            table.byNumber.assign(highest + 1, 0);
            for (std::size_t t = 0; t < table.tags.size(); ++t)
                table.byNumber[table.tags[t].number] = static_cast<std::uint16_t>(t + 1);
        }
        // Indexes + 1 are kept in 16 bits.
        if (table.tags.size() >= UINT16_MAX)
            return false;
        table.lastName.reset(new std::atomic<const char *>[table.tags.size()]);
        for (std::size_t t = 0; t < table.tags.size(); ++t)
            table.lastName[t].store(nullptr, std::memory_order_relaxed);
        byName_[table.name] = &table;
    }
    return true;
}

namespace {

// strcmp(name, tag) == 0 for the short names of a schema, inline.
bool sameName(const char *name, const std::string &tag) {
    const char *text = tag.c_str();
    for (std::size_t i = 0;; ++i) {
        if (name[i] != text[i])
            return false;
        if (text[i] == '\0')
            return true;
    }
}

} // namespace

int TypeTable::find(const char *name) const {
    std::atomic<std::uint16_t> &slot = recentTag[recentSlot(name)];
    const std::uint16_t recent = slot.load(std::memory_order_relaxed);
    if (recent != 0 && sameName(name, tags[recent - 1u].name))
        return recent - 1;
    for (std::size_t i = 0; i < tags.size(); ++i)
        if (lastName[i].load(std::memory_order_relaxed) == name && sameName(name, tags[i].name)) {
            slot.store(static_cast<std::uint16_t>(i + 1), std::memory_order_relaxed);
            return static_cast<int>(i);
        }
    // Names are at most maxNameLength long: no need to look further.
    const std::size_t length = strnlen(name, Schema::maxNameLength + 1);
    for (std::size_t i = 0; i < tags.size(); ++i) {
        const std::string &tag = tags[i].name;
        if (tag.size() == length && std::memcmp(tag.data(), name, length) == 0) {
            lastName[i].store(name, std::memory_order_relaxed);
            slot.store(static_cast<std::uint16_t>(i + 1), std::memory_order_relaxed);
            return static_cast<int>(i);
        }
    }
    return -1;
}

const TypeTable *Schema::type(const char *typeName) const {
    std::atomic<const TypeTable *> &slot =
        recent_[TypeTable::recentSlot(typeName)];
    const TypeTable *recent = slot.load(std::memory_order_relaxed);
    if (recent != nullptr && sameName(typeName, recent->name))
        return recent;
    const TypeTable *found = type(std::string_view(typeName, strnlen(typeName, maxNameLength + 1)));
    if (found != nullptr)
        slot.store(found, std::memory_order_relaxed);
    return found;
}

const TypeTable *Schema::type(std::string_view typeName) const {
    auto found = byName_.find(typeName);
    return found == byName_.end() ? nullptr : found->second;
}

} // namespace zeta
