// The segment-table lock: shared holders together, an exclusive holder alone.
#include "ChannelTestSupport.h"
#include "channel/SpinRWLock.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Guarded
{
    CSpinRWLock lock;
    volatile LONG acquired = 0;
    // Kept equal by writers; a reader that sees them differ was let in during a write.
    volatile long first = 0;
    volatile long second = 0;
    volatile LONG torn = 0;
    volatile LONG stop = 0;
};

DWORD WINAPI TakeExclusive(LPVOID context)
{
    Guarded* g = static_cast<Guarded*>(context);
    g->lock.LockExclusive();
    InterlockedExchange(&g->acquired, 1);
    g->lock.Unlock();
    return 0;
}

TEST(SpinRWLock, SharedHoldersTogether_ExclusiveWaitsForThem)
{
    Guarded g;
    ASSERT_TRUE(g.lock.LockShared());
    ASSERT_TRUE(g.lock.LockShared()); // a second shared holder gets in at once
    CHandle thread(CreateThread(nullptr, 0, TakeExclusive, &g, 0, nullptr));
    Sleep(200);
    EXPECT_EQ(0, g.acquired) << "exclusive while shared holders remain";
    g.lock.Unlock();
    Sleep(100);
    EXPECT_EQ(0, g.acquired);
    g.lock.Unlock();
    EXPECT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(thread.Get(), 5000));
    EXPECT_EQ(1, g.acquired);
    // Unlocked again: both kinds are free to take.
    EXPECT_TRUE(g.lock.LockExclusive());
    g.lock.Unlock();
    EXPECT_TRUE(g.lock.LockShared());
    g.lock.Unlock();
}

DWORD WINAPI Writer(LPVOID context)
{
    Guarded* g = static_cast<Guarded*>(context);
    for (int i = 0; i < 2000; ++i) {
        g->lock.LockExclusive();
        g->first = g->first + 1;
        SwitchToThread();
        g->second = g->second + 1;
        g->lock.Unlock();
    }
    return 0;
}

DWORD WINAPI Reader(LPVOID context)
{
    Guarded* g = static_cast<Guarded*>(context);
    while (g->stop == 0) {
        g->lock.LockShared();
        if (g->first != g->second)
            InterlockedIncrement(&g->torn);
        g->lock.Unlock();
    }
    return 0;
}

TEST(SpinRWLock, ReadersNeverSeeAHalfDoneWrite)
{
    Guarded g;
    g.lock.SetSpinCount(40);
    std::vector<CHandle> readers, writers;
    for (int i = 0; i < 2; ++i)
        readers.emplace_back(CreateThread(nullptr, 0, Reader, &g, 0, nullptr));
    for (int i = 0; i < 2; ++i)
        writers.emplace_back(CreateThread(nullptr, 0, Writer, &g, 0, nullptr));
    for (CHandle& writer : writers)
        ASSERT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(writer.Get(), 60000)) << "writer starved";
    InterlockedExchange(&g.stop, 1);
    for (CHandle& reader : readers)
        ASSERT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(reader.Get(), 10000));
    EXPECT_EQ(0, g.torn);
    EXPECT_EQ(4000, g.first);
    EXPECT_EQ(4000, g.second);
}

} // namespace
