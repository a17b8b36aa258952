// Fixed-size block pools: see kalvex_blockpool.h.
#include "kalvex_blockpool.h"

#include <mutex>
#include <new>

#if !defined(KX_POOLS_ON_HEAP)
namespace
{
const size_t ALIGNMENT = alignof(std::max_align_t);
const size_t CHUNK_SIZE = 256 * 1024;
const size_t MAX_BLOCK = 256;
const size_t NR_OF_POOLS = MAX_BLOCK / ALIGNMENT;

struct Pool
{
    std::mutex mutex;
    void* freed = nullptr; // each freed block holds the address of the one freed before
    char* cursor = nullptr; // the current chunk's next unused block
    char* end = nullptr;
};

// Made once and never destroyed: blocks may be freed by other objects'
// destructors at exit, after a static pool would be gone.
Pool* poolOf(size_t rounded)
{
    static Pool* all = new Pool[NR_OF_POOLS];
    return &all[rounded / ALIGNMENT - 1];
}

size_t roundUp(size_t size)
{
    return (size + ALIGNMENT - 1) / ALIGNMENT * ALIGNMENT;
}
}

void* kx::poolAllocate(size_t size)
{
    size_t rounded = roundUp(size ? size : 1);
    if (rounded > MAX_BLOCK)
        return ::operator new(size);
    Pool& pool = *poolOf(rounded);
    std::lock_guard<std::mutex> lock(pool.mutex);
    if (void* block = pool.freed)
    {
        pool.freed = *static_cast<void**>(block);
        return block;
    }
    if (pool.cursor == pool.end)
    {
        size_t bytes = CHUNK_SIZE / rounded * rounded;
        pool.cursor = static_cast<char*>(::operator new(bytes));
        pool.end = pool.cursor + bytes;
    }
    void* block = pool.cursor;
    pool.cursor += rounded;
    return block;
}

void kx::poolRelease(void* block, size_t size) noexcept
{
    if (!block)
        return;
    size_t rounded = roundUp(size ? size : 1);
    if (rounded > MAX_BLOCK)
        return ::operator delete(block);
    Pool& pool = *poolOf(rounded);
    std::lock_guard<std::mutex> lock(pool.mutex);
    *static_cast<void**>(block) = pool.freed;
    pool.freed = block;
}
#else
void* kx::poolAllocate(size_t size)
{
    return ::operator new(size);
}

void kx::poolRelease(void* block, size_t) noexcept
{
    ::operator delete(block);
}
#endif
