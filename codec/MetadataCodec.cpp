// RecordCodec::toMetadata and RecordCodec::fromMetadata for every record of
// the table, each one line that instantiates the shared encoder or decoder.
//
// Threads: both run on their caller's thread (the sender's, or an IPC library
// thread for replies and served requests), take no lock, and share only the
// tool, which the library lets several threads use at once. toMetadata hands
// its caller a new top-level instance; fromMetadata never destroys the
// instance it reads nor any child it obtains from it.
#include "MetadataCodec.h"

namespace DataServiceNamespace {

#define DS_RECORD(Name)                                                                    \
    zeta_instance RecordCodec::toMetadata(const Name &record, zeta_tool tool) {            \
        return metadata::encode(*this, record, tool);                                      \
    }                                                                                      \
    void RecordCodec::fromMetadata(Name &record, zeta_instance instance, zeta_tool tool,   \
                                   TagProblemList &problems) {                             \
        metadata::decode(*this, record, instance, tool, problems);                         \
    }
#include "RecordMacros.h"
#include "records.def"
#include "RecordMacrosUndef.h"

} // namespace DataServiceNamespace
