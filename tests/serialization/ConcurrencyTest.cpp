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

// Builds, encodes, decodes and reads back one instance tree; returns the
// number of values that did not come back as set.
int roundTrip(zeta_tool tool, int thread, int round) {
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
    uint32_t size = 0;
    zetaserialization_getSerializationNeededBufferSize(tool, sample, &size);
    std::vector<char> bytes(size);
    zetaserialization_serialize(tool, sample, bytes.data(), size);
    zetaserialization_destroyMetadataInstance(tool, &sample);

    zeta_instance copy = nullptr;
    zetaserialization_deserialize(tool, bytes.data(), size, &copy);
    int wrong = 0;
    uint32_t textSize = 0;
    zetaserialization_getStringTagValueSize(tool, copy, "text", &textSize);
    std::vector<char> text(textSize + 1, '\0');
    zetaserialization_getStringTagValue(tool, copy, "text", text.data());
    wrong += std::string(text.data()) != label;
    int32_t number = -1;
    zetaserialization_getInt32TagValue(tool, copy, "number", &number);
    wrong += number != thread * 1000 + round;
    uint32_t count = 0;
    zetaserialization_getContainerTagSize(tool, copy, "items", &count);
    wrong += count != 3;
    char *names = nullptr;
    uint32_t tagCount = 0;
    zetaserialization_getHavingValueTagNames(tool, copy, &names, &tagCount);
    wrong += tagCount != 3;
    zetaserialization_releaseTagNames(tool, &names);
    zetaserialization_destroyMetadataInstance(tool, &copy);
    return wrong;
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
                wrong += roundTrip(tool, t, round);
        });
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(zetaserialization_destroySerializationTool(&tool), ZETA_OK);
}

} // namespace
} // namespace zetatest
