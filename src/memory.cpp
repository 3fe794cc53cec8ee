#include "memory.h"

#include <cstdlib>

#include "process_state.h"

namespace orv {

namespace {
// Decides whether this allocation is the one the test hook makes fail.
// Threads may allocate at once: the countdown is taken down by exactly one
// of them to 0.
bool hook_refuses() {
    AllocationHookState& hook = AllocationHook;
    hook.allocations.fetch_add(1, std::memory_order_relaxed);
    long left = hook.fail_countdown.load(std::memory_order_relaxed);
    while (left > 0) {
        if (hook.fail_countdown.compare_exchange_weak(
                left, left - 1, std::memory_order_relaxed))
            return left == 1;
    }
    return false;
}
}  // namespace

void* orv_alloc(std::size_t size) {
    if (hook_refuses()) return nullptr;
    return std::malloc(size == 0 ? 1 : size);
}

void* orv_realloc(void* block, std::size_t size) {
    if (hook_refuses()) return nullptr;
    return std::realloc(block, size == 0 ? 1 : size);
}

void orv_free(void* block) { std::free(block); }

void orv_fail_allocation(long n) {
    AllocationHook.fail_countdown.store(n, std::memory_order_relaxed);
}

long orv_allocation_count() {
    return AllocationHook.allocations.load(std::memory_order_relaxed);
}

}  // namespace orv
