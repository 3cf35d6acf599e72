// The codec's tool lifecycle and the step shared by request and response
// encoding: an instance into a byte array.
#include "RecordCodec.h"

namespace DataServiceNamespace {

namespace {
const char *const defaultDefinitionPath = "ConfigSerializationDef.txt";
} // namespace

RecordCodec::~RecordCodec() { destroyTool(); }

// Runs on the thread that constructs the service object, before any other
// thread can reach the codec. Library results are not examined: a tool that
// could not load its file knows no types, and encoding with it yields null
// instances.
int RecordCodec::createTool(const cfstring &definitionPath) {
    // A second call must not lose the first tool.
    destroyTool();
    zetaserialization_createSerializationTool(&tool);
    zetaserialization_loadMetadataDefintion(
        tool, definitionPath.empty() ? defaultDefinitionPath : definitionPath.c_str());
    return 1;
}

// Runs on the thread that destroys the service object, after the IPC library
// has stopped calling into it: no other thread may use the tool any more.
int RecordCodec::destroyTool() {
    if (tool != nullptr) {
        zetaserialization_destroySerializationTool(&tool);
        tool = nullptr;
    }
    return 1;
}

// Any thread; the instance is used by this thread only. An instance that
// encodes to nothing (null) gives an empty buffer.
ByteBuffer encodeInstance(zeta_tool tool, zeta_instance instance) {
    // The instance goes also when the array cannot be allocated.
    const OwnedInstance owned(tool, instance);
    uint32 needed = 0;
    zetaserialization_getSerializationNeededBufferSize(tool, owned.get(), &needed);
    ByteBuffer encoded(needed);
    if (!encoded.empty())
        zetaserialization_serialize(tool, owned.get(), encoded.data(), needed);
    return encoded;
}

} // namespace DataServiceNamespace
