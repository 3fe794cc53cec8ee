#include "memory.h"

#include <cstdlib>

#include "process_state.h"

namespace orv {

namespace {
// Decides whether this allocation is the one the test hook makes fail.
bool hook_refuses() {
    AllocationHookState& hook = AllocationHook;
    ++hook.allocations;
    if (hook.fail_countdown <= 0) return false;
    return --hook.fail_countdown == 0;
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

void orv_fail_allocation(long n) { AllocationHook.fail_countdown = n; }

long orv_allocation_count() { return AllocationHook.allocations; }

}  // namespace orv
