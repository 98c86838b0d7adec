// The posting side: what it refuses, how it waits for a free slot, and
// several posting threads against one reader.
#include "ChannelTestSupport.h"
#include "channel/RequestChannel.h"
#include "channel/client/RequestPoster.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

namespace {

constexpr DWORD kSlotSize = 65536;
constexpr DWORD kSlots = 8;

TEST(RequestPoster, OpenFails_NoChannel)
{
    CRequestPoster poster;
    EXPECT_FALSE(poster.Open());
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), poster.LastError());
    EXPECT_FALSE(poster.IsOpen());
    EXPECT_FALSE(poster.Post("x", 1, 0));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
}

class RequestPosterTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_channel.Create(kSlotSize, kSlots));
        ASSERT_TRUE(m_poster.Open()) << m_poster.LastError();
    }

    bool PostNumber(uint32_t value, DWORD timeoutMs)
    {
        return m_poster.PostRequest(0, &value, sizeof(value), timeoutMs);
    }

    CRequestChannel m_channel;
    CRequestPoster m_poster;
};

TEST_F(RequestPosterTest, MessageSizesAroundTheSlot)
{
    std::vector<unsigned char> message(kSlotSize + 1, 0xAB);
    const struct
    {
        DWORD length;
        DWORD error; // 0: posted, and read back at its own length
    } cases[] = {
        // A message is at least its header: its length word and kind.
        {0, ERROR_INVALID_PARAMETER},
        {kMessageHeaderBytes - 1, ERROR_INVALID_PARAMETER},
        {kMessageHeaderBytes, 0},
        {kSlotSize - 1, 0},
        {kSlotSize, 0},
        {kSlotSize + 1, ERROR_INSUFFICIENT_BUFFER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        const LONG before = m_channel.Header()->postIndex;
        EXPECT_EQ(c.error == 0, m_poster.Post(message.data(), c.length, 0));
        if (c.error != 0) {
            EXPECT_EQ(c.error, m_poster.LastError());
            EXPECT_EQ(before, m_channel.Header()->postIndex) << "a refused message claimed a slot";
            continue;
        }
        volatile LONG* state = nullptr;
        unsigned char* slot = m_channel.Receive(&state, nullptr);
        ASSERT_NE(nullptr, slot);
        // The length word is the poster's, whatever the caller's first bytes said.
        EXPECT_EQ(c.length, m_channel.MessageLength(slot));
        EXPECT_EQ(0xAB, slot[c.length - 1]);
        m_channel.ReleaseSlot(state);
    }
}

TEST_F(RequestPosterTest, FullRingTimesOut_NoSlotClaimed)
{
    for (uint32_t i = 0; i < kSlots; ++i)
        ASSERT_TRUE(PostNumber(i, 0));
    CElapsed elapsed;
    EXPECT_FALSE(PostNumber(99, 300));
    EXPECT_EQ(DWORD(ERROR_TIMEOUT), m_poster.LastError());
    EXPECT_GE(elapsed.Ms(), 280.0);
    EXPECT_EQ(0, m_channel.Header()->waitingPosters);
    EXPECT_EQ(0, m_channel.Header()->postIndex);

    // The eight messages are still there, in order, and nothing else.
    m_channel.SetReceiveBudget(300);
    for (uint32_t i = 0; i <= kSlots; ++i) {
        volatile LONG* state = nullptr;
        unsigned char* slot = m_channel.Receive(&state, nullptr);
        if (i == kSlots) {
            EXPECT_EQ(nullptr, slot);
            break;
        }
        ASSERT_NE(nullptr, slot);
        uint32_t value = 0;
        std::memcpy(&value, slot + kMessageHeaderBytes, sizeof(value));
        EXPECT_EQ(i, value);
        m_channel.ReleaseSlot(state);
    }
}

struct WaitingPost
{
    CRequestPoster* poster;
    bool result;
    DWORD error;
    volatile LONG entered = 0; // set right before the post begins
};

DWORD WINAPI PostWithLongTimeout(LPVOID context)
{
    WaitingPost* post = static_cast<WaitingPost*>(context);
    const uint32_t value = 1000;
    InterlockedExchange(&post->entered, 1);
    post->result = post->poster->PostRequest(0, &value, sizeof(value), 20000);
    post->error = post->poster->LastError();
    return 0;
}

TEST_F(RequestPosterTest, WaitingPosterCountsItselfAndGetsTheFreedSlot)
{
    // The event itself: a release signals it only while a poster is counted.
    // (A waiting poster also looks again every few milliseconds, so its being
    // served below would not show a missing signal.)
    CHandle available(OpenEventW(SYNCHRONIZE, FALSE,
                                 ChannelObjectName(kChannelBaseName, kAvailableEventSuffix).c_str()));
    ASSERT_TRUE(available.IsValid());
    const struct
    {
        LONG waitingPosters;
        DWORD afterRelease;
    } releases[] = {{1, WAIT_OBJECT_0}, {0, WAIT_TIMEOUT}, {3, WAIT_OBJECT_0}};
    for (const auto& r : releases) {
        SCOPED_TRACE(r.waitingPosters);
        ASSERT_TRUE(PostNumber(0, 0));
        volatile LONG* state = nullptr;
        ASSERT_NE(nullptr, m_channel.Receive(&state, nullptr));
        ASSERT_EQ(DWORD(WAIT_TIMEOUT), WaitForSingleObject(available.Get(), 0));
        m_channel.Header()->waitingPosters = r.waitingPosters;
        m_channel.ReleaseSlot(state);
        m_channel.Header()->waitingPosters = 0;
        EXPECT_EQ(r.afterRelease, WaitForSingleObject(available.Get(), 0));
    }

    // A real poster waiting for a full ring.
    const LONG start = m_channel.Header()->postIndex;
    for (uint32_t i = 0; i < kSlots; ++i)
        ASSERT_TRUE(PostNumber(i, 0));
    CRequestPoster second;
    ASSERT_TRUE(second.Open());
    WaitingPost post{&second, false, 0};
    CHandle thread(CreateThread(nullptr, 0, PostWithLongTimeout, &post, 0, nullptr));
    ASSERT_TRUE(WaitForWord(&m_channel.Header()->waitingPosters, 1, 5000)) << "the poster did not count itself";

    volatile LONG* state = nullptr;
    ASSERT_NE(nullptr, m_channel.Receive(&state, nullptr));
    CElapsed elapsed;
    m_channel.ReleaseSlot(state);
    ASSERT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(thread.Get(), 5000));
    EXPECT_LE(elapsed.Ms(), 1000.0);
    EXPECT_TRUE(post.result) << post.error;
    EXPECT_EQ(0, m_channel.Header()->waitingPosters);
    EXPECT_EQ((start + 1) % LONG(kSlots), m_channel.Header()->postIndex);
}

struct TimedPost
{
    CRequestPoster* poster;
    DWORD timeoutMs;
    bool result;
    DWORD error;
};

DWORD WINAPI PostWithTimeout(LPVOID context)
{
    TimedPost* post = static_cast<TimedPost*>(context);
    const uint32_t value = 2000;
    post->result = post->poster->PostRequest(0, &value, sizeof(value), post->timeoutMs);
    post->error = post->poster->LastError();
    return 0;
}

TEST(RequestPoster, SquattedManualResetAvailableEvent_WaitingPosterStaysIdleAndIsServed)
{
    // Another process made the available event first, manual-reset, and left
    // it signalled: every wait on it returns at once.
    CHandle squatted(CreateEventW(nullptr, TRUE, TRUE,
                                  ChannelObjectName(kChannelBaseName, kAvailableEventSuffix).c_str()));
    ASSERT_TRUE(squatted.IsValid());
    CRequestChannel channel;
    ASSERT_TRUE(channel.Create(kSlotSize, kSlots));
    CRequestPoster poster;
    ASSERT_TRUE(poster.Open());
    for (uint32_t i = 0; i < kSlots; ++i)
        ASSERT_TRUE(poster.PostRequest(0, &i, sizeof(i), 0));
    ASSERT_TRUE(SetEvent(squatted.Get()));

    // A poster that waits for a full ring until its time-out.
    constexpr DWORD kWaitMs = 5000;
    TimedPost waiting{&poster, kWaitMs, true, 0};
    CHandle thread(CreateThread(nullptr, 0, PostWithTimeout, &waiting, 0, nullptr));
    ASSERT_TRUE(thread.IsValid());
    ASSERT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(thread.Get(), 60000));
    const double cpuMs = ThreadCpuMs(thread.Get());
    EXPECT_FALSE(waiting.result);
    EXPECT_EQ(DWORD(ERROR_TIMEOUT), waiting.error);
    // The worker's bound: under 1 % of a core while waiting.
    EXPECT_LE(cpuMs, kWaitMs / 100.0) << "poster CPU while waiting " << kWaitMs << " ms: " << cpuMs << " ms";
    std::printf("    poster CPU while waiting %lu ms on a squatted event: %.1f ms\n", kWaitMs, cpuMs);

    // A slot freed while it waits still reaches it, the event still squatted.
    CRequestPoster second;
    ASSERT_TRUE(second.Open());
    TimedPost served{&second, 30000, false, 0};
    CHandle serving(CreateThread(nullptr, 0, PostWithTimeout, &served, 0, nullptr));
    ASSERT_TRUE(WaitForWord(&channel.Header()->waitingPosters, 1, 10000)) << "the poster did not wait";
    volatile LONG* state = nullptr;
    ASSERT_NE(nullptr, channel.Receive(&state, nullptr));
    channel.ReleaseSlot(state);
    ASSERT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(serving.Get(), 30000));
    EXPECT_TRUE(served.result) << served.error;
}

TEST_F(RequestPosterTest, WaiterKilledWhileBlocked_CountRecoversOnAnEmptyRing)
{
    for (uint32_t i = 0; i < kSlots; ++i)
        ASSERT_TRUE(PostNumber(i, 0));
    CChildProcess waiter;
    ASSERT_TRUE(waiter.Start(PosterCommand(L"--id 5 --count 1 --timeout 60000")));
    ASSERT_TRUE(WaitForWord(&m_channel.Header()->waitingPosters, 1, 20000)) << "the poster did not wait";
    waiter.Terminate();
    // (Killed between two of its slices it leaves nothing; almost always it
    // is killed inside one and the count stays one too high.)
    for (uint32_t i = 0; i < kSlots; ++i) {
        volatile LONG* state = nullptr;
        ASSERT_NE(nullptr, m_channel.Receive(&state, nullptr));
        m_channel.ReleaseSlot(state);
    }

    // The reader, looking at the empty ring, clears what nobody waits for.
    m_channel.SetStuckSlotLimit(800);
    m_channel.SetReceiveBudget(400);
    CElapsed elapsed;
    while (m_channel.Header()->waitingPosters != 0 && elapsed.Ms() < 20000) {
        volatile LONG* state = nullptr;
        EXPECT_EQ(nullptr, m_channel.Receive(&state, nullptr));
    }
    EXPECT_EQ(0, m_channel.Header()->waitingPosters);

    // Posters that really wait are still served.
    for (uint32_t i = 0; i < kSlots; ++i)
        ASSERT_TRUE(PostNumber(i, 0));
    CChildProcess later;
    ASSERT_TRUE(later.Start(PosterCommand(L"--id 6 --count 3 --timeout 30000")));
    m_channel.SetReceiveBudget(CRequestChannel::kReceiveBudgetMs);
    for (uint32_t i = 0; i < kSlots + 3; ++i) {
        volatile LONG* state = nullptr;
        ASSERT_NE(nullptr, m_channel.Receive(&state, nullptr)) << "message " << i;
        m_channel.ReleaseSlot(state);
    }
    EXPECT_EQ(0u, later.Wait(30000));
}

TEST_F(RequestPosterTest, StopAllAbortsWaitingAndLaterPosts)
{
    for (uint32_t i = 0; i < kSlots; ++i)
        ASSERT_TRUE(PostNumber(i, 0));
    CRequestPoster second;
    ASSERT_TRUE(second.Open());
    WaitingPost post{&second, true, 0};
    CHandle thread(CreateThread(nullptr, 0, PostWithLongTimeout, &post, 0, nullptr));
    ASSERT_TRUE(WaitForWord(&m_channel.Header()->waitingPosters, 1, 5000));

    CElapsed elapsed;
    m_channel.RaiseStopAll();
    ASSERT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(thread.Get(), 5000));
    EXPECT_LE(elapsed.Ms(), 1000.0);
    EXPECT_FALSE(post.result);
    EXPECT_EQ(DWORD(ERROR_OPERATION_ABORTED), post.error);
    EXPECT_TRUE(m_poster.StopAllRaised());
    EXPECT_FALSE(PostNumber(1, 0));
    EXPECT_EQ(DWORD(ERROR_OPERATION_ABORTED), m_poster.LastError());
}

TEST_F(RequestPosterTest, ChannelStillBeingSetUp_PosterWaitsForItThenPosts)
{
    // The service creates the channel's objects first and makes the ring
    // usable afterwards; until it says so in the header, a client that opened
    // the objects in between must wait, not fail or post into a ring that is
    // not there yet.
    LONG* flags = const_cast<LONG*>(&m_channel.Header()->flags);
    InterlockedAnd(flags, ~kFlagCreated);
    EXPECT_FALSE(PostNumber(7, 200));
    EXPECT_EQ(DWORD(ERROR_TIMEOUT), m_poster.LastError());
    EXPECT_EQ(0, m_channel.Header()->postIndex) << "a slot was claimed before the ring was ready";

    WaitingPost post{&m_poster, false, 0};
    CHandle thread(CreateThread(nullptr, 0, PostWithLongTimeout, &post, 0, nullptr));
    ASSERT_TRUE(WaitForWord(&post.entered, 1, 30000));
    // It looks at the header at once and then every millisecond; a post that
    // did not wait would end within this wait.
    EXPECT_EQ(DWORD(WAIT_TIMEOUT), WaitForSingleObject(thread.Get(), 500)) << "the post did not wait for the ring";
    EXPECT_EQ(0, m_channel.Header()->postIndex);
    InterlockedOr(flags, kFlagCreated);
    ASSERT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(thread.Get(), 30000));
    EXPECT_TRUE(post.result) << post.error;
    volatile LONG* state = nullptr;
    const unsigned char* slot = m_channel.Receive(&state, nullptr);
    ASSERT_NE(nullptr, slot);
    uint32_t value = 0;
    std::memcpy(&value, slot + kMessageHeaderBytes, sizeof(value));
    EXPECT_EQ(1000u, value);
    m_channel.ReleaseSlot(state);
}

TEST_F(RequestPosterTest, ReaderStoppedForARestart_PostsWaitForTheNextReader)
{
    // A full ring, and a second client waiting for a slot.
    for (uint32_t i = 0; i < kSlots; ++i)
        ASSERT_TRUE(PostNumber(i, 0));
    CRequestPoster second;
    ASSERT_TRUE(second.Open());
    WaitingPost waiting{&second, false, 0};
    CHandle waitingThread(CreateThread(nullptr, 0, PostWithLongTimeout, &waiting, 0, nullptr));
    ASSERT_TRUE(WaitForWord(&m_channel.Header()->waitingPosters, 1, 5000));

    // The service is stopped, as by its control manager: it says the ring is
    // closed, then raises stop-all. Neither the waiting post nor a new one fails.
    m_channel.MarkClosed();
    m_channel.RaiseStopAll();
    EXPECT_FALSE(PostNumber(1, 300));
    EXPECT_EQ(DWORD(ERROR_TIMEOUT), m_poster.LastError()) << "a post failed on the stopped service's stop-all";
    WaitingPost fresh{&m_poster, false, 0};
    CHandle freshThread(CreateThread(nullptr, 0, PostWithLongTimeout, &fresh, 0, nullptr));
    ASSERT_TRUE(WaitForWord(&fresh.entered, 1, 30000));
    EXPECT_EQ(DWORD(WAIT_TIMEOUT), WaitForSingleObject(waitingThread.Get(), 300)) << waiting.error;

    // The next service's reader: the eight unread messages first, then both posts.
    ASSERT_TRUE(m_channel.Create(kSlotSize, kSlots));
    EXPECT_FALSE(m_channel.StopAllRaised());
    std::vector<uint32_t> values;
    for (uint32_t i = 0; i < kSlots + 2; ++i) {
        volatile LONG* state = nullptr;
        const unsigned char* slot = m_channel.Receive(&state, nullptr);
        ASSERT_NE(nullptr, slot) << "message " << i;
        uint32_t value = 0;
        std::memcpy(&value, slot + kMessageHeaderBytes, sizeof(value));
        values.push_back(value);
        m_channel.ReleaseSlot(state);
    }
    const std::vector<uint32_t> expected = {0, 1, 2, 3, 4, 5, 6, 7, 1000, 1000};
    EXPECT_EQ(expected, values);
    ASSERT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(waitingThread.Get(), 30000));
    ASSERT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(freshThread.Get(), 30000));
    EXPECT_TRUE(waiting.result) << waiting.error;
    EXPECT_TRUE(fresh.result) << fresh.error;

    // A stop-all raised while the ring is served still stops every party.
    m_channel.RaiseStopAll();
    EXPECT_FALSE(PostNumber(2, 300));
    EXPECT_EQ(DWORD(ERROR_OPERATION_ABORTED), m_poster.LastError());
}

TEST_F(RequestPosterTest, RaiseStopAllReachesTheReader)
{
    m_poster.RaiseStopAll();
    EXPECT_TRUE(m_channel.StopAllRaised());
    EXPECT_EQ(kFlagCreated | kFlagStopAll, m_channel.Header()->flags);
}

struct ThreadPoster
{
    uint32_t id;
    uint32_t count;
    DWORD error;
};

DWORD WINAPI PostNumbers(LPVOID context)
{
    ThreadPoster* self = static_cast<ThreadPoster*>(context);
    CRequestPoster poster;
    if (!poster.Open()) {
        self->error = poster.LastError();
        return 0;
    }
    for (uint32_t i = 0; i < self->count; ++i) {
        // A short timeout, retried: a poster that gives up must leave no hole.
        const uint32_t numbered[2] = {self->id, i};
        while (!poster.PostRequest(0, numbered, sizeof(numbered), 1)) {
            if (poster.LastError() != ERROR_TIMEOUT) {
                self->error = poster.LastError();
                return 0;
            }
        }
    }
    return 0;
}

TEST_F(RequestPosterTest, PostingThreadsLoseAndRepeatNothing)
{
    constexpr uint32_t kThreads = 4;
    constexpr uint32_t kEach = 500;
    ThreadPoster posters[kThreads];
    std::vector<CHandle> threads;
    for (uint32_t t = 0; t < kThreads; ++t) {
        posters[t] = {t + 1, kEach, 0};
        threads.emplace_back(CreateThread(nullptr, 0, PostNumbers, &posters[t], 0, nullptr));
        ASSERT_TRUE(threads.back().IsValid());
    }
    std::map<uint32_t, uint32_t> next;
    for (uint32_t i = 0; i < kThreads * kEach; ++i) {
        volatile LONG* state = nullptr;
        unsigned char* slot = m_channel.Receive(&state, nullptr);
        ASSERT_NE(nullptr, slot) << "message " << i;
        uint32_t id = 0, value = 0;
        std::memcpy(&id, slot + kMessageHeaderBytes, sizeof(id));
        std::memcpy(&value, slot + kMessageHeaderBytes + 4, sizeof(value));
        m_channel.ReleaseSlot(state);
        ASSERT_GE(id, 1u);
        ASSERT_LE(id, kThreads);
        ASSERT_EQ(next[id], value) << "thread " << id;
        ++next[id];
    }
    for (uint32_t t = 0; t < kThreads; ++t) {
        EXPECT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(threads[t].Get(), 10000));
        EXPECT_EQ(0u, posters[t].error);
    }
    m_channel.SetReceiveBudget(200);
    volatile LONG* state = nullptr;
    EXPECT_EQ(nullptr, m_channel.Receive(&state, nullptr));
}

} // namespace
