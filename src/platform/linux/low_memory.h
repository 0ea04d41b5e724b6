// Zero-filled blocks whose whole extent lies below 2 GiB, so that 32-bit pointer fields can point
// into them on a 64-bit host. Shared by the Linux services and the test fake.
//
// Each block ends right before an inaccessible page, so a read past its end faults at once (and
// under AddressSanitizer the few bytes of alignment slack are poisoned as well).
#pragma once

#include <cstddef>

namespace lowmem {

// Returns a zero-filled, 8-byte aligned block of `bytes` bytes (0 is taken as 1), or null when no
// memory below 2 GiB is to be had.
void* allocate(std::size_t bytes);

// Releases a block of allocate(). Returns 1, or 0 when the block is unknown (never given out, or
// already released); an unknown block is left alone.
int release(void* block);

// The size asked for when the block was allocated; 0 for an unknown block.
std::size_t sizeOf(const void* block);

} // namespace lowmem
