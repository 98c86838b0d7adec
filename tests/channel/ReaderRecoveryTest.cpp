// The reader recovering from what other parties leave behind: a poster that
// dies or stalls while it fills a slot, and a restart of the reader while a
// client keeps the channel open with messages still unread.
#include "ChannelTestSupport.h"
#include "PosterMessage.h"
#include "channel/RequestChannel.h"
#include "channel/client/RequestPoster.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr DWORD kSlotSize = 65536;
constexpr DWORD kSlots = 8;
constexpr DWORD kStatesOffset = 524288;
constexpr DWORD kSegmentBytes = 524320;
// Shorter than the service's, to keep the tests short; the service test
// checks the real one.
constexpr DWORD kLimitMs = 1500;

using Stamp = std::pair<uint32_t, uint32_t>; // poster id, sequence

std::wstring Posts(uint32_t id, uint32_t first, uint32_t count)
{
    return L"--id " + std::to_wstring(id) + L" --first " + std::to_wstring(first) + L" --count " +
           std::to_wstring(count) + L" --size 200";
}

std::vector<Stamp> Sequence(uint32_t id, uint32_t first, uint32_t count)
{
    std::vector<Stamp> stamps;
    for (uint32_t i = 0; i < count; ++i)
        stamps.emplace_back(id, first + i);
    return stamps;
}

std::vector<Stamp> operator+(std::vector<Stamp> a, const std::vector<Stamp>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Takes one message as the service's worker does (copy, then free); false
// when Receive returned none.
bool TakeOne(CRequestChannel& channel, Stamp* stamp)
{
    volatile LONG* state = nullptr;
    unsigned char* slot = channel.Receive(&state, nullptr);
    if (slot == nullptr)
        return false;
    std::vector<unsigned char> copy(slot, slot + channel.MessageLength(slot));
    channel.ReleaseSlot(state);
    PosterStamp read{};
    EXPECT_TRUE(CheckPosterMessage(copy.data(), copy.size(), &read)) << "torn or foreign message";
    *stamp = {read.posterId, read.sequence};
    return true;
}

// Receives exactly the expected messages, in order.
void ExpectReceived(CRequestChannel& channel, const std::vector<Stamp>& expected)
{
    std::vector<Stamp> received;
    Stamp stamp{};
    while (received.size() < expected.size() && TakeOne(channel, &stamp))
        received.push_back(stamp);
    EXPECT_EQ(expected, received);
}

// Receives exactly the expected messages in order, then finds the ring empty
// and consistent: nothing lost, reordered or delivered twice.
void ExpectDelivered(CRequestChannel& channel, const std::vector<Stamp>& expected, const volatile LONG* states)
{
    ExpectReceived(channel, expected);
    Stamp stamp{};
    channel.SetReceiveBudget(300);
    EXPECT_FALSE(TakeOne(channel, &stamp)) << "one more: " << stamp.first << "/" << stamp.second;
    channel.SetReceiveBudget(CRequestChannel::kReceiveBudgetMs);
    EXPECT_EQ(channel.Header()->readIndex, channel.Header()->postIndex);
    for (DWORD i = 0; i < kSlots; ++i)
        EXPECT_EQ(eSlotFree, states[i]) << "slot " << i;
}

// The id of a thread of this process that has ended: a mark that names it
// belongs to a poster that is gone.
DWORD EndedThreadId()
{
    DWORD id = 0;
    CHandle thread(CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, &id));
    if (thread)
        WaitForSingleObject(thread.Get(), 10000);
    return id;
}

bool IsPosterMark(LONG value)
{
    return value != eSlotFree && value != eSlotReady && value != eSlotReading;
}

class ReaderRecovery : public testing::Test
{
protected:
    // A fresh channel (nothing else holds its objects, so it starts at slot 0)
    // with our own views of its header and segment 0.
    void CreateFresh()
    {
        m_header.Close();
        m_segment.Close();
        m_channel.Destroy();
        ASSERT_TRUE(m_channel.Create(kSlotSize, kSlots)) << m_channel.LastError();
        ASSERT_EQ(0, m_channel.Header()->readIndex);
        m_channel.SetStuckSlotLimit(kLimitMs);
        ASSERT_TRUE(m_header.Open(ChannelObjectName(kChannelBaseName, kHeaderSuffix), kHeaderBytes));
        ASSERT_TRUE(m_segment.Open(SegmentName(kChannelBaseName, 0), kSegmentBytes));
    }

    volatile LONG* States() const { return reinterpret_cast<volatile LONG*>(m_segment.Bytes() + kStatesOffset); }
    ChannelHeader* Header() const { return m_header.Header(); }

    // Posts and takes three messages, so that the ring's next slot is 3.
    void MoveToSlot3()
    {
        ASSERT_EQ(0u, RunPoster(Posts(1, 0, 3)));
        Stamp stamp{};
        for (uint32_t i = 0; i < 3; ++i) {
            ASSERT_TRUE(TakeOne(m_channel, &stamp));
            ASSERT_EQ(Stamp(1, i), stamp);
        }
    }

    CRequestChannel m_channel;
    CForeignView m_header;
    CForeignView m_segment;
};

// How slot 3, at readIndex, comes to stay in a state other than ready.
struct StuckSlot
{
    ChannelHeader* header;
    volatile LONG* states;
    CChildProcess staller;
};

// A poster claims slot 3, moves postIndex on and is killed before it marks the
// slot ready.
void PosterKilledAfterClaiming(StuckSlot& s)
{
    ASSERT_TRUE(s.staller.Start(PosterCommand(Posts(9, 0, 1) + L" --stall-at claimed --stall-ms 600000")));
    ASSERT_TRUE(WaitForWord(&s.header->postIndex, 4, 10000)) << "the poster did not claim slot 3";
    s.staller.Terminate();
    EXPECT_TRUE(IsPosterMark(s.states[3])) << s.states[3];
}

// What a poster leaves when it dies between marking slot 3 and moving postIndex.
void PosterDiedBeforeMovingPostIndex(StuckSlot& s)
{
    s.states[3] = 0x1235;
}

// postIndex has moved past a slot that stayed free.
void FreeSlotPassedByPostIndex(StuckSlot& s)
{
    s.header->postIndex = 4;
}

TEST_F(ReaderRecovery, StuckSlotGivenUpAfterTheLimit_LaterMessagesInOrder)
{
    const struct
    {
        const char* name;
        void (*stage)(StuckSlot&);
        uint32_t queuedBehind; // posted behind the stuck slot before the reader waits
        uint32_t later;        // posted while the reader waits
    } cases[] = {
        // More messages than the ring holds, so they wrap past the stuck slot.
        {"poster killed after claiming, three messages behind", PosterKilledAfterClaiming, 3, 12},
        // postIndex moves on with readIndex, or new messages would land in front of it.
        {"poster died before moving postIndex on", PosterDiedBeforeMovingPostIndex, 0, 12},
        // postIndex stays: the ring behind the slot is full of older messages.
        {"poster killed after claiming, ring full behind it", PosterKilledAfterClaiming, 7, 12},
        // Fewer than would bring postIndex round to the free slot (the next
        // post would fill it).
        {"free slot that postIndex has passed", FreeSlotPassedByPostIndex, 3, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CreateFresh();
        MoveToSlot3();
        StuckSlot stuck{Header(), States(), {}};
        c.stage(stuck);
        if (c.queuedBehind != 0) {
            ASSERT_EQ(0u, RunPoster(Posts(1, 3, c.queuedBehind)));
        }
        CChildProcess later;
        ASSERT_TRUE(later.Start(PosterCommand(Posts(2, 0, c.later))));

        CElapsed elapsed;
        Stamp first{};
        ASSERT_TRUE(TakeOne(m_channel, &first));
        const double recovery = elapsed.Ms();
        EXPECT_GE(recovery, kLimitMs * 0.9) << "given up before its limit";
        EXPECT_LE(recovery, kLimitMs + 10000.0);
        const std::vector<Stamp> expected = Sequence(1, 3, c.queuedBehind) + Sequence(2, 0, c.later);
        EXPECT_EQ(expected.front(), first);
        ExpectDelivered(m_channel, std::vector<Stamp>(expected.begin() + 1, expected.end()), States());
        EXPECT_EQ(0u, later.Wait(30000));
    }
}

TEST_F(ReaderRecovery, SlowPosterPastTheLimit_FailsAndIsNotDelivered)
{
    const struct
    {
        const char* name;
        const wchar_t* stage;
    } cases[] = {
        {"stalled before copying: finds its slot gone", L"claimed"},
        {"stalled before marking ready: the mark fails", L"copied"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CreateFresh();
        MoveToSlot3();
        CChildProcess slow;
        ASSERT_TRUE(slow.Start(PosterCommand(Posts(9, 0, 1) + L" --stall-at " + c.stage + L" --stall-ms " +
                                             std::to_wstring(kLimitMs + 2000))));
        ASSERT_TRUE(WaitForWord(&Header()->postIndex, 4, 10000));
        ASSERT_EQ(0u, RunPoster(Posts(1, 3, 3)));
        CChildProcess later;
        ASSERT_TRUE(later.Start(PosterCommand(Posts(2, 0, 10))));

        ExpectReceived(m_channel, Sequence(1, 3, 3) + Sequence(2, 0, 10));
        EXPECT_EQ(DWORD(CRequestPoster::kErrorSlotGivenUp), slow.Wait(30000));
        EXPECT_EQ(0u, later.Wait(30000));
        // Its slot stayed out of the ring while the slow poster could still
        // write; now that it is done, two more laps use every slot again.
        CChildProcess last;
        ASSERT_TRUE(last.Start(PosterCommand(Posts(3, 0, 2 * kSlots))));
        ExpectDelivered(m_channel, Sequence(3, 0, 2 * kSlots), States());
        EXPECT_EQ(0u, last.Wait(30000));
        // Every slot has been filled again since; none holds the slow poster's
        // message.
        for (DWORD i = 0; i < kSlots; ++i) {
            PosterStamp stamp{};
            std::memcpy(&stamp, m_segment.Bytes() + size_t(i) * kSlotSize + kMessageHeaderBytes, sizeof(stamp));
            EXPECT_NE(9u, stamp.posterId) << "slot " << i;
        }
    }
}

// A pair of named events through which a test holds a poster at a stage:
// the poster signals NAME_stalled there and waits for NAME_resume.
class CStallEvents
{
public:
    CStallEvents()
    {
        static LONG counter = 0;
        m_name = "QXTestStall" + std::to_string(GetCurrentProcessId()) + "_" +
                 std::to_string(InterlockedIncrement(&counter));
        m_stalled.Reset(CreateEventA(nullptr, TRUE, FALSE, (m_name + "_stalled").c_str()));
        m_resume.Reset(CreateEventA(nullptr, TRUE, FALSE, (m_name + "_resume").c_str()));
    }
    std::wstring Arguments(const wchar_t* stage) const
    {
        return std::wstring(L" --stall-at ") + stage + L" --stall-event " +
               std::wstring(m_name.begin(), m_name.end());
    }
    bool WaitStalled(DWORD timeoutMs) const { return WaitForSingleObject(m_stalled.Get(), timeoutMs) == WAIT_OBJECT_0; }
    void Resume() const { SetEvent(m_resume.Get()); }
    // A poster still held is let go, so that nothing waits for it.
    ~CStallEvents() { Resume(); }

private:
    std::string m_name;
    CHandle m_stalled;
    CHandle m_resume;
};

TEST_F(ReaderRecovery, PosterStalledPastTheLimitResumes_OtherPostersMessagesDeliveredWhole)
{
    const struct
    {
        const char* name;
        const wchar_t* stage;
    } cases[] = {
        // Its second half lands after the slot was given up: in a slot that
        // another poster may have filled since, unless nobody was given it.
        {"stalled half-way through its copy", L"half"},
        {"stalled before its copy", L"claimed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CreateFresh();
        MoveToSlot3();
        CStallEvents stall;
        CChildProcess staller;
        ASSERT_TRUE(staller.Start(PosterCommand(Posts(9, 0, 1) + stall.Arguments(c.stage))));
        ASSERT_TRUE(stall.WaitStalled(20000));

        // The reader gives slot 3 up; nothing is behind it yet.
        m_channel.SetReceiveBudget(kLimitMs / 2);
        CElapsed elapsed;
        Stamp stamp{};
        while (Header()->readIndex == 3 && elapsed.Ms() < 20000)
            EXPECT_FALSE(TakeOne(m_channel, &stamp));
        ASSERT_EQ(4, Header()->readIndex);
        m_channel.SetReceiveBudget(CRequestChannel::kReceiveBudgetMs);

        // Another poster goes once round the ring, past slot 3: it has
        // posted all, or waits for the reader.
        CChildProcess other;
        ASSERT_TRUE(other.Start(PosterCommand(Posts(2, 0, kSlots))));
        CElapsed posting;
        while (!other.Ended(0) && Header()->waitingPosters == 0 && posting.Ms() < 30000)
            Sleep(5);

        // The staller writes the rest of its message and fails.
        stall.Resume();
        EXPECT_EQ(DWORD(CRequestPoster::kErrorSlotGivenUp), staller.Wait(30000));
        // Poster 2's messages, byte for byte as written (TakeOne checks every
        // byte), in order; none of the staller's.
        ExpectReceived(m_channel, Sequence(2, 0, kSlots));
        EXPECT_EQ(0u, other.Wait(30000));
    }
}

struct BlockedReceive
{
    CRequestChannel* channel;
    bool taken;
    Stamp stamp;
};

DWORD WINAPI ReceiveOnce(LPVOID context)
{
    BlockedReceive* receive = static_cast<BlockedReceive*>(context);
    receive->taken = TakeOne(*receive->channel, &receive->stamp);
    return 0;
}

// A thread joined when it goes, whatever made the test end: a Receive ends
// within its budget.
struct CJoinedThread
{
    CHandle thread;
    ~CJoinedThread()
    {
        if (thread)
            WaitForSingleObject(thread.Get(), 60000);
    }
};

TEST_F(ReaderRecovery, ClaimWhileTheReaderBlocksOnAnEmptyRing_GivenUpAtTheLimitFromTheClaim)
{
    CreateFresh();
    MoveToSlot3();
    // The reader blocks on the empty ring with its whole budget before the claim.
    BlockedReceive receive{&m_channel, false, {}};
    CJoinedThread joined;
    joined.thread.Reset(CreateThread(nullptr, 0, ReceiveOnce, &receive, 0, nullptr));
    const HANDLE reader = joined.thread.Get();
    ASSERT_TRUE(joined.thread.IsValid());
    ASSERT_TRUE(WaitForWord(&Header()->waitingReaders, 1, 10000));

    CStallEvents stall;
    CChildProcess staller;
    ASSERT_TRUE(staller.Start(PosterCommand(Posts(9, 0, 1) + stall.Arguments(L"claimed"))));
    ASSERT_TRUE(stall.WaitStalled(20000));
    CElapsed sinceClaim;
    // Nothing wakes the reader: no later post, its budget (15 s) far away.
    ASSERT_TRUE(WaitForWord(&Header()->readIndex, 4, 12000)) << "not given up within 12 s of the claim";
    const double givenUp = sinceClaim.Ms();
    EXPECT_GE(givenUp, kLimitMs * 0.9) << "given up before its limit";
    std::printf("    claimed slot given up %.0f ms after the claim (limit %lu ms)\n", givenUp, kLimitMs);

    stall.Resume();
    EXPECT_EQ(DWORD(CRequestPoster::kErrorSlotGivenUp), staller.Wait(30000));
    ASSERT_EQ(0u, RunPoster(Posts(2, 0, 1)));
    ASSERT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(reader, 30000));
    EXPECT_TRUE(receive.taken);
    EXPECT_EQ(Stamp(2, 0), receive.stamp);
}

TEST_F(ReaderRecovery, StaleClaimAheadOfPostIndex_TimedFromTheClaim)
{
    // Longer than elsewhere, so that "from the claim" and "from when the
    // reader got there" are far apart.
    constexpr DWORD kLongLimitMs = 4000;
    CreateFresh();
    m_channel.SetStuckSlotLimit(kLongLimitMs);
    MoveToSlot3();
    // A poster that read an old postIndex claimed slot 5, ahead of the ring's
    // head, and died before it could find out that the slot was not its own.
    States()[5] = FillMarkOf(EndedThreadId());
    CElapsed sinceClaim;
    // The reader keeps looking at the ring, which has nothing for it, for the limit.
    m_channel.SetReceiveBudget(kLongLimitMs / 4);
    Stamp stamp{};
    while (sinceClaim.Ms() < kLongLimitMs)
        EXPECT_FALSE(TakeOne(m_channel, &stamp));
    m_channel.SetReceiveBudget(CRequestChannel::kReceiveBudgetMs);

    // Two messages fill slots 3 and 4; the third waits at slot 5, which the
    // reader gives up as soon as it gets there: its limit ran out long ago.
    CChildProcess poster;
    ASSERT_TRUE(poster.Start(PosterCommand(Posts(2, 0, 3))));
    ASSERT_TRUE(TakeOne(m_channel, &stamp));
    ASSERT_TRUE(TakeOne(m_channel, &stamp));
    CElapsed atSlot5;
    ASSERT_TRUE(TakeOne(m_channel, &stamp));
    EXPECT_EQ(Stamp(2, 2), stamp);
    EXPECT_LT(atSlot5.Ms(), kLongLimitMs / 2.0) << "the limit was counted again from the reader's arrival";
    EXPECT_EQ(0u, poster.Wait(30000));
}

// A thread of this process that stands for a poster still running: a mark
// that names it belongs to a poster that may still write into its slot.
class CRunningThread
{
public:
    CRunningThread()
    {
        m_end.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        m_thread.Reset(CreateThread(
            nullptr, 0, [](LPVOID end) -> DWORD { return WaitForSingleObject(static_cast<HANDLE>(end), INFINITE); },
            m_end.Get(), 0, &m_id));
    }
    ~CRunningThread() { End(); }
    DWORD Id() const { return m_id; }
    bool End()
    {
        SetEvent(m_end.Get());
        return !m_thread || WaitForSingleObject(m_thread.Get(), 10000) == WAIT_OBJECT_0;
    }

private:
    CHandle m_end;
    CHandle m_thread;
    DWORD m_id = 0;
};

// What a slot at postIndex holds that no message will ever be written into.
enum eHoleOwner
{
    eOwnerRunning, // given up under a poster that may still write into it
    eOwnerEnded,   // given up under a poster that has ended since
    eOwnerDone,    // abandoned: its poster said it is done
    eClaimEnded,   // claimed by a poster that ended before it moved postIndex
};

LONG HoleValue(eHoleOwner owner, DWORD running, DWORD ended)
{
    switch (owner) {
    case eOwnerRunning:
        return GivenUpFrom(FillMarkOf(running));
    case eOwnerEnded:
        return GivenUpFrom(FillMarkOf(ended));
    case eOwnerDone:
        return kSlotAbandoned;
    case eClaimEnded:
        break;
    }
    return FillMarkOf(ended);
}

TEST_F(ReaderRecovery, HoleAtPostIndex_PostGoesInAtOnceWhileTheRingHasRoom)
{
    // Far beyond the posts' time-out: nothing here waits for a give-up.
    constexpr DWORD kLongLimitMs = 120000;
    const struct
    {
        const char* name;
        eHoleOwner owner;
        uint32_t inFront; // unread messages before the hole (0: the ring is empty)
        bool reused;      // the post lands in the hole itself, else in the slot after it
    } cases[] = {
        {"given up, poster still running, empty ring", eOwnerRunning, 0, false},
        {"given up, poster still running, messages in front", eOwnerRunning, 2, false},
        {"given up, poster ended, empty ring", eOwnerEnded, 0, true},
        {"given up, poster ended, messages in front", eOwnerEnded, 2, true},
        {"abandoned, empty ring", eOwnerDone, 0, true},
        {"abandoned, messages in front", eOwnerDone, 2, true},
        {"claimed by a poster that ended, messages in front", eClaimEnded, 2, true},
        {"claimed by a poster that ended, empty ring", eClaimEnded, 0, true},
    };
    const DWORD ended = EndedThreadId();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CreateFresh();
        m_channel.SetStuckSlotLimit(kLongLimitMs);
        MoveToSlot3();
        if (c.inFront != 0) {
            ASSERT_EQ(0u, RunPoster(Posts(1, 3, c.inFront)));
        }
        const LONG hole = Header()->postIndex;
        CRunningThread running;
        States()[hole] = HoleValue(c.owner, running.Id(), ended);

        ASSERT_EQ(0u, RunPoster(Posts(2, 0, 1) + L" --timeout 10000")) << "the post waited for the hole";
        EXPECT_EQ((hole + (c.reused ? 1 : 2)) % LONG(kSlots), Header()->postIndex);
        ExpectReceived(m_channel, Sequence(1, 3, c.inFront) + Sequence(2, 0, 1));
        // A hole is passed only while its poster may still write into it:
        // once that poster has ended, two laps use every slot again.
        ASSERT_TRUE(running.End());
        CChildProcess laps;
        ASSERT_TRUE(laps.Start(PosterCommand(Posts(3, 0, 2 * kSlots))));
        ExpectDelivered(m_channel, Sequence(3, 0, 2 * kSlots), States());
        EXPECT_EQ(0u, laps.Wait(30000));
    }
}

TEST_F(ReaderRecovery, RingOfHoles_UsedAgainOnceNobodyCanWriteIntoThem)
{
    const struct
    {
        const char* name;
        eHoleOwner owner;
    } cases[] = {
        // Every slot given up under posters that still run: no room until they end.
        {"posters still running", eOwnerRunning},
        // What a hostile client leaves: marks of threads that are gone.
        {"marks of ended posters", eOwnerEnded},
        {"all abandoned", eOwnerDone},
    };
    const DWORD ended = EndedThreadId();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CreateFresh();
        MoveToSlot3();
        CRunningThread running;
        for (DWORD i = 0; i < kSlots; ++i)
            States()[i] = HoleValue(c.owner, running.Id(), ended);
        // The reader passes them all, round and round, while they are held.
        Stamp stamp{};
        m_channel.SetReceiveBudget(kLimitMs);
        EXPECT_FALSE(TakeOne(m_channel, &stamp));
        m_channel.SetReceiveBudget(CRequestChannel::kReceiveBudgetMs);
        if (c.owner == eOwnerRunning) {
            EXPECT_EQ(DWORD(ERROR_TIMEOUT), RunPoster(Posts(2, 0, 1) + L" --timeout 500"))
                << "a slot was used while its poster could still write into it";
            ASSERT_TRUE(running.End());
        }
        CChildProcess poster;
        ASSERT_TRUE(poster.Start(PosterCommand(Posts(2, 0, 2 * kSlots))));
        ExpectDelivered(m_channel, Sequence(2, 0, 2 * kSlots), States());
        EXPECT_EQ(0u, poster.Wait(30000));
    }
}

TEST_F(ReaderRecovery, NoPostersValueInEveryStateWord_ReclaimedWithinOneLimit)
{
    // Long enough that a slot given up only one limit after the one before
    // it (eight limits for the ring) would run past the post's time-out.
    constexpr DWORD kRingLimitMs = 3000;
    const LONG garbage[] = {
        0x55,       // no state, no poster's mark
        0x1235,     // no state, no poster's mark
        eSlotReading,
        eSlotFilling, // a mark that names no thread
    };
    for (const LONG value : garbage) {
        SCOPED_TRACE(value);
        CreateFresh();
        m_channel.SetStuckSlotLimit(kRingLimitMs);
        MoveToSlot3();
        for (DWORD i = 0; i < kSlots; ++i)
            States()[i] = value;
        CChildProcess poster;
        ASSERT_TRUE(poster.Start(PosterCommand(Posts(2, 0, 2 * kSlots) + L" --timeout " +
                                               std::to_wstring(4 * kRingLimitMs))));
        ExpectDelivered(m_channel, Sequence(2, 0, 2 * kSlots), States());
        EXPECT_EQ(0u, poster.Wait(30000)) << "the first post waited more than four limits";
        EXPECT_EQ(kSlots, m_channel.SlotsGivenUp());
        EXPECT_EQ(0u, m_channel.RequestsDropped());
    }
}

// ---------------------------------------------------------------------------
// A restart of the reader: the first endpoint closes (the service stopped)
// while a client holds the channel's objects, and a new one creates it again.

struct Restart
{
    CRequestChannel* first;
    volatile LONG* states;
    unsigned char* slot3;
    DWORD deadThread; // a thread of this process that has ended
};

// Messages 100-104 of 100-107 read; 105-107 unread in the middle of the ring.
void FiveRead(Restart& r)
{
    Stamp stamp{};
    for (uint32_t i = 0; i < 5; ++i)
        ASSERT_TRUE(TakeOne(*r.first, &stamp));
}

// 100-102 read; 103 taken, its copy never finished (readIndex already moved on).
void TakenNotCopied(Restart& r)
{
    Stamp stamp{};
    for (uint32_t i = 0; i < 3; ++i)
        ASSERT_TRUE(TakeOne(*r.first, &stamp));
    volatile LONG* state = nullptr;
    ASSERT_NE(nullptr, r.first->Receive(&state, nullptr));
    ASSERT_EQ(4, r.first->Header()->readIndex);
}

// 100-102 read; the reader ended between taking slot 3 and moving readIndex.
void TakenBeforeReadIndexMoved(Restart& r)
{
    Stamp stamp{};
    for (uint32_t i = 0; i < 3; ++i)
        ASSERT_TRUE(TakeOne(*r.first, &stamp));
    r.states[3] = eSlotReading;
}

// 100-102 read; a poster that claimed slot 3 died half-way through its copy,
// and the reader ended in the middle of giving the slot up: the slot already
// names the dead poster as given up, readIndex not moved yet.
void GiveUpCutShort(Restart& r, bool readIndexMoved)
{
    Stamp stamp{};
    for (uint32_t i = 0; i < 3; ++i)
        ASSERT_TRUE(TakeOne(*r.first, &stamp));
    std::memset(r.slot3 + 100, 0, 100); // the half it never wrote
    r.states[3] = GivenUpFrom(FillMarkOf(r.deadThread));
    if (readIndexMoved)
        r.first->Header()->readIndex = 4;
}
void GiveUpCutBeforeReadIndexMoved(Restart& r)
{
    GiveUpCutShort(r, false);
}
void GiveUpCutAfterReadIndexMoved(Restart& r)
{
    GiveUpCutShort(r, true);
}

TEST(ReaderRestart, UnreadMessagesDeliveredOnceInOrder)
{
    const struct
    {
        const char* name;
        void (*before)(Restart&);
        bool holdSegment;       // the client keeps segment 0 (and so the messages) open
        LONG readIndex;         // after the second Create
        LONG postIndex;
        uint32_t firstUnread;   // of 100-107; 108 when none is left
    } cases[] = {
        {"unread messages in the middle of the ring", FiveRead, true, 5, 0, 105},
        {"a slot the reader took but did not copy", TakenNotCopied, true, 3, 0, 103},
        {"a slot taken before readIndex moved", TakenBeforeReadIndexMoved, true, 3, 0, 103},
        // Nobody kept the messages: the ring starts at 0 like a fresh one.
        {"only the header kept", FiveRead, false, 0, 0, 108},
        // A give-up is never taken for an unfinished read: the dead poster's
        // partial message is not delivered, nor slot 3's previous one.
        {"a give-up cut short before readIndex moved", GiveUpCutBeforeReadIndexMoved, true, 3, 0, 104},
        {"a give-up cut short after readIndex moved", GiveUpCutAfterReadIndexMoved, true, 4, 0, 104},
    };
    const DWORD deadThread = EndedThreadId();
    ASSERT_NE(0u, deadThread);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CForeignView header, segment;
        {
            CRequestChannel first;
            ASSERT_TRUE(first.Create(kSlotSize, kSlots));
            ASSERT_TRUE(header.Open(ChannelObjectName(kChannelBaseName, kHeaderSuffix), kHeaderBytes));
            ASSERT_TRUE(segment.Open(SegmentName(kChannelBaseName, 0), kSegmentBytes));
            ASSERT_EQ(0u, RunPoster(Posts(1, 100, 8)));
            Restart restart{&first, reinterpret_cast<volatile LONG*>(segment.Bytes() + kStatesOffset),
                            segment.Bytes() + 3 * kSlotSize, deadThread};
            c.before(restart);
            if (!c.holdSegment)
                segment.Close();
        }

        CRequestChannel second;
        ASSERT_TRUE(second.Create(kSlotSize, kSlots));
        EXPECT_EQ(c.readIndex, second.Header()->readIndex);
        EXPECT_EQ(c.postIndex, second.Header()->postIndex);
        CChildProcess later;
        ASSERT_TRUE(later.Start(PosterCommand(Posts(2, 0, 20))));
        if (!segment.Bytes())
            segment.Open(SegmentName(kChannelBaseName, 0), kSegmentBytes);
        ExpectDelivered(second, Sequence(1, c.firstUnread, 108 - c.firstUnread) + Sequence(2, 0, 20),
                        reinterpret_cast<volatile LONG*>(segment.Bytes() + kStatesOffset));
        EXPECT_EQ(0u, later.Wait(30000));
    }
}

} // namespace
