// Test support: the code protoc generates from the definition file, reached
// through protobuf reflection so that one converter serves all 58 records, and
// the envelope around an encoded instance. An encoder and a decoder written
// apart from the codec, so that a fault in the codec or the library cannot
// hide itself by being made twice.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/message.h>

#include "RecordInfo.h"
#include "ds_records.pb.h"

namespace DataServiceNamespace::testing {

// A new empty generated message of the record's type.
template <class Record> std::unique_ptr<google::protobuf::Message> generatedMessage() {
    const google::protobuf::Descriptor *type =
        google::protobuf::DescriptorPool::generated_pool()->FindMessageTypeByName(
            std::string("generated.") + RecordInfo<Record>::typeName);
    if (type == nullptr)
        return nullptr;
    return std::unique_ptr<google::protobuf::Message>(
        google::protobuf::MessageFactory::generated_factory()->GetPrototype(type)->New());
}

template <class Record> void toGenerated(const Record &record, google::protobuf::Message &message);
template <class Record>
void fromGenerated(const google::protobuf::Message &message, Record &record);

// Fills a generated message from a record under the same rules as the
// encoder: every text and int32, every nested record, one element per list
// entry, the image only when it has bytes.
struct GeneratedWriter {
    google::protobuf::Message &message;
    const google::protobuf::Reflection &reflection = *message.GetReflection();

    const google::protobuf::FieldDescriptor *field(const char *name) const {
        return message.GetDescriptor()->FindFieldByName(name);
    }
    void operator()(TextField, const char *name, const cfstring &value) const {
        reflection.SetString(&message, field(name), value.c_str()); // up to a NUL, as sent
    }
    void operator()(Int32Field, const char *name, const int32 &value) const {
        reflection.SetInt32(&message, field(name), value);
    }
    template <class Nested>
    void operator()(NestedField, const char *name, const Nested &value) const {
        toGenerated(value, *reflection.MutableMessage(&message, field(name)));
    }
    template <class Element>
    void operator()(RecordListField, const char *name, const std::vector<Element> &list) const {
        for (const Element &element : list)
            toGenerated(element, *reflection.AddMessage(&message, field(name)));
    }
    void operator()(TextListField, const char *name, const std::vector<cfstring> &list) const {
        for (const cfstring &text : list)
            reflection.AddString(&message, field(name), text.c_str());
    }
    void operator()(OpaqueField, const char *name, const opaque &data,
                    const opaque_size &size) const {
        if (data != nullptr && size != 0)
            reflection.SetString(&message, field(name), std::string(data, size));
    }
    void operator()(LocalInt32Field, const char *, const int32 &) const {}
    void operator()(LocalTextField, const char *, const cfstring &) const {}
};

// Reads a generated message into a record: fields whose tag is absent keep
// their values; the image is copied into a new[] array.
struct GeneratedReader {
    const google::protobuf::Message &message;
    const google::protobuf::Reflection &reflection = *message.GetReflection();

    const google::protobuf::FieldDescriptor *field(const char *name) const {
        return message.GetDescriptor()->FindFieldByName(name);
    }
    bool has(const char *name) const { return reflection.HasField(message, field(name)); }
    void operator()(TextField, const char *name, cfstring &value) const {
        if (has(name))
            value = reflection.GetString(message, field(name));
    }
    void operator()(Int32Field, const char *name, int32 &value) const {
        if (has(name))
            value = reflection.GetInt32(message, field(name));
    }
    template <class Nested> void operator()(NestedField, const char *name, Nested &value) const {
        if (has(name))
            fromGenerated(reflection.GetMessage(message, field(name)), value);
    }
    template <class Element>
    void operator()(RecordListField, const char *name, std::vector<Element> &list) const {
        for (int i = 0, n = reflection.FieldSize(message, field(name)); i < n; ++i)
            fromGenerated(reflection.GetRepeatedMessage(message, field(name), i),
                          list.emplace_back());
    }
    void operator()(TextListField, const char *name, std::vector<cfstring> &list) const {
        for (int i = 0, n = reflection.FieldSize(message, field(name)); i < n; ++i)
            list.push_back(reflection.GetRepeatedString(message, field(name), i));
    }
    void operator()(OpaqueField, const char *name, opaque &data, opaque_size &size) const {
        if (!has(name))
            return;
        const std::string bytes = reflection.GetString(message, field(name));
        size = static_cast<opaque_size>(bytes.size());
        data = new char[bytes.size()];
        bytes.copy(data, bytes.size());
    }
    void operator()(LocalInt32Field, const char *, int32 &) const {}
    void operator()(LocalTextField, const char *, cfstring &) const {}
};

template <class Record> void toGenerated(const Record &record, google::protobuf::Message &message) {
    RecordInfo<Record>::visit(GeneratedWriter{message}, record);
}

template <class Record>
void fromGenerated(const google::protobuf::Message &message, Record &record) {
    RecordInfo<Record>::visit(GeneratedReader{message}, record);
}

// The envelope of an encoded instance: the type name as field 1, the message
// bytes as field 2, both length-delimited.
inline std::string envelope(const std::string &type, const std::string &body) {
    std::string bytes;
    {
        google::protobuf::io::StringOutputStream stream(&bytes);
        google::protobuf::io::CodedOutputStream out(&stream);
        out.WriteTag(0x0A);
        out.WriteVarint32(static_cast<uint32_t>(type.size()));
        out.WriteString(type);
        out.WriteTag(0x12);
        out.WriteVarint32(static_cast<uint32_t>(body.size()));
        out.WriteString(body);
    }
    return bytes;
}

// Takes an envelope apart; false when bytes are not exactly one.
inline bool splitEnvelope(const std::string &bytes, std::string *type, std::string *body) {
    google::protobuf::io::CodedInputStream in(reinterpret_cast<const uint8_t *>(bytes.data()),
                                              static_cast<int>(bytes.size()));
    uint32_t length = 0;
    return in.ReadTag() == 0x0A && in.ReadVarint32(&length) &&
           in.ReadString(type, static_cast<int>(length)) && in.ReadTag() == 0x12 &&
           in.ReadVarint32(&length) && in.ReadString(body, static_cast<int>(length)) &&
           in.ReadTag() == 0 && in.ConsumedEntireMessage();
}

} // namespace DataServiceNamespace::testing
