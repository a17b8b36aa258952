// KxTimer: the monotonic clock in nanoseconds, and the processor's time-stamp counter.
#include "kalvex.h"

#include <ctime>
#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace
{
bool started = false;
uint64_t frequency = 0;
}

void KxTimer::init()
{
    if (started)
    {
        KX_LOG(LEVEL_ERROR, "Static class already initialized");
        return;
    }
    started = true;
    timespec probe;
    if (clock_getres(CLOCK_MONOTONIC, &probe) != 0)
    {
        KX_LOG(LEVEL_ERROR, "Timer performance counter not supported");
        frequency = 0;
        return;
    }
    frequency = 1000000000ull;
}

void KxTimer::free()
{
    if (!started)
    {
        KX_LOG(LEVEL_DETAIL, "Redundant free");
        return;
    }
    started = false;
    frequency = 0;
}

uint64_t KxTimer::getCounter()
{
    if (!frequency)
        return 0;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
}

uint64_t KxTimer::getFrequency()
{
    return frequency;
}

double KxTimer::getCounterDiff(uint64_t start, uint64_t end)
{
    if (!frequency)
        return 0.0;
    // 128-bit intermediate: (end - start) * 10^6 overflows 64 bits after about five hours of nanoseconds.
    unsigned __int128 microseconds = static_cast<unsigned __int128>(end - start) * 1000000u / frequency;
    return static_cast<double>(static_cast<uint64_t>(microseconds)) / 1000.0;
}

uint64_t KxTimer::getRdtsc()
{
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    return getCounter();
#endif
}
