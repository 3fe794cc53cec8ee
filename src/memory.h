// The connector's one allocation function.  Every heap allocation of the
// connector goes through orv_alloc/orv_realloc, so that tests can make any
// single allocation fail.
#pragma once
#include <cstddef>

namespace orv {

// Returns a new block of `size` bytes, or nullptr when the heap (or the
// test hook) refuses.  Size 0 is served as a 1-byte block.
void* orv_alloc(std::size_t size);

// Resizes `block` (nullptr allocates); keeps the contents up to the smaller
// size.  On failure returns nullptr and leaves `block` as it was.
void* orv_realloc(void* block, std::size_t size);

// Releases a block from orv_alloc/orv_realloc; nullptr is ignored.
void orv_free(void* block);

// Test hook: the n-th allocation from now (1 = the next one) fails; 0
// disarms the hook.  Counts allocations and reallocations alike.
void orv_fail_allocation(long n);

// Test hook: number of allocations made since the process started.
long orv_allocation_count();

}  // namespace orv
