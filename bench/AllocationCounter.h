// Bytes held through operator new by the whole process, and their peak, for
// the memory figures of the codec benchmarks. Replacing the global operators
// in ds_bench counts the shared libraries' allocations too (the serialization
// library and protobuf allocate through them).
#pragma once

#include <cstdint>

namespace bench {

// The bytes allocated by operator new and not yet released.
std::int64_t liveBytes();

// The most bytes held at once while run() ran, beyond those held before it.
// Benchmark thread only, with no other thread allocating meanwhile.
template <class Run> std::int64_t peakExtraBytes(Run &&run);

void resetPeak();
std::int64_t peakBytes();

template <class Run> std::int64_t peakExtraBytes(Run &&run) {
    resetPeak();
    const std::int64_t before = liveBytes();
    run();
    return peakBytes() - before;
}

} // namespace bench
