// The limits a new runtime takes; a process-wide value so that tests can lower it.
#include "Limits.h"

#include <mutex>

namespace velorn {
namespace {

std::mutex g_limitsMutex;
Limits g_nextLimits; /* guarded by g_limitsMutex */

} // namespace

Limits nextLimits() {
    std::lock_guard<std::mutex> lock(g_limitsMutex);
    return g_nextLimits;
}

void setNextLimits(const Limits &limits) {
    std::lock_guard<std::mutex> lock(g_limitsMutex);
    g_nextLimits = limits;
}

} // namespace velorn
