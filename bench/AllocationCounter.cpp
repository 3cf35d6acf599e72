// Global operator new and delete counting the usable size of every block
// while counting is on. Relaxed atomics: the counts are read by the benchmark
// thread after the counted code has run on it, so no ordering is needed, only
// whole updates.
#include "AllocationCounter.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace bench {
namespace {

std::atomic<bool> counting{false};
std::atomic<std::int64_t> live{0};
std::atomic<std::int64_t> peak{0};

void *allocate(std::size_t size) {
    void *block = std::malloc(size != 0 ? size : 1);
    if (block == nullptr)
        throw std::bad_alloc();
    if (counting.load(std::memory_order_relaxed)) {
        const auto bytes = static_cast<std::int64_t>(malloc_usable_size(block));
        const auto now = live.fetch_add(bytes, std::memory_order_relaxed) + bytes;
        auto highest = peak.load(std::memory_order_relaxed);
        while (now > highest &&
               !peak.compare_exchange_weak(highest, now, std::memory_order_relaxed))
            ;
    }
    return block;
}

void release(void *block) noexcept {
    if (block == nullptr)
        return;
    if (counting.load(std::memory_order_relaxed))
        live.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(block)),
                       std::memory_order_relaxed);
    std::free(block);
}

} // namespace

void startCounting() {
    live.store(0, std::memory_order_relaxed);
    peak.store(0, std::memory_order_relaxed);
    counting.store(true, std::memory_order_relaxed);
}

std::int64_t stopCounting() {
    counting.store(false, std::memory_order_relaxed);
    return peak.load(std::memory_order_relaxed);
}

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
