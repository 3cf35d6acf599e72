// The C operations of the serialization library: a tool handle is the address
// of a zeta::Tool, an instance handle the address of a zeta::Instance.
#include "zetaserialization.h"

#include <cstring>
#include <memory>
#include <string>

#include "Envelope.h"
#include "Instance.h"
#include "Schema.h"
#include "Tool.h"

using zeta::Instance;
using zeta::TagKind;
using zeta::Value;

namespace {

zeta::Tool *toolOf(zeta_tool handle) { return static_cast<zeta::Tool *>(handle); }
Instance *instanceOf(zeta_instance handle) { return static_cast<Instance *>(handle); }

// Runs one operation so that nothing thrown inside crosses the C boundary.
// Only allocation can fail inside, so whatever is caught is reported as lack
// of memory.
template <class Operation> int guarded(Operation &&operation) noexcept {
    try {
        return operation();
    } catch (...) {
        return ZETA_ENOMEM;
    }
}

// Finds a tag of the given shape in the type of instance.
int findTag(const Instance &instance, const char *tag, TagKind kind, std::size_t *index) {
    if (tag == nullptr)
        return ZETA_EINVAL;
    const int found = instance.type->find(tag);
    if (found < 0 || instance.type->tags[static_cast<std::size_t>(found)].kind != kind)
        return ZETA_ETAG;
    *index = static_cast<std::size_t>(found);
    return ZETA_OK;
}

// The size of a text value with its terminating NUL.
int textSize(std::uint32_t length, uint32_t *size) {
    if (length >= UINT32_MAX)
        return ZETA_ERANGE;
    *size = length + 1;
    return ZETA_OK;
}

void copyText(const char *bytes, std::size_t length, char *buffer) {
    std::memcpy(buffer, bytes, length);
    buffer[length] = '\0';
}

// The size of the encoded form of instance, or ZETA_ERANGE when its body
// reaches 2 GiB or the envelope overflows 32 bits. The sizes found stay
// cached in the tree for serialize.
int encodedSize(Instance &instance, uint32_t *size) {
    const std::uint32_t body = zeta::messageSize(&instance);
    if (body >= zeta::tooLarge)
        return ZETA_ERANGE;
    const std::size_t total = zeta::envelopeSize(instance.type->name, body);
    if (total > UINT32_MAX)
        return ZETA_ERANGE;
    *size = static_cast<uint32_t>(total);
    return ZETA_OK;
}

// Whether target is child or somewhere below it: then child is one of
// target's ancestors.
bool contains(const Instance *child, const Instance *target) {
    for (const Instance *each = target; each != nullptr; each = each->parent)
        if (each == child)
            return true;
    return false;
}

// Hands a top-level child to a tag of parent (a nested or a record list tag).
// The child is taken over, and released when refused, unless it is not a
// top-level instance of the tool or would contain its own parent: then it
// stays with the caller.
int adoptChild(zeta_tool toolHandle, zeta_instance parentHandle, const char *tag,
               zeta_instance childHandle, TagKind kind) {
    zeta::Tool *tool = toolOf(toolHandle);
    Instance *parent = instanceOf(parentHandle);
    Instance *child = instanceOf(childHandle);
    if (tool == nullptr || child == nullptr || !tool->owns(child))
        return ZETA_EINVAL;
    if (parent != nullptr && contains(child, parent))
        return ZETA_EINVAL;
    tool->release(child);
    std::unique_ptr<Instance, void (*)(Instance *)> owned(child, Instance::destroy);
    if (parent == nullptr)
        return ZETA_EINVAL;
    std::size_t index = 0;
    if (int result = findTag(*parent, tag, kind, &index))
        return result;
    if (parent->type->tags[index].type != child->type)
        return ZETA_ETYPE;
    Value &value = parent->values()[index];
    if (kind == TagKind::Nested) {
        if (value.present)
            Instance::destroy(value.child);
        value.child = owned.release();
        value.present = true;
    } else {
        if (value.list == nullptr)
            value.list = new zeta::List;
        value.list->children.push_back(child);
        owned.release();
    }
    child->parent = parent;
    parent->changed();
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

// Tag listings come from a block kept per thread, so that decoding a tree
// lists the tags of every instance without an allocation each time. A block
// carries its capacity in front of the entries.
struct ListingBlock {
    std::size_t capacity; // bytes of entries
    char *entries() { return reinterpret_cast<char *>(this + 1); }
    static ListingBlock *of(char *entries) { return reinterpret_cast<ListingBlock *>(entries) - 1; }
};

// The block that the last release on this thread returned, owned by the thread.
struct SpareListing {
    ListingBlock *block = nullptr;
    ~SpareListing() { ::operator delete(block); }
};
thread_local SpareListing spareListing;

char *takeListing(std::size_t bytes) {
    ListingBlock *block = spareListing.block;
    if (block != nullptr && block->capacity >= bytes) {
        spareListing.block = nullptr;
        return block->entries();
    }
    block = static_cast<ListingBlock *>(::operator new(sizeof(ListingBlock) + bytes));
    block->capacity = bytes;
    return block->entries();
}

void returnListing(char *entries) noexcept {
    ListingBlock *block = ListingBlock::of(entries);
    if (spareListing.block == nullptr || spareListing.block->capacity < block->capacity)
        std::swap(block, spareListing.block);
    ::operator delete(block);
}

// Runs a write to a tag of the given kind: the arguments every write shares
// are checked and the tag found before write(instance, index) does the rest.
template <class Write>
int writeValue(zeta_tool tool, zeta_instance inst, const char *tag, TagKind kind,
               Write &&write) noexcept {
    return guarded([&] {
        if (tool == nullptr || inst == nullptr)
            return ZETA_EINVAL;
        Instance &instance = *instanceOf(inst);
        std::size_t index = 0;
        if (int result = findTag(instance, tag, kind, &index))
            return result;
        const int result = write(instance, instance.values()[index]);
        instance.changed();
        return result;
    });
}

// Stores bytes under a Bytes tag.
int writeBytes(zeta_tool tool, zeta_instance inst, const char *tag, const char *bytes,
               std::size_t size) noexcept {
    return writeValue(tool, inst, tag, TagKind::Bytes, [&](Instance &instance, Value &value) {
        if (size > UINT32_MAX)
            return ZETA_ERANGE;
        value.bytes = instance.keep(bytes, size);
        value.size = static_cast<std::uint32_t>(size);
        value.present = true;
        return ZETA_OK;
    });
}

// Checks the arguments common to every tag read and finds the tag. A null
// instance has no value under any tag.
int tagForRead(zeta_tool tool, zeta_instance inst, const char *tag, const void *out,
               TagKind kind, Instance **instance, std::size_t *index) {
    if (tool == nullptr || out == nullptr || tag == nullptr)
        return ZETA_EINVAL;
    if (inst == nullptr)
        return ZETA_ENOVALUE;
    *instance = instanceOf(inst);
    return findTag(**instance, tag, kind, index);
}

// Runs a read of a tag of the given kind into out: read(value) runs only once
// the tag is found and holds a value.
template <class Read>
int readValue(zeta_tool tool, zeta_instance inst, const char *tag, const void *out,
              TagKind kind, Read &&read) noexcept {
    return guarded([&] {
        Instance *instance = nullptr;
        std::size_t index = 0;
        if (int result = tagForRead(tool, inst, tag, out, kind, &instance, &index))
            return result;
        if (!instance->has(index))
            return ZETA_ENOVALUE;
        return read(instance->values()[index]);
    });
}

// Runs a read of one element of a list tag into out: read(list, index) runs
// only once the tag is found and index is inside the list.
template <class Read>
int readElement(zeta_tool tool, zeta_instance inst, const char *tag, uint32_t index,
                const void *out, TagKind kind, Read &&read) noexcept {
    return guarded([&] {
        Instance *instance = nullptr;
        std::size_t tagIndex = 0;
        if (int result = tagForRead(tool, inst, tag, out, kind, &instance, &tagIndex))
            return result;
        const zeta::List *list = instance->values()[tagIndex].list;
        const std::size_t count =
            list == nullptr ? 0
                            : (kind == TagKind::TextList ? list->texts.size()
                                                         : list->children.size());
        if (index >= count)
            return ZETA_ERANGE;
        return read(*list, index);
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
        const zeta::TypeTable *type = toolOf(tool)->type(type_name);
        if (type == nullptr)
            return ZETA_ETYPE;
        Instance *instance = Instance::create(type, toolOf(tool));
        toolOf(tool)->adopt(instance);
        *inst = instance;
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
        Instance *instance = instanceOf(*inst);
        if (!toolOf(tool)->owns(instance))
            return ZETA_EINVAL;
        toolOf(tool)->release(instance);
        Instance::destroy(instance);
        *inst = nullptr;
        return ZETA_OK;
    });
}

int zetaserialization_setStringTagValue(zeta_tool tool, zeta_instance inst, const char *tag,
                                        const char *text) {
    if (text == nullptr) // after the checks every write makes
        return writeValue(tool, inst, tag, TagKind::Bytes,
                          [](Instance &, Value &) { return ZETA_EINVAL; });
    return writeBytes(tool, inst, tag, text, std::strlen(text));
}

int zetaserialization_setInt32TagValue(zeta_tool tool, zeta_instance inst, const char *tag,
                                       int32_t number) {
    return writeValue(tool, inst, tag, TagKind::Int32, [&](Instance &, Value &value) {
        value.number = number;
        value.present = true;
        return ZETA_OK;
    });
}

int zetaserialization_setOpaqueTagValue(zeta_tool tool, zeta_instance inst, const char *tag,
                                        uint32_t size, const char *bytes) {
    if (bytes == nullptr && size > 0)
        return writeValue(tool, inst, tag, TagKind::Bytes,
                          [](Instance &, Value &) { return ZETA_EINVAL; });
    return writeBytes(tool, inst, tag, bytes, size);
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
    return writeValue(tool, inst, tag, TagKind::TextList, [&](Instance &instance, Value &value) {
        if (text == nullptr)
            return ZETA_EINVAL;
        const std::size_t size = std::strlen(text);
        if (size > UINT32_MAX)
            return ZETA_ERANGE;
        if (value.list == nullptr)
            value.list = new zeta::List;
        value.list->texts.push_back(
            zeta::TextRef{instance.keep(text, size), static_cast<std::uint32_t>(size)});
        return ZETA_OK;
    });
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
        return encodedSize(*instanceOf(inst), size);
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
        Instance &instance = *instanceOf(inst);
        uint32_t needed = 0;
        // Cached by the size query before, unless a value changed since.
        if (int result = encodedSize(instance, &needed))
            return result;
        if (size < needed)
            return ZETA_ERANGE;
        std::uint8_t *body = zeta::writeEnvelopeHead(instance.type->name, instance.encodedSize,
                                                     reinterpret_cast<std::uint8_t *>(buffer));
        zeta::writeMessage(&instance, body);
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
        const zeta::TypeTable *type = toolOf(tool)->type(parts.typeName);
        if (type == nullptr)
            return ZETA_ETYPE;
        Instance *instance = zeta::parseMessage(type, toolOf(tool), parts.body, parts.bodySize);
        if (instance == nullptr)
            return ZETA_EDECODE;
        toolOf(tool)->adopt(instance);
        *inst = instance;
        return ZETA_OK;
    });
}

int zetaserialization_getHavingValueTagNames(zeta_tool tool, zeta_instance inst, char **names,
                                             uint32_t *count) {
    return guarded([&] {
        if (tool == nullptr || names == nullptr || count == nullptr)
            return ZETA_EINVAL;
        uint32_t listed = 0;
        char *block = nullptr;
        if (inst != nullptr) {
            const Instance &instance = *instanceOf(inst);
            const std::size_t tags = instance.type->tags.size();
            // Entries are written into the largest block any instance could
            // need; names were limited to 255 characters when the definition
            // loaded, and an entry holds its name and a NUL, nothing more.
            if (tags > 0) {
                block = takeListing(tags * std::size_t{ZETA_TAG_NAME_SIZE});
                for (std::size_t i = 0; i < tags; ++i)
                    if (instance.has(i)) {
                        const std::string &name = instance.type->tags[i].name;
                        copyText(name.data(), name.size(), block + listed * ZETA_TAG_NAME_SIZE);
                        ++listed;
                    }
                if (listed == 0) {
                    returnListing(block);
                    block = nullptr;
                }
            }
        }
        *names = block;
        *count = listed;
        return ZETA_OK;
    });
}

int zetaserialization_releaseTagNames(zeta_tool, char **names) {
    if (names == nullptr)
        return ZETA_EINVAL;
    if (*names != nullptr)
        returnListing(*names);
    *names = nullptr;
    return ZETA_OK;
}

int zetaserialization_getStringTagValueSize(zeta_tool tool, zeta_instance inst, const char *tag,
                                            uint32_t *size) {
    return readValue(tool, inst, tag, size, TagKind::Bytes,
                     [&](const Value &value) { return textSize(value.size, size); });
}

int zetaserialization_getStringTagValue(zeta_tool tool, zeta_instance inst, const char *tag,
                                        char *buffer) {
    return readValue(tool, inst, tag, buffer, TagKind::Bytes, [&](const Value &value) {
        copyText(value.bytes, value.size, buffer);
        return ZETA_OK;
    });
}

int zetaserialization_getInt32TagValue(zeta_tool tool, zeta_instance inst, const char *tag,
                                       int32_t *number) {
    return readValue(tool, inst, tag, number, TagKind::Int32, [&](const Value &value) {
        *number = value.number;
        return ZETA_OK;
    });
}

int zetaserialization_getNestedTagValue(zeta_tool tool, zeta_instance inst, const char *tag,
                                        zeta_instance *child) {
    return readValue(tool, inst, tag, child, TagKind::Nested, [&](const Value &value) {
        *child = value.child;
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
        const Instance &instance = *instanceOf(inst);
        const int index = instance.type->find(tag);
        if (index < 0)
            return ZETA_ETAG;
        const TagKind kind = instance.type->tags[static_cast<std::size_t>(index)].kind;
        if (kind != TagKind::RecordList && kind != TagKind::TextList)
            return ZETA_ETAG;
        const zeta::List *list = instance.values()[index].list;
        *count = list == nullptr ? 0
                                 : static_cast<uint32_t>(kind == TagKind::TextList
                                                             ? list->texts.size()
                                                             : list->children.size());
        return ZETA_OK;
    });
}

int zetaserialization_getNestedContainerTagValue(zeta_tool tool, zeta_instance inst,
                                                 const char *tag, uint32_t index,
                                                 zeta_instance *child) {
    return readElement(tool, inst, tag, index, child, TagKind::RecordList,
                       [&](const zeta::List &list, uint32_t element) {
                           *child = list.children[element];
                           return ZETA_OK;
                       });
}

int zetaserialization_getStringContainerTagValueSize(zeta_tool tool, zeta_instance inst,
                                                     const char *tag, uint32_t index,
                                                     uint32_t *size) {
    return readElement(tool, inst, tag, index, size, TagKind::TextList,
                       [&](const zeta::List &list, uint32_t element) {
                           return textSize(list.texts[element].size, size);
                       });
}

int zetaserialization_getStringContainerTagValue(zeta_tool tool, zeta_instance inst,
                                                 const char *tag, uint32_t index,
                                                 char *buffer) {
    return readElement(tool, inst, tag, index, buffer, TagKind::TextList,
                       [&](const zeta::List &list, uint32_t element) {
                           const zeta::TextRef &text = list.texts[element];
                           copyText(text.data, text.size, buffer);
                           return ZETA_OK;
                       });
}

int zetaserialization_getOpaqueTagValue(zeta_tool tool, zeta_instance inst, const char *tag,
                                        uint32_t *size, char **bytes) {
    // A null bytes is refused before any other argument is looked at.
    if (bytes == nullptr)
        return ZETA_EINVAL;
    return readValue(tool, inst, tag, size, TagKind::Bytes, [&](const Value &value) {
        // An empty value hands out no block, so there is nothing to release.
        char *copy = nullptr;
        if (value.size > 0) {
            copy = new char[value.size];
            std::memcpy(copy, value.bytes, value.size);
        }
        *bytes = copy;
        *size = value.size;
        return ZETA_OK;
    });
}

int zetaserialization_releaseOpaqueValue(zeta_tool, char **bytes) { return releaseBlock(bytes); }

} // extern "C"
