#include "memory.h"

#include <cstdlib>

namespace orv {

namespace {
long fail_countdown = 0;  // > 0: allocations left until the one that fails
long allocations = 0;

// Decides whether this allocation is the one the test hook makes fail.
bool hook_refuses() {
    ++allocations;
    if (fail_countdown <= 0) return false;
    return --fail_countdown == 0;
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

void orv_fail_allocation(long n) { fail_countdown = n; }

long orv_allocation_count() { return allocations; }

}  // namespace orv
