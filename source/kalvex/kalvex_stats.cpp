// KxStats: per-frame event counters, atomic so that any thread may count.
#include "kalvex.h"

#include <atomic>

namespace
{
std::atomic<uint64_t>* counters = nullptr;
}

void KxStats::init()
{
    if (counters)
    {
        KX_LOG(LEVEL_ERROR, "Static class already initialized");
        return;
    }
    counters = new std::atomic<uint64_t>[NR_OF_COUNTERS];
    reset();
}

void KxStats::free()
{
    if (!counters)
    {
        KX_LOG(LEVEL_DETAIL, "Redundant free");
        return;
    }
    delete[] counters;
    counters = nullptr;
}

void KxStats::reset()
{
    if (!counters)
        return;
    for (int i = 0; i < NR_OF_COUNTERS; ++i)
        counters[i].store(0, std::memory_order_relaxed);
}

bool KxStats::inc(int index)
{
    if (index < 0 || index >= NR_OF_COUNTERS)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (counters)
        counters[index].fetch_add(1, std::memory_order_relaxed);
    return true;
}

bool KxStats::add(int index, uint64_t amount)
{
    if (index < 0 || index >= NR_OF_COUNTERS)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (counters)
        counters[index].fetch_add(amount, std::memory_order_relaxed);
    return true;
}

uint64_t KxStats::get(int index)
{
    if (index < 0 || index >= NR_OF_COUNTERS)
    {
        KX_LOG(LEVEL_ERROR, "Invalid params");
        return ~0ull;
    }
    return counters ? counters[index].load(std::memory_order_relaxed) : 0;
}
