// Fixed-size blocks for the private data the render list walks every frame.
#pragma once

#include "kalvex.h"

#include <cstddef>

// Sanitizer builds keep every block on the heap, where each one is checked.
#if defined(__SANITIZE_ADDRESS__)
#define KX_POOLS_ON_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KX_POOLS_ON_HEAP 1
#endif
#endif

namespace kx
{
// Blocks of one size (rounded up to 16 bytes, up to 256) carved in order
// from large chunks, so that objects made one after another (a loaded scene,
// in the order the list walks it) keep their data side by side: the walk
// then reads memory in order, which the hardware fetches ahead by itself,
// instead of heap blocks strewn between everything else made meanwhile.
// Freed blocks are reused, last freed first; chunks stay for the process's
// life. Larger sizes go to the heap. Thread-safe.
KX_API void* poolAllocate(size_t size);
KX_API void poolRelease(void* block, size_t size) noexcept;
}

// Gives a class's new and delete to the pool of its size.
#define KX_POOLED                                                                                                      \
    static void* operator new(size_t size) { return kx::poolAllocate(size); }                                          \
    static void operator delete(void* block, size_t size) noexcept { kx::poolRelease(block, size); }
