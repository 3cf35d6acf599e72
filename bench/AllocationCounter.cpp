// Global operator new and delete counting the usable size of every block.
// Relaxed atomics: the counts are read only by the benchmark thread while the
// other threads are idle, so no ordering is needed, only whole updates.
#include "AllocationCounter.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace bench {
namespace {

std::atomic<std::int64_t> live{0};
std::atomic<std::int64_t> peak{0};

void *allocate(std::size_t size) {
    void *block = std::malloc(size != 0 ? size : 1);
    if (block == nullptr)
        throw std::bad_alloc();
    const auto now = live.fetch_add(static_cast<std::int64_t>(malloc_usable_size(block)),
                                    std::memory_order_relaxed) +
                     static_cast<std::int64_t>(malloc_usable_size(block));
    auto highest = peak.load(std::memory_order_relaxed);
    while (now > highest &&
           !peak.compare_exchange_weak(highest, now, std::memory_order_relaxed))
        ;
    return block;
}

void release(void *block) noexcept {
    if (block == nullptr)
        return;
    live.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(block)),
                   std::memory_order_relaxed);
    std::free(block);
}

} // namespace

std::int64_t liveBytes() { return live.load(std::memory_order_relaxed); }
void resetPeak() { peak.store(live.load(std::memory_order_relaxed), std::memory_order_relaxed); }
std::int64_t peakBytes() { return peak.load(std::memory_order_relaxed); }

} // namespace bench

void *operator new(std::size_t size) { return bench::allocate(size); }
void *operator new[](std::size_t size) { return bench::allocate(size); }
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    try {
        return bench::allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void *operator new[](std::size_t size, const std::nothrow_t &tag) noexcept {
    return operator new(size, tag);
}
void operator delete(void *block) noexcept { bench::release(block); }
void operator delete[](void *block) noexcept { bench::release(block); }
void operator delete(void *block, std::size_t) noexcept { bench::release(block); }
void operator delete[](void *block, std::size_t) noexcept { bench::release(block); }
