// Kernel pool. In controlled mode allocations come from an arena at a fixed
// low address, bump-allocated and never reused within a run, so that the
// addresses the driver prints are the same on every run of a seed and a
// use after free stays detectable (the freed range is poisoned under ASan).
// In free mode they come from the C heap.
#pragma once

#include <cstddef>

namespace host {

void* pool_alloc(size_t bytes);   // uninitialised; nullptr when exhausted
void pool_free(void* p);
void pool_reset();                // at scheduler start: a fresh arena

}  // namespace host
