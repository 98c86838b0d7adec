// The reader recovering from what other parties leave behind: a poster that
// dies or stalls while it fills a slot, and a restart of the reader while a
// client keeps the channel open with messages still unread.
#include "ChannelTestSupport.h"
#include "PosterMessage.h"
#include "channel/RequestChannel.h"
#include "channel/client/RequestPoster.h"

#include <gtest/gtest.h>

#include <algorithm>
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
    std::vector<unsigned char> copy(slot, slot + std::min(kSlotSize, channel.HeaderSlotSize()));
    channel.ReleaseSlot(state);
    PosterStamp read{};
    EXPECT_TRUE(CheckPosterMessage(copy.data(), copy.size(), &read)) << "torn or foreign message";
    *stamp = {read.posterId, read.sequence};
    return true;
}

// Receives exactly the expected messages in order, then finds the ring empty
// and consistent: nothing lost, reordered or delivered twice.
void ExpectDelivered(CRequestChannel& channel, const std::vector<Stamp>& expected, const volatile LONG* states)
{
    std::vector<Stamp> received;
    Stamp stamp{};
    while (received.size() < expected.size() && TakeOne(channel, &stamp))
        received.push_back(stamp);
    EXPECT_EQ(expected, received);
    channel.SetReceiveBudget(300);
    EXPECT_FALSE(TakeOne(channel, &stamp)) << "one more: " << stamp.first << "/" << stamp.second;
    channel.SetReceiveBudget(CRequestChannel::kReceiveBudgetMs);
    EXPECT_EQ(channel.Header()->readIndex, channel.Header()->postIndex);
    for (DWORD i = 0; i < kSlots; ++i)
        EXPECT_EQ(eSlotFree, states[i]) << "slot " << i;
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

        ExpectDelivered(m_channel, Sequence(1, 3, 3) + Sequence(2, 0, 10), States());
        EXPECT_EQ(DWORD(CRequestPoster::kErrorSlotGivenUp), slow.Wait(30000));
        EXPECT_EQ(0u, later.Wait(30000));
        // Every slot has been filled again since; none holds the slow poster's
        // message, written after its slot was given up.
        for (DWORD i = 0; i < kSlots; ++i) {
            uint32_t word0 = 0;
            std::memcpy(&word0, m_segment.Bytes() + size_t(i) * kSlotSize, sizeof(word0));
            EXPECT_NE(9u, word0) << "slot " << i;
        }
    }
}

// ---------------------------------------------------------------------------
// A restart of the reader: the first endpoint closes (the service stopped)
// while a client holds the channel's objects, and a new one creates it again.

struct Restart
{
    CRequestChannel* first;
    volatile LONG* states;
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
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CForeignView header, segment;
        {
            CRequestChannel first;
            ASSERT_TRUE(first.Create(kSlotSize, kSlots));
            ASSERT_TRUE(header.Open(ChannelObjectName(kChannelBaseName, kHeaderSuffix), kHeaderBytes));
            ASSERT_TRUE(segment.Open(SegmentName(kChannelBaseName, 0), kSegmentBytes));
            ASSERT_EQ(0u, RunPoster(Posts(1, 100, 8)));
            Restart restart{&first, reinterpret_cast<volatile LONG*>(segment.Bytes() + kStatesOffset)};
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
