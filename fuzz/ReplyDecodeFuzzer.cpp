// Feeds any bytes to the client's reply decoding: the serialization library's
// deserialize, then fromMetadata of every one of the 22 response types, and
// the client's dispatch of the reply to the action whose type it fits best.
//
// Beyond crashes and sanitizer reports, these properties are checked:
//   - a decoded record survives re-encoding: decoding its own bytes gives the
//     same record again;
//   - the dispatch leaves in the caller's record what fromMetadata decoded,
//     and raises processingOK;
//   - problems are only of the two known kinds, and destroying an instance
//     nulls its handle.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "ActionTable.h"
#include "Callbacks.h"
#include "RecordDifference.h"
#include "ServiceCodec.h"

namespace {

using namespace DataServiceNamespace;

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "fuzz_reply_decode: %s\n", what.c_str());
    std::abort();
}

// The codec and a folder for the image file that a "devices_id_image" reply
// may write; made once, used by libFuzzer's one thread.
struct Harness {
    Harness() {
        codec.createTool(DS_DEFINITION_FILE);
        if (codec.tool == nullptr)
            fail("no serialization tool");
        imageFolder = std::filesystem::temp_directory_path() / "ds_fuzz_reply_decode";
        std::filesystem::create_directories(imageFolder);
    }
    ServiceCodec codec;
    std::filesystem::path imageFolder;
};

Harness &harness() {
    static Harness instance;
    return instance;
}

template <class Record> void decodeInstance(Record &record, zeta_instance instance,
                                            TagProblemList &problems) {
    ServiceCodec &codec = harness().codec;
    codec.fromMetadata(record, instance, codec.tool, problems);
}

template <class Record> void decodeEncoded(Record &record, const std::string &bytes) {
    TagProblemList problems;
    decodeBytes(harness().codec, record, bytes.data(), static_cast<uint32>(bytes.size()),
                problems);
}

std::size_t unexpectedCount(const TagProblemList &problems) {
    std::size_t count = 0;
    for (const TagProblem &problem : problems) {
        if (problem.kind != unexpectedTag && problem.kind != missingTag)
            fail("problem of unknown kind " + std::to_string(problem.kind));
        if (problem.kind == unexpectedTag)
            ++count;
    }
    return count;
}

// The action whose response type left the fewest unexpected tags: the type
// the bytes were most likely encoded from.
struct BestFit {
    std::size_t unexpected = SIZE_MAX;
    const ActionRow *row = nullptr;
};

template <class Callback>
void decodeAs(zeta_instance instance, BestFit &best) {
    using Response = typename Action<Callback>::Response;
    Response decoded;
    TagProblemList problems;
    decodeInstance(decoded, instance, problems);

    Response again;
    decodeEncoded(again, encodedBytes(harness().codec, decoded));
    const std::string difference = recordDifference(decoded, again);
    if (!difference.empty())
        fail(std::string(Action<Callback>::name) + ": re-encoding changes " + difference);

    const std::size_t unexpected = unexpectedCount(problems);
    if (unexpected < best.unexpected) {
        best.unexpected = unexpected;
        best.row = actionWithMethodId(Action<Callback>::methodId);
    }
    releaseOpaque(decoded);
    releaseOpaque(again);
}

// Dispatches the reply as the client does and compares the caller's record
// with a direct decode.
template <class Callback> void dispatchAs(const uint8_t *data, size_t size) {
    using Response = typename Action<Callback>::Response;
    ServiceCodec &codec = harness().codec;
    Response response;
    if constexpr (std::is_same_v<Response, DeviceIdImageResData>) {
        response.image_file_path = (harness().imageFolder / "image").string();
        response.device_id = "fuzz";
    }
    Callback callback;
    const int result = codec.dispatchResponse(Action<Callback>::methodId, &callback,
                                              reinterpret_cast<const char *>(data),
                                              static_cast<uint32>(size), 0, &response);
    if (result != 1 || completionFlag(response.error) != 1)
        fail(std::string(Action<Callback>::name) + ": the dispatch did not complete the record");

    Response direct;
    decodeEncoded(direct, std::string(reinterpret_cast<const char *>(data), size));
    const std::string difference = recordDifference(response, direct);
    if (!difference.empty())
        fail(std::string(Action<Callback>::name) + ": dispatch and decode differ in " +
             difference);
    releaseOpaque(response);
    releaseOpaque(direct);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The client never deserializes an empty reply.
    if (size == 0 || size > UINT32_MAX / 2)
        return -1;
    ServiceCodec &codec = harness().codec;
    zeta_instance instance = nullptr;
    zetaserialization_deserialize(codec.tool, reinterpret_cast<const char *>(data),
                                  static_cast<uint32>(size), &instance);
    BestFit best;
    forEachAction([&](auto *callback) {
        decodeAs<std::remove_pointer_t<decltype(callback)>>(instance, best);
    });
    zetaserialization_destroyMetadataInstance(codec.tool, &instance);
    if (instance != nullptr)
        fail("destroyMetadataInstance left the handle set");

    forEachAction([&](auto *callback) {
        using Callback = std::remove_pointer_t<decltype(callback)>;
        if (best.row != nullptr && best.row->methodId == Action<Callback>::methodId)
            dispatchAs<Callback>(data, size);
    });
    return 0;
}
