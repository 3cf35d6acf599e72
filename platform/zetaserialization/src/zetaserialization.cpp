// The C operations of the serialization library, over protobuf dynamic
// messages: an instance handle is the address of a message, a tool handle the
// address of a zeta::Tool.
#include "zetaserialization.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Envelope.h"
#include "Schema.h"
#include "Tool.h"

using google::protobuf::Descriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;
using zeta::TagKind;

namespace {

zeta::Tool *toolOf(zeta_tool handle) { return static_cast<zeta::Tool *>(handle); }
Message *messageOf(zeta_instance handle) { return static_cast<Message *>(handle); }

// Runs one operation so that nothing thrown inside crosses the C boundary.
// Only allocation can fail inside (protobuf reports its own failures by
// result), so whatever is caught is reported as lack of memory.
template <class Operation> int guarded(Operation &&operation) noexcept {
    try {
        return operation();
    } catch (...) {
        return ZETA_ENOMEM;
    }
}

// Finds a tag of the given shape in the type of message.
int findTag(const Message &message, const char *tag, TagKind kind,
            const FieldDescriptor **field) {
    if (tag == nullptr)
        return ZETA_EINVAL;
    const FieldDescriptor *found = message.GetDescriptor()->FindFieldByName(tag);
    if (found == nullptr || zeta::tagKind(found) != kind)
        return ZETA_ETAG;
    *field = found;
    return ZETA_OK;
}

bool hasValue(const Message &message, const FieldDescriptor *field) {
    const Reflection *reflection = message.GetReflection();
    return field->is_repeated() ? reflection->FieldSize(message, field) > 0
                                : reflection->HasField(message, field);
}

// Whether target is a message somewhere below root.
bool contains(const Message &root, const Message *target) {
    const Descriptor *type = root.GetDescriptor();
    const Reflection *reflection = root.GetReflection();
    for (int i = 0; i < type->field_count(); ++i) {
        const FieldDescriptor *field = type->field(i);
        if (field->cpp_type() != FieldDescriptor::CPPTYPE_MESSAGE)
            continue;
        if (field->is_repeated()) {
            for (int j = 0, n = reflection->FieldSize(root, field); j < n; ++j) {
                const Message &element = reflection->GetRepeatedMessage(root, field, j);
                if (&element == target || contains(element, target))
                    return true;
            }
        } else if (reflection->HasField(root, field)) {
            const Message &child = reflection->GetMessage(root, field);
            if (&child == target || contains(child, target))
                return true;
        }
    }
    return false;
}

// The size of a text value with its terminating NUL.
int textSize(const std::string &value, uint32_t *size) {
    if (value.size() >= UINT32_MAX)
        return ZETA_ERANGE;
    *size = static_cast<uint32_t>(value.size() + 1);
    return ZETA_OK;
}

void copyText(const std::string &value, char *buffer) {
    std::memcpy(buffer, value.data(), value.size());
    buffer[value.size()] = '\0';
}

// The size of the encoded form of message, or ZETA_ERANGE when protobuf
// cannot encode its body (2 GiB and more) or the envelope overflows 32 bits.
int encodedSize(const Message &message, std::size_t *bodySize, uint32_t *size) {
    const std::size_t body = message.ByteSizeLong();
    if (body > static_cast<std::size_t>(INT32_MAX))
        return ZETA_ERANGE;
    const std::size_t total = zeta::envelopeSize(message.GetDescriptor()->name(), body);
    if (total > UINT32_MAX)
        return ZETA_ERANGE;
    *bodySize = body;
    *size = static_cast<uint32_t>(total);
    return ZETA_OK;
}

// Hands a top-level child to a tag of parent (a nested or a record list tag).
// The child is taken over, and released when refused, unless it is not a
// top-level instance of the tool or would contain its own parent: then it
// stays with the caller.
int adoptChild(zeta_tool toolHandle, zeta_instance parentHandle, const char *tag,
               zeta_instance childHandle, TagKind kind) {
    zeta::Tool *tool = toolOf(toolHandle);
    Message *parent = messageOf(parentHandle);
    Message *child = messageOf(childHandle);
    if (tool == nullptr || child == nullptr || !tool->owns(child))
        return ZETA_EINVAL;
    if (parent != nullptr && (parent == child || contains(*child, parent)))
        return ZETA_EINVAL;
    std::unique_ptr<Message> owned = tool->release(child);
    if (!owned)
        return ZETA_EINVAL;
    if (parent == nullptr)
        return ZETA_EINVAL;
    const FieldDescriptor *field = nullptr;
    if (int result = findTag(*parent, tag, kind, &field))
        return result;
    if (field->message_type() != child->GetDescriptor())
        return ZETA_ETYPE;
    const Reflection *reflection = parent->GetReflection();
    if (kind == TagKind::Nested)
        reflection->SetAllocatedMessage(parent, owned.release(), field);
    else
        reflection->AddAllocatedMessage(parent, field, owned.release());
    return ZETA_OK;
}

// Releases a block that this library handed out with new[] and clears the
// caller's pointer so that a second release does nothing.
int releaseBlock(char **block) noexcept {
    if (block == nullptr)
        return ZETA_EINVAL;
    delete[] *block;
    *block = nullptr;
    return ZETA_OK;
}

// Runs a write to a tag of the given kind: the arguments every write shares
// are checked and the tag found before write(message, field) does the rest.
template <class Write>
int writeValue(zeta_tool tool, zeta_instance inst, const char *tag, TagKind kind,
               Write &&write) noexcept {
    return guarded([&] {
        if (tool == nullptr || inst == nullptr)
            return ZETA_EINVAL;
        Message &message = *messageOf(inst);
        const FieldDescriptor *field = nullptr;
        if (int result = findTag(message, tag, kind, &field))
            return result;
        return write(message, field);
    });
}

// Stores text under a text tag (Bytes), or appends it to a text list tag.
int writeText(zeta_tool tool, zeta_instance inst, const char *tag, TagKind kind,
              const char *text) noexcept {
    return writeValue(tool, inst, tag, kind, [&](Message &message,
                                                 const FieldDescriptor *field) {
        if (text == nullptr)
            return ZETA_EINVAL;
        const Reflection *reflection = message.GetReflection();
        if (kind == TagKind::TextList)
            reflection->AddString(&message, field, std::string(text));
        else
            reflection->SetString(&message, field, std::string(text));
        return ZETA_OK;
    });
}

// Checks the arguments common to every tag read and finds the tag. A null
// instance has no value under any tag.
int tagForRead(zeta_tool tool, zeta_instance inst, const char *tag, const void *out,
               TagKind kind, Message **message, const FieldDescriptor **field) {
    if (tool == nullptr || out == nullptr || tag == nullptr)
        return ZETA_EINVAL;
    if (inst == nullptr)
        return ZETA_ENOVALUE;
    *message = messageOf(inst);
    return findTag(**message, tag, kind, field);
}

// Runs a read of a tag of the given kind into out: read(message, field) runs
// only once the tag is found and holds a value.
template <class Read>
int readValue(zeta_tool tool, zeta_instance inst, const char *tag, const void *out,
              TagKind kind, Read &&read) noexcept {
    return guarded([&] {
        Message *message = nullptr;
        const FieldDescriptor *field = nullptr;
        if (int result = tagForRead(tool, inst, tag, out, kind, &message, &field))
            return result;
        if (!hasValue(*message, field))
            return ZETA_ENOVALUE;
        return read(*message, field);
    });
}

// Runs a read of one element of a list tag into out: read(message, field,
// index) runs only once the tag is found and index is inside the list.
template <class Read>
int readElement(zeta_tool tool, zeta_instance inst, const char *tag, uint32_t index,
                const void *out, TagKind kind, Read &&read) noexcept {
    return guarded([&] {
        Message *message = nullptr;
        const FieldDescriptor *field = nullptr;
        if (int result = tagForRead(tool, inst, tag, out, kind, &message, &field))
            return result;
        const uint32_t count =
            static_cast<uint32_t>(message->GetReflection()->FieldSize(*message, field));
        if (index >= count)
            return ZETA_ERANGE;
        return read(*message, field, static_cast<int>(index));
    });
}

// Runs use(value) on the text under a text tag (Bytes) that holds a value.
template <class Use>
int readText(zeta_tool tool, zeta_instance inst, const char *tag, const void *out,
             Use &&use) noexcept {
    return readValue(tool, inst, tag, out, TagKind::Bytes,
                     [&](const Message &message, const FieldDescriptor *field) {
                         std::string scratch;
                         return use(message.GetReflection()->GetStringReference(message, field,
                                                                                &scratch));
                     });
}

// Runs use(value) on one element of a text list tag.
template <class Use>
int readTextElement(zeta_tool tool, zeta_instance inst, const char *tag, uint32_t index,
                    const void *out, Use &&use) noexcept {
    return readElement(tool, inst, tag, index, out, TagKind::TextList,
                       [&](const Message &message, const FieldDescriptor *field, int element) {
                           std::string scratch;
                           return use(message.GetReflection()->GetRepeatedStringReference(
                               message, field, element, &scratch));
                       });
}

} // namespace

extern "C" {

int zetaserialization_createSerializationTool(zeta_tool *tool) {
    return guarded([&] {
        if (tool == nullptr)
            return ZETA_EINVAL;
        *tool = new zeta::Tool;
        return ZETA_OK;
    });
}

int zetaserialization_loadMetadataDefintion(zeta_tool tool, const char *path) {
    return guarded([&] {
        if (tool == nullptr)
            return ZETA_EINVAL;
        toolOf(tool)->install(nullptr);
        if (path == nullptr)
            return ZETA_EINVAL;
        std::unique_ptr<zeta::Schema> schema = zeta::Schema::load(path);
        if (!schema)
            return ZETA_EDEFINITION;
        toolOf(tool)->install(std::move(schema));
        return ZETA_OK;
    });
}

int zetaserialization_destroySerializationTool(zeta_tool *tool) {
    return guarded([&] {
        if (tool == nullptr)
            return ZETA_EINVAL;
        delete toolOf(*tool);
        *tool = nullptr;
        return ZETA_OK;
    });
}

int zetaserialization_createMetadataInstance(zeta_tool tool, const char *type_name,
                                             zeta_instance *inst) {
    return guarded([&] {
        if (tool == nullptr || type_name == nullptr || inst == nullptr)
            return ZETA_EINVAL;
        std::unique_ptr<Message> message = toolOf(tool)->newMessage(type_name);
        if (!message)
            return ZETA_ETYPE;
        Message *handle = message.get();
        toolOf(tool)->adopt(std::move(message));
        *inst = handle;
        return ZETA_OK;
    });
}

int zetaserialization_destroyMetadataInstance(zeta_tool tool, zeta_instance *inst) {
    return guarded([&] {
        if (tool == nullptr || inst == nullptr)
            return ZETA_EINVAL;
        if (*inst == nullptr)
            return ZETA_OK;
        // A child handle belongs to its parent and is refused here.
        if (!toolOf(tool)->release(messageOf(*inst)))
            return ZETA_EINVAL;
        *inst = nullptr;
        return ZETA_OK;
    });
}

int zetaserialization_setStringTagValue(zeta_tool tool, zeta_instance inst, const char *tag,
                                        const char *text) {
    return writeText(tool, inst, tag, TagKind::Bytes, text);
}

int zetaserialization_setInt32TagValue(zeta_tool tool, zeta_instance inst, const char *tag,
                                       int32_t value) {
    return writeValue(tool, inst, tag, TagKind::Int32, [&](Message &message,
                                                           const FieldDescriptor *field) {
        message.GetReflection()->SetInt32(&message, field, value);
        return ZETA_OK;
    });
}

int zetaserialization_setOpaqueTagValue(zeta_tool tool, zeta_instance inst, const char *tag,
                                        uint32_t size, const char *bytes) {
    return writeValue(tool, inst, tag, TagKind::Bytes, [&](Message &message,
                                                           const FieldDescriptor *field) {
        if (bytes == nullptr && size > 0)
            return ZETA_EINVAL;
        message.GetReflection()->SetString(&message, field,
                                           size > 0 ? std::string(bytes, size) : std::string());
        return ZETA_OK;
    });
}

int zetaserialization_assignNestedTagValue(zeta_tool tool, zeta_instance inst, const char *tag,
                                           zeta_instance child) {
    return guarded([&] { return adoptChild(tool, inst, tag, child, TagKind::Nested); });
}

int zetaserialization_addNestedContainerTagValue(zeta_tool tool, zeta_instance inst,
                                                 const char *tag, zeta_instance child) {
    return guarded([&] { return adoptChild(tool, inst, tag, child, TagKind::RecordList); });
}

int zetaserialization_addStringContainerTagValue(zeta_tool tool, zeta_instance inst,
                                                 const char *tag, const char *text) {
    return writeText(tool, inst, tag, TagKind::TextList, text);
}

int zetaserialization_getSerializationNeededBufferSize(zeta_tool tool, zeta_instance inst,
                                                       uint32_t *size) {
    return guarded([&] {
        if (tool == nullptr || size == nullptr)
            return ZETA_EINVAL;
        if (inst == nullptr) {
            *size = 0;
            return ZETA_OK;
        }
        std::size_t bodySize = 0;
        return encodedSize(*messageOf(inst), &bodySize, size);
    });
}

int zetaserialization_serialize(zeta_tool tool, zeta_instance inst, char *buffer,
                                uint32_t size) {
    return guarded([&] {
        if (tool == nullptr)
            return ZETA_EINVAL;
        if (inst == nullptr)
            return ZETA_OK;
        if (buffer == nullptr)
            return ZETA_EINVAL;
        const Message &message = *messageOf(inst);
        std::size_t bodySize = 0;
        uint32_t needed = 0;
        if (int result = encodedSize(message, &bodySize, &needed))
            return result;
        if (size < needed)
            return ZETA_ERANGE;
        // encodedSize has just cached the sizes that this write relies on.
        std::uint8_t *body = zeta::writeEnvelopeHead(message.GetDescriptor()->name(), bodySize,
                                                     reinterpret_cast<std::uint8_t *>(buffer));
        message.SerializeWithCachedSizesToArray(body);
        return ZETA_OK;
    });
}

int zetaserialization_deserialize(zeta_tool tool, const char *buffer, uint32_t size,
                                  zeta_instance *inst) {
    return guarded([&] {
        if (tool == nullptr || inst == nullptr || (buffer == nullptr && size > 0))
            return ZETA_EINVAL;
        zeta::EnvelopeParts parts;
        if (!zeta::readEnvelope(buffer, size, zeta::Schema::maxNameLength, &parts))
            return ZETA_EDECODE;
        std::unique_ptr<Message> message = toolOf(tool)->newMessage(parts.typeName);
        if (!message)
            return ZETA_ETYPE;
        // Protobuf bounds the nesting depth (100) and every length by the
        // bytes that remain, so hostile input fails here instead of crashing.
        if (!message->ParsePartialFromArray(parts.body, static_cast<int>(parts.bodySize)))
            return ZETA_EDECODE;
        // Tags this schema does not know cannot be named: they are dropped.
        message->DiscardUnknownFields();
        Message *handle = message.get();
        toolOf(tool)->adopt(std::move(message));
        *inst = handle;
        return ZETA_OK;
    });
}

int zetaserialization_getHavingValueTagNames(zeta_tool tool, zeta_instance inst, char **names,
                                             uint32_t *count) {
    return guarded([&] {
        if (tool == nullptr || names == nullptr || count == nullptr)
            return ZETA_EINVAL;
        std::vector<const FieldDescriptor *> listed;
        if (inst != nullptr) {
            const Message &message = *messageOf(inst);
            const Descriptor *type = message.GetDescriptor();
            for (int i = 0; i < type->field_count(); ++i)
                if (hasValue(message, type->field(i)))
                    listed.push_back(type->field(i));
        }
        char *block = nullptr;
        if (!listed.empty()) {
            block = new char[listed.size() * ZETA_TAG_NAME_SIZE]();
            // Names were limited to 255 characters when the definition loaded.
            for (std::size_t i = 0; i < listed.size(); ++i)
                copyText(listed[i]->name(), block + i * ZETA_TAG_NAME_SIZE);
        }
        *names = block;
        *count = static_cast<uint32_t>(listed.size());
        return ZETA_OK;
    });
}

int zetaserialization_releaseTagNames(zeta_tool, char **names) { return releaseBlock(names); }

int zetaserialization_getStringTagValueSize(zeta_tool tool, zeta_instance inst, const char *tag,
                                            uint32_t *size) {
    return readText(tool, inst, tag, size,
                    [&](const std::string &value) { return textSize(value, size); });
}

int zetaserialization_getStringTagValue(zeta_tool tool, zeta_instance inst, const char *tag,
                                        char *buffer) {
    return readText(tool, inst, tag, buffer, [&](const std::string &value) {
        copyText(value, buffer);
        return ZETA_OK;
    });
}

int zetaserialization_getInt32TagValue(zeta_tool tool, zeta_instance inst, const char *tag,
                                       int32_t *value) {
    return readValue(tool, inst, tag, value, TagKind::Int32, [&](const Message &message,
                                                                 const FieldDescriptor *field) {
        *value = message.GetReflection()->GetInt32(message, field);
        return ZETA_OK;
    });
}

int zetaserialization_getNestedTagValue(zeta_tool tool, zeta_instance inst, const char *tag,
                                        zeta_instance *child) {
    return readValue(tool, inst, tag, child, TagKind::Nested, [&](Message &message,
                                                                  const FieldDescriptor *field) {
        *child = message.GetReflection()->MutableMessage(&message, field);
        return ZETA_OK;
    });
}

int zetaserialization_getContainerTagSize(zeta_tool tool, zeta_instance inst, const char *tag,
                                          uint32_t *count) {
    return guarded([&] {
        if (tool == nullptr || count == nullptr || tag == nullptr)
            return ZETA_EINVAL;
        if (inst == nullptr)
            return ZETA_ENOVALUE;
        const Message &message = *messageOf(inst);
        const FieldDescriptor *field = message.GetDescriptor()->FindFieldByName(tag);
        if (field == nullptr || !field->is_repeated())
            return ZETA_ETAG;
        *count = static_cast<uint32_t>(message.GetReflection()->FieldSize(message, field));
        return ZETA_OK;
    });
}

int zetaserialization_getNestedContainerTagValue(zeta_tool tool, zeta_instance inst,
                                                 const char *tag, uint32_t index,
                                                 zeta_instance *child) {
    return readElement(tool, inst, tag, index, child, TagKind::RecordList,
                       [&](Message &message, const FieldDescriptor *field, int element) {
                           *child = message.GetReflection()->MutableRepeatedMessage(
                               &message, field, element);
                           return ZETA_OK;
                       });
}

int zetaserialization_getStringContainerTagValueSize(zeta_tool tool, zeta_instance inst,
                                                     const char *tag, uint32_t index,
                                                     uint32_t *size) {
    return readTextElement(tool, inst, tag, index, size,
                           [&](const std::string &value) { return textSize(value, size); });
}

int zetaserialization_getStringContainerTagValue(zeta_tool tool, zeta_instance inst,
                                                 const char *tag, uint32_t index,
                                                 char *buffer) {
    return readTextElement(tool, inst, tag, index, buffer, [&](const std::string &value) {
        copyText(value, buffer);
        return ZETA_OK;
    });
}

int zetaserialization_getOpaqueTagValue(zeta_tool tool, zeta_instance inst, const char *tag,
                                        uint32_t *size, char **bytes) {
    // A null bytes is refused before any other argument is looked at.
    if (bytes == nullptr)
        return ZETA_EINVAL;
    return readText(tool, inst, tag, size, [&](const std::string &value) {
        if (value.size() > UINT32_MAX)
            return ZETA_ERANGE;
        // An empty value hands out no block, so there is nothing to release.
        char *copy = nullptr;
        if (!value.empty()) {
            copy = new char[value.size()];
            std::memcpy(copy, value.data(), value.size());
        }
        *bytes = copy;
        *size = static_cast<uint32_t>(value.size());
        return ZETA_OK;
    });
}

int zetaserialization_releaseOpaqueValue(zeta_tool, char **bytes) { return releaseBlock(bytes); }

} // extern "C"
