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

// An exclusive taker that says when it starts to try and records how many
// shared holds the test still had when it got in.
struct ExclusiveTaker
{
    Guarded* g = nullptr;
    CHandle trying{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    volatile LONG sharedHeld = 0; // the test's own count of its shared holds
    LONG sharedAtEntry = -1;
};

DWORD WINAPI TakeExclusive(LPVOID context)
{
    ExclusiveTaker* taker = static_cast<ExclusiveTaker*>(context);
    SetEvent(taker->trying.Get());
    taker->g->lock.LockExclusive();
    taker->sharedAtEntry = taker->sharedHeld;
    InterlockedExchange(&taker->g->acquired, 1);
    taker->g->lock.Unlock();
    return 0;
}

TEST(SpinRWLock, SharedHoldersTogether_ExclusiveWaitsForThem)
{
    Guarded g;
    ExclusiveTaker taker;
    taker.g = &g;
    ASSERT_TRUE(g.lock.LockShared());
    ASSERT_TRUE(g.lock.LockShared()); // a second shared holder gets in at once
    taker.sharedHeld = 2;
    CHandle thread(CreateThread(nullptr, 0, TakeExclusive, &taker, 0, nullptr));
    ASSERT_TRUE(thread.IsValid());
    ASSERT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(taker.trying.Get(), 30000));
    // Its first attempt follows its event at once; a lock that let it in
    // beside the shared holders would end the thread within this wait.
    EXPECT_EQ(DWORD(WAIT_TIMEOUT), WaitForSingleObject(thread.Get(), 1000)) << "exclusive beside two shared holders";
    InterlockedExchange(&taker.sharedHeld, 1);
    g.lock.Unlock();
    EXPECT_EQ(DWORD(WAIT_TIMEOUT), WaitForSingleObject(thread.Get(), 500)) << "exclusive beside a shared holder";
    InterlockedExchange(&taker.sharedHeld, 0);
    g.lock.Unlock();
    ASSERT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(thread.Get(), 30000));
    EXPECT_EQ(1, g.acquired);
    // Whenever it got in, no shared hold of the test was left.
    EXPECT_EQ(0, taker.sharedAtEntry);
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
