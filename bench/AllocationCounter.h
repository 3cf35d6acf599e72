// The most memory held at once through operator new while a piece of code
// runs, for the memory figures of the codec benchmarks. Replacing the global
// operators in ds_bench counts the shared libraries' allocations too (the
// serialization library and protobuf allocate through them). Counting is on
// only inside peakExtraBytes, so that the other benchmarks pay one test of a
// flag per allocation.
#pragma once

#include <cstdint>

namespace bench {

void startCounting();
// The peak of the bytes allocated minus those released since startCounting.
std::int64_t stopCounting();

// The most bytes held at once while run() ran, beyond those held before it
// (blocks from before that run() releases count against its peak, so it must
// release none of note). Benchmark thread only, with no other thread
// allocating meanwhile.
template <class Run> std::int64_t peakExtraBytes(Run &&run) {
    startCounting();
    run();
    return stopCounting();
}

} // namespace bench
