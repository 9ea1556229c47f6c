// Kernel pool. In controlled mode allocations come from an arena at a fixed
// low address, bump-allocated and never reused within a run, so that the
// addresses the driver prints are the same on every run of a seed and a
// use after free stays detectable (the freed range is poisoned under ASan).
// In free mode they come from the C heap. Freed memory is filled with
// kPoolFreedByte in every build, so that a stale read sees garbage rather
// than the old contents.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace host {

constexpr uint8_t kPoolFreedByte = 0xDF;

void* pool_alloc(size_t bytes);   // uninitialised; nullptr when exhausted
void pool_free(void* p);
void pool_reset();                // at scheduler start: a fresh arena
// Controlled mode: blocks allocated since the arena was last reset and not
// freed; after a driver's devices are gone and it is unloaded, its leaks.
size_t pool_blocks_in_use();

// Blocks that ExAllocatePool* handed out and ExFreePool* has not taken back,
// for the leak check at driver unload.
long pool_driver_blocks();

// Whether p lies in the controlled-mode arena, the kernel's pool space.
bool pool_arena_contains(const void* p);

// Whether [p, p + bytes) touches an arena block that has been freed (free
// mode cannot tell and answers false).
bool pool_range_freed(const void* p, size_t bytes);

// A range that someone outside the driver still uses (a transfer posted at
// the bus): freeing a block that overlaps it is reported as the verifier
// check "pool-freed-while-in-use", naming `user`. One watch per address.
void pool_watch(const void* p, size_t bytes, std::string user);
void pool_unwatch(const void* p);

}  // namespace host
