// KxIdGenerator: a table of in-use flags, lowest free identifier first.
#include "kalvex_internal.h"

#include <mutex>
#include <vector>

namespace
{
struct IdTable
{
    std::recursive_mutex mutex;
    std::vector<unsigned char> inUse = std::vector<unsigned char>(KxIdGenerator::MAX_ID, 0);
    int lowestFree = 0;        // no identifier below it is free: scans start here
    unsigned int refused = 0;  // requests that found the table full
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
    for (int id = table->lowestFree; id < MAX_ID; ++id)
    {
        if (!table->inUse[id])
        {
            table->inUse[id] = 1;
            table->lowestFree = id + 1;
            return id;
        }
    }
    table->lowestFree = MAX_ID;
    ++table->refused;
    KX_LOG(LEVEL_ERROR, "No more ID left");
    return -1;
}

bool KxIdGenerator::releaseId(int id)
{
    if (!table)
        return false;
    std::lock_guard<std::recursive_mutex> lock(table->mutex);
    if (id < 0 || id >= MAX_ID)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (!table->inUse[id])
        return KX_LOG(LEVEL_ERROR, "ID was already free");
    table->inUse[id] = 0;
    if (id < table->lowestFree)
        table->lowestFree = id;
    return true;
}

unsigned int kx::refusedIds()
{
    if (!table)
        return 0;
    std::lock_guard<std::recursive_mutex> lock(table->mutex);
    return table->refused;
}
