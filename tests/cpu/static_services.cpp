// Identifier table, timer, statistics counters and block pools.
#include "kxtest.h"

#include <kalvex_blockpool.h>

#include <chrono>
#include <cstring>
#include <random>
#include <set>
#include <thread>
#include <vector>

TEST(IdGenerator, LowestFreeFirstAndReuse)
{
    KxIdGenerator::init();
    EXPECT_EQ(KxIdGenerator::getId(), 0);
    EXPECT_EQ(KxIdGenerator::getId(), 1);
    EXPECT_EQ(KxIdGenerator::getId(), 2);
    EXPECT_TRUE(KxIdGenerator::releaseId(1));
    EXPECT_EQ(KxIdGenerator::getId(), 1);
    EXPECT_FALSE(KxIdGenerator::releaseId(-1));
    EXPECT_FALSE(KxIdGenerator::releaseId(KxIdGenerator::MAX_ID));
    EXPECT_TRUE(KxIdGenerator::releaseId(2));
    EXPECT_FALSE(KxIdGenerator::releaseId(2));
    EXPECT_GE(kxtest::countLogLines("ID was already free"), 1);

    size_t mark = kxtest::readLog().size();
    KxIdGenerator::init(); // a second start keeps the table
    EXPECT_EQ(kxtest::countLogLines("Static class already initialized", mark), 1);
    EXPECT_EQ(KxIdGenerator::getId(), 2);
    KxIdGenerator::free();
}

TEST(IdGenerator, Exhaustion)
{
    KxIdGenerator::init();
    for (int i = 0; i < KxIdGenerator::MAX_ID; ++i)
        ASSERT_EQ(KxIdGenerator::getId(), i);
    size_t mark = kxtest::readLog().size();
    EXPECT_EQ(KxIdGenerator::getId(), -1);
    EXPECT_EQ(kxtest::countLogLines("No more ID left", mark), 1);
    EXPECT_TRUE(KxIdGenerator::releaseId(4242));
    EXPECT_EQ(KxIdGenerator::getId(), 4242);
    KxIdGenerator::free();
    KxIdGenerator::free(); // detail level: not written
    EXPECT_EQ(kxtest::countLogLines("Redundant free", mark), 0);
}

// Against a plain set: random takes and releases across many words keep
// identifiers unique and always hand out the lowest free one.
TEST(IdGenerator, UniqueAndReusedLowestFirstUnderChurn)
{
    KxIdGenerator::init();
    std::set<int> taken, released; // released: freed identifiers below the highest handed out
    int next = 0;
    std::mt19937 random(7);
    for (int step = 0; step < 60000; ++step)
    {
        if (taken.empty() || random() % 3 != 0)
        {
            int expected = released.empty() ? next : *released.begin();
            int id = KxIdGenerator::getId();
            ASSERT_EQ(id, expected) << step;
            if (released.erase(id) == 0)
                ++next;
            ASSERT_TRUE(taken.insert(id).second) << step;
        }
        else
        {
            auto it = taken.lower_bound(static_cast<int>(random() % static_cast<unsigned>(next)));
            if (it == taken.end())
                it = taken.begin();
            ASSERT_TRUE(KxIdGenerator::releaseId(*it));
            released.insert(*it);
            taken.erase(it);
        }
    }
    KxIdGenerator::free();
}

TEST(Timer, NanosecondCounterAndDifferences)
{
    KxTimer::init();
    EXPECT_EQ(KxTimer::getFrequency(), 1000000000ull);
    uint64_t start = KxTimer::getCounter();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    uint64_t end = KxTimer::getCounter();
    double ms = KxTimer::getCounterDiff(start, end);
    EXPECT_GE(ms, 19.9);
    EXPECT_LT(ms, 1000.0);
    // Whole microseconds first: 1.5009 ms becomes 1.5 ms.
    EXPECT_DOUBLE_EQ(KxTimer::getCounterDiff(0, 1500900), 1.5);
    // Spans far longer than the 64-bit product of nanoseconds and 10^6 can hold.
    EXPECT_DOUBLE_EQ(KxTimer::getCounterDiff(0, 86400ull * 1000000000ull), 86400000.0);
    uint64_t tsc1 = KxTimer::getRdtsc();
    uint64_t tsc2 = KxTimer::getRdtsc();
    EXPECT_GE(tsc2, tsc1);
    KxTimer::free();
    EXPECT_EQ(KxTimer::getCounter(), 0u);
    EXPECT_EQ(KxTimer::getCounterDiff(0, 1000), 0.0);
}

TEST(Stats, CountersAndRange)
{
    KxStats::init();
    KxStats::inc(KxStats::MESH_RENDER);
    KxStats::inc(KxStats::MESH_RENDER);
    KxStats::inc(0);
    EXPECT_EQ(KxStats::get(KxStats::MESH_RENDER), 2u);
    EXPECT_EQ(KxStats::get(0), 1u);
    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(KxStats::inc(21));
    EXPECT_FALSE(KxStats::inc(-1));
    EXPECT_EQ(KxStats::get(21), ~0ull);
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 3);
    for (int i = 0; i < KxStats::NR_OF_COUNTERS; ++i)
        EXPECT_LE(KxStats::get(i), 2u);
    KxStats::reset();
    EXPECT_EQ(KxStats::get(KxStats::MESH_RENDER), 0u);

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 10000; ++i)
                KxStats::inc(KxStats::FILTER_RENDER);
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(KxStats::get(KxStats::FILTER_RENDER), 40000u);
    KxStats::free();
}

// Blocks of one size come in order and back after release; every byte of
// each is its own, under two threads too; big sizes still work.
TEST(BlockPool, OrderReuseAndOwnership)
{
    const size_t SIZE = 200; // rounded up to 208, a size no engine class takes
    std::vector<unsigned char*> blocks;
    for (int i = 0; i < 4000; ++i)
    {
        blocks.push_back(static_cast<unsigned char*>(kx::poolAllocate(SIZE)));
        ASSERT_EQ(reinterpret_cast<uintptr_t>(blocks.back()) % alignof(std::max_align_t), 0u);
        std::memset(blocks.back(), i & 0xff, SIZE);
    }
    int adjacent = 0;
    for (int i = 0; i < 4000; ++i)
    {
        EXPECT_EQ(blocks[i][0], i & 0xff);
        EXPECT_EQ(blocks[i][SIZE - 1], i & 0xff);
        adjacent += i > 0 && blocks[i] == blocks[i - 1] + 208;
    }
    std::set<unsigned char*> first(blocks.begin(), blocks.end());
    for (unsigned char* block : blocks)
        kx::poolRelease(block, SIZE);
    std::set<unsigned char*> again;
    for (int i = 0; i < 4000; ++i)
        again.insert(static_cast<unsigned char*>(kx::poolAllocate(SIZE)));
#if !defined(KX_POOLS_ON_HEAP)
    // A chunk boundary every 1,260 blocks breaks the run.
    EXPECT_GE(adjacent, 3990);
    EXPECT_EQ(again, first);
#endif
    for (unsigned char* block : again)
        kx::poolRelease(block, SIZE);

    auto churn = [](unsigned char tag, int* faults) {
        std::vector<unsigned char*> held;
        for (int i = 0; i < 20000; ++i)
        {
            if (held.size() > 50 && i % 3 == 0)
            {
                *faults += held.back()[0] != tag || held.back()[SIZE - 1] != tag;
                kx::poolRelease(held.back(), SIZE);
                held.pop_back();
                continue;
            }
            held.push_back(static_cast<unsigned char*>(kx::poolAllocate(SIZE)));
            std::memset(held.back(), tag, SIZE);
        }
        for (unsigned char* block : held)
        {
            *faults += block[0] != tag || block[SIZE - 1] != tag;
            kx::poolRelease(block, SIZE);
        }
    };
    int faults[2] = {0, 0};
    std::thread other(churn, 0xa5, &faults[0]);
    churn(0x5a, &faults[1]);
    other.join();
    EXPECT_EQ(faults[0] + faults[1], 0);

    void* big = kx::poolAllocate(4096);
    std::memset(big, 1, 4096);
    kx::poolRelease(big, 4096);
    kx::poolRelease(nullptr, SIZE);
}
