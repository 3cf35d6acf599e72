// One tool used by several threads at once, each on instances of its own, as
// the sending thread and the IPC threads of one service do. The thread
// sanitizer build checks the shared state; this test checks the results.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "SchemaFile.h"

namespace zetatest {
namespace {

std::vector<char> encoded(zeta_tool tool, zeta_instance instance) {
    uint32_t size = 0;
    zetaserialization_getSerializationNeededBufferSize(tool, instance, &size);
    std::vector<char> bytes(size);
    zetaserialization_serialize(tool, instance, bytes.data(), size);
    return bytes;
}

// Builds, encodes, decodes and encodes again one instance tree; false when
// the copy differs from the original.
bool roundTrip(zeta_tool tool, int thread, int round) {
    const std::string label = std::to_string(thread) + "/" + std::to_string(round);
    zeta_instance sample = nullptr;
    zetaserialization_createMetadataInstance(tool, "Sample", &sample);
    zetaserialization_setStringTagValue(tool, sample, "text", label.c_str());
    zetaserialization_setInt32TagValue(tool, sample, "number", thread * 1000 + round);
    for (int i = 0; i < 3; ++i) {
        zeta_instance item = nullptr;
        zetaserialization_createMetadataInstance(tool, "Item", &item);
        zetaserialization_setInt32TagValue(tool, item, "count", i);
        zetaserialization_addNestedContainerTagValue(tool, sample, "items", item);
    }
    const std::vector<char> bytes = encoded(tool, sample);
    zetaserialization_destroyMetadataInstance(tool, &sample);
    zeta_instance copy = nullptr;
    zetaserialization_deserialize(tool, bytes.data(), static_cast<uint32_t>(bytes.size()), &copy);
    char *names = nullptr;
    uint32_t count = 0;
    zetaserialization_getHavingValueTagNames(tool, copy, &names, &count);
    zetaserialization_releaseTagNames(tool, &names);
    const bool same = count == 3 && encoded(tool, copy) == bytes;
    zetaserialization_destroyMetadataInstance(tool, &copy);
    return same;
}

TEST(SharedTool, ServesSeveralThreadsAtOnce) {
    SchemaFile schema(sampleSchema());
    zeta_tool tool = nullptr;
    ASSERT_EQ(zetaserialization_createSerializationTool(&tool), ZETA_OK);
    ASSERT_EQ(zetaserialization_loadMetadataDefintion(tool, schema.path().c_str()), ZETA_OK);

    constexpr int threadCount = 6;
    constexpr int rounds = 150;
    std::atomic<int> wrong{0};
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t)
        threads.emplace_back([&, t] {
            // Start together, so that the threads overlap.
            ++ready;
            while (ready.load() < threadCount)
                std::this_thread::yield();
            for (int round = 0; round < rounds; ++round)
                wrong += !roundTrip(tool, t, round);
        });
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(zetaserialization_destroySerializationTool(&tool), ZETA_OK);
}

} // namespace
} // namespace zetatest
