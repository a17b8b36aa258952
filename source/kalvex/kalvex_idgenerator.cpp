// KxIdGenerator: in-use bits, lowest free identifier first. A second level of
// bits marks the words that are full, so finding the lowest free identifier
// reads at most a few dozen words however many are taken.
#include "kalvex_internal.h"

#include <cstdint>
#include <mutex>
#include <vector>

namespace
{
const int BITS = 64;
const int WORDS = (KxIdGenerator::MAX_ID + BITS - 1) / BITS;
const int SUMMARY_WORDS = (WORDS + BITS - 1) / BITS;

struct IdTable
{
    std::recursive_mutex mutex;
    std::vector<uint64_t> inUse = std::vector<uint64_t>(WORDS, 0);
    std::vector<uint64_t> fullWords = std::vector<uint64_t>(SUMMARY_WORDS, 0);
    unsigned int refused = 0; // requests that found the table full

    IdTable()
    {
        // Bits past MAX_ID count as taken, so they are never handed out.
        for (int id = KxIdGenerator::MAX_ID; id < WORDS * BITS; ++id)
            take(id);
        for (int word = WORDS; word < SUMMARY_WORDS * BITS; ++word)
            fullWords[word / BITS] |= uint64_t(1) << (word % BITS);
    }

    void take(int id)
    {
        uint64_t& word = inUse[id / BITS];
        word |= uint64_t(1) << (id % BITS);
        if (word == ~uint64_t(0))
            fullWords[id / BITS / BITS] |= uint64_t(1) << (id / BITS % BITS);
    }

    void release(int id)
    {
        inUse[id / BITS] &= ~(uint64_t(1) << (id % BITS));
        fullWords[id / BITS / BITS] &= ~(uint64_t(1) << (id / BITS % BITS));
    }

    bool isTaken(int id) const { return inUse[id / BITS] >> (id % BITS) & 1; }

    // The lowest free identifier, or -1.
    int lowestFree() const
    {
        for (int summary = 0; summary < SUMMARY_WORDS; ++summary)
        {
            if (fullWords[summary] == ~uint64_t(0))
                continue;
            int word = summary * BITS + __builtin_ctzll(~fullWords[summary]);
            return word * BITS + __builtin_ctzll(~inUse[word]);
        }
        return -1;
    }
};
IdTable* table = nullptr;
}

void KxIdGenerator::init()
{
    if (table)
    {
        KX_LOG(LEVEL_ERROR, "Static class already initialized");
        return;
    }
    table = new IdTable;
}

void KxIdGenerator::free()
{
    if (!table)
    {
        KX_LOG(LEVEL_DETAIL, "Redundant free");
        return;
    }
    delete table;
    table = nullptr;
}

int KxIdGenerator::getId()
{
    if (!table)
        return -1;
    std::lock_guard<std::recursive_mutex> lock(table->mutex);
    int id = table->lowestFree();
    if (id < 0)
    {
        ++table->refused;
        KX_LOG(LEVEL_ERROR, "No more ID left");
        return -1;
    }
    table->take(id);
    return id;
}

bool KxIdGenerator::releaseId(int id)
{
    if (!table)
        return false;
    std::lock_guard<std::recursive_mutex> lock(table->mutex);
    if (id < 0 || id >= MAX_ID)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (!table->isTaken(id))
        return KX_LOG(LEVEL_ERROR, "ID was already free");
    table->release(id);
    return true;
}

unsigned int kx::refusedIds()
{
    if (!table)
        return 0;
    std::lock_guard<std::recursive_mutex> lock(table->mutex);
    return table->refused;
}
