// The reader against posters in other processes: order, wrap-around, waiting,
// stop signals and the lost readIndex race.
#include "ChannelTestSupport.h"
#include "PosterMessage.h"
#include "channel/RequestChannel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

namespace {

constexpr DWORD kSlotSize = 65536;
constexpr DWORD kSlots = 8;

class RequestChannelTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_channel.Create(kSlotSize, kSlots)) << m_channel.LastError();
        m_buffer.resize(kSlotSize);
    }

    // Takes one message the way the service's worker does: copy, free, stamp.
    bool ReceiveOne(PosterStamp* stamp, HANDLE extra = nullptr)
    {
        volatile LONG* state = nullptr;
        unsigned char* slot = m_channel.Receive(&state, extra);
        if (slot == nullptr)
            return false;
        const DWORD count = m_channel.MessageLength(slot);
        std::memcpy(m_buffer.data(), slot, count);
        m_channel.ReleaseSlot(state);
        const bool intact = CheckPosterMessage(m_buffer.data(), count, stamp);
        EXPECT_TRUE(intact) << "torn or foreign message";
        return intact;
    }

    CRequestChannel m_channel;
    std::vector<unsigned char> m_buffer;
};

TEST_F(RequestChannelTest, MessagesArriveInOrder_PostersInOtherProcesses)
{
    const struct
    {
        const char* name;
        DWORD posters;
        DWORD messagesEach;
        DWORD size;
    } cases[] = {
        {"one poster, several wraps", 1, 50, 300},
        {"one poster, whole slots", 1, 20, kSlotSize},
        {"three posters racing for slots", 3, 40, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(m_channel.Create(kSlotSize, kSlots));
        const std::wstring startName = L"QXChannelTestStart" + std::to_wstring(GetCurrentProcessId());
        CHandle start(CreateEventW(nullptr, TRUE, FALSE, startName.c_str()));
        ASSERT_TRUE(start.IsValid());
        CHandle ready(CreateSemaphoreW(nullptr, 0, LONG(c.posters), (startName + L"_ready").c_str()));
        ASSERT_TRUE(ready.IsValid());
        std::vector<CChildProcess> posters(c.posters);
        for (DWORD p = 0; p < c.posters; ++p) {
            ASSERT_TRUE(posters[p].Start(PosterCommand(
                L"--count " + std::to_wstring(c.messagesEach) + L" --size " + std::to_wstring(c.size) +
                L" --id " + std::to_wstring(p + 1) + L" --start-event " + startName)));
        }
        // Posters wait for this, so they contend for slots from the first message on.
        for (DWORD p = 0; p < c.posters; ++p)
            ASSERT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(ready.Get(), 60000)) << "a poster never got ready";
        SetEvent(start.Get());

        std::map<uint32_t, uint32_t> nextSequence;
        for (DWORD i = 0; i < c.posters * c.messagesEach; ++i) {
            PosterStamp stamp{};
            ASSERT_TRUE(ReceiveOne(&stamp)) << "message " << i;
            EXPECT_EQ(c.size, stamp.size);
            ASSERT_GE(stamp.posterId, 1u);
            ASSERT_LE(stamp.posterId, c.posters);
            // Each poster's messages in its order, none missing or repeated.
            ASSERT_EQ(nextSequence[stamp.posterId], stamp.sequence) << "poster " << stamp.posterId;
            ++nextSequence[stamp.posterId];
        }
        for (DWORD p = 0; p < c.posters; ++p)
            EXPECT_EQ(0u, posters[p].Wait(30000)) << "poster " << p + 1;

        // Nothing left over: no message was delivered twice.
        m_channel.SetReceiveBudget(300);
        volatile LONG* state = nullptr;
        EXPECT_EQ(nullptr, m_channel.Receive(&state, nullptr));
        m_channel.SetReceiveBudget(CRequestChannel::kReceiveBudgetMs);
        const DWORD total = c.posters * c.messagesEach;
        EXPECT_EQ(LONG(total % kSlots), m_channel.Header()->readIndex);
        EXPECT_EQ(LONG(total % kSlots), m_channel.Header()->postIndex);
        EXPECT_EQ(0, m_channel.Header()->waitingReaders);
        EXPECT_EQ(0, m_channel.Header()->waitingPosters);
    }
}

TEST_F(RequestChannelTest, ReadIndexWrapsToZero_AfterSlot7)
{
    ASSERT_EQ(0u, RunPoster(L"--count 8 --size 100"));
    for (DWORD i = 0; i < kSlots; ++i) {
        EXPECT_EQ(LONG(i), m_channel.Header()->readIndex);
        PosterStamp stamp{};
        ASSERT_TRUE(ReceiveOne(&stamp));
        EXPECT_EQ(i, stamp.sequence);
    }
    EXPECT_EQ(0, m_channel.Header()->readIndex);
}

TEST_F(RequestChannelTest, ReturnsNoneAfterItsBudget_EmptyRing)
{
    // The budget a reader gets unless it is given another; the wait itself is
    // checked with a shorter one.
    EXPECT_EQ(15000u, CRequestChannel::kReceiveBudgetMs);
    m_channel.SetReceiveBudget(1500);
    CElapsed elapsed;
    volatile LONG* state = reinterpret_cast<volatile LONG*>(1);
    EXPECT_EQ(nullptr, m_channel.Receive(&state, nullptr));
    EXPECT_EQ(nullptr, state);
    EXPECT_GE(elapsed.Ms(), 1450.0) << "returned before its budget";
    EXPECT_EQ(0, m_channel.Header()->waitingReaders);
}

// Below: a budget far longer than the bound each test checks, so that a
// Receive that returns within the bound was ended by what the test did.
constexpr DWORD kLongBudgetMs = 120000;
constexpr double kWellWithinMs = 60000.0;

// Sets the stop event once the reader counts itself as waiting.
struct StopWhenWaiting
{
    const volatile LONG* waitingReaders;
    HANDLE stop;
    bool sawWaiting = false;
};

DWORD WINAPI SetStopWhenWaiting(LPVOID context)
{
    StopWhenWaiting* s = static_cast<StopWhenWaiting*>(context);
    s->sawWaiting = WaitForWord(s->waitingReaders, 1, 30000);
    SetEvent(s->stop);
    return 0;
}

TEST_F(RequestChannelTest, StopEventEndsBlockedReceiveAtOnce)
{
    m_channel.SetReceiveBudget(kLongBudgetMs);
    CHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    StopWhenWaiting stopper{&m_channel.Header()->waitingReaders, stop.Get()};
    CHandle thread(CreateThread(nullptr, 0, SetStopWhenWaiting, &stopper, 0, nullptr));
    ASSERT_TRUE(thread.IsValid());
    CElapsed elapsed;
    volatile LONG* state = nullptr;
    EXPECT_EQ(nullptr, m_channel.Receive(&state, stop.Get()));
    EXPECT_LE(elapsed.Ms(), kWellWithinMs) << "the stop event did not end the wait";
    ASSERT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(thread.Get(), 30000));
    EXPECT_TRUE(stopper.sawWaiting) << "the stop came before the reader waited";
    // While the stop event stays signalled, Receive keeps returning at once.
    CElapsed again;
    EXPECT_EQ(nullptr, m_channel.Receive(&state, stop.Get()));
    EXPECT_LE(again.Ms(), kWellWithinMs);
}

TEST_F(RequestChannelTest, StopAllReturnsNoneAtOnce_ReadySlotTakenFirst)
{
    ASSERT_EQ(0u, RunPoster(L"--count 1 --size 64 --stop-all"));
    EXPECT_TRUE(m_channel.StopAllRaised());

    m_channel.SetReceiveBudget(kLongBudgetMs);
    CElapsed elapsed;
    PosterStamp stamp{};
    ASSERT_TRUE(ReceiveOne(&stamp));
    EXPECT_EQ(0u, stamp.sequence);
    volatile LONG* state = nullptr;
    EXPECT_EQ(nullptr, m_channel.Receive(&state, nullptr));
    EXPECT_LE(elapsed.Ms(), kWellWithinMs);
    EXPECT_TRUE(m_channel.StopAllRaised());
}

TEST_F(RequestChannelTest, PosterRaisingStopAllEndsBlockedReceive)
{
    m_channel.SetReceiveBudget(kLongBudgetMs);
    CChildProcess poster;
    ASSERT_TRUE(poster.Start(PosterCommand(L"--stop-all")));
    CElapsed elapsed;
    volatile LONG* state = nullptr;
    EXPECT_EQ(nullptr, m_channel.Receive(&state, nullptr));
    EXPECT_LE(elapsed.Ms(), kWellWithinMs) << "blocked for the whole budget despite stop-all";
    EXPECT_EQ(0u, poster.Wait(10000));
    EXPECT_TRUE(m_channel.StopAllRaised());
}

TEST_F(RequestChannelTest, SignalledStopAllEventWithClearedFlag_FlagSetAgain)
{
    // A client signals the event but clears the flag: without the flag the
    // worker would call Receive again and again, each returning at once.
    m_channel.RaiseStopAll();
    m_channel.Header()->flags = kFlagCreated;
    m_channel.SetReceiveBudget(kLongBudgetMs);
    CElapsed elapsed;
    volatile LONG* state = nullptr;
    EXPECT_EQ(nullptr, m_channel.Receive(&state, nullptr));
    EXPECT_LE(elapsed.Ms(), kWellWithinMs);
    EXPECT_TRUE(m_channel.StopAllRaised());
}

TEST_F(RequestChannelTest, SecondCreateResetsStopAll_EventHeldByAnotherProcess)
{
    // A client raised stop-all and keeps its handles: the manual-reset event
    // stays signalled across the service's restart.
    CChildProcess holder;
    ASSERT_TRUE(holder.Start(PosterCommand(L"--stop-all --hold 60000")));
    for (int i = 0; i < 100 && !m_channel.StopAllRaised(); ++i)
        Sleep(100);
    ASSERT_TRUE(m_channel.StopAllRaised());
    m_channel.Destroy();

    ASSERT_TRUE(m_channel.Create(kSlotSize, kSlots));
    EXPECT_FALSE(m_channel.StopAllRaised());
    CHandle stopAll(OpenEventW(SYNCHRONIZE, FALSE, ChannelObjectName(kChannelBaseName, kStopAllEventSuffix).c_str()));
    ASSERT_TRUE(stopAll.IsValid());
    EXPECT_EQ(DWORD(WAIT_TIMEOUT), WaitForSingleObject(stopAll.Get(), 0)) << "still signalled after Create";

    // Receive waits for its budget again instead of returning at once.
    m_channel.SetReceiveBudget(3000);
    CElapsed elapsed;
    volatile LONG* state = nullptr;
    EXPECT_EQ(nullptr, m_channel.Receive(&state, nullptr));
    EXPECT_GE(elapsed.Ms(), 2700.0);

    // A client raising stop-all afterwards still stops the reader.
    ASSERT_EQ(0u, RunPoster(L"--stop-all"));
    EXPECT_TRUE(m_channel.StopAllRaised());
    CElapsed again;
    EXPECT_EQ(nullptr, m_channel.Receive(&state, nullptr));
    EXPECT_LE(again.Ms(), 1000.0);
}

struct RaceStage
{
    ChannelHeader* header;
    int calls;
};

void AnotherReaderMovesOn(void* context, DWORD index)
{
    RaceStage* stage = static_cast<RaceStage*>(context);
    // Only the first take loses: another reader has already moved readIndex on.
    if (stage->calls++ == 0)
        stage->header->readIndex = static_cast<LONG>(index + 1);
}

TEST_F(RequestChannelTest, LostReadIndexRacePutsSlotBackAsReady)
{
    ASSERT_EQ(0u, RunPoster(L"--count 2 --size 64"));
    RaceStage stage{m_channel.Header(), 0};
    m_channel.SetTakeHook(AnotherReaderMovesOn, &stage);

    volatile LONG* state = nullptr;
    unsigned char* slot = m_channel.Receive(&state, nullptr);
    ASSERT_NE(nullptr, slot);
    PosterStamp stamp{};
    ASSERT_TRUE(CheckPosterMessage(slot, kSlotSize, &stamp));
    EXPECT_EQ(1u, stamp.sequence) << "the slot at the moved index is the one taken";
    EXPECT_EQ(eSlotReading, *state);
    EXPECT_EQ(eSlotReady, state[-1]) << "slot 0 was not put back";
    EXPECT_EQ(2, m_channel.Header()->readIndex);
    EXPECT_EQ(2, stage.calls);
    m_channel.ReleaseSlot(state);
}

TEST(HandleRequest, ReadsKindZeroText)
{
    const struct
    {
        const char* name;
        std::string bytes;
        bool result;
        std::string text;
    } cases[] = {
        {"empty", std::string(), false, ""},
        {"7 bytes, one short of the message header", std::string(7, '\0'), false, ""},
        {"8 bytes, kind 0: empty text", std::string(8, '\0'), true, ""},
        {"kind 0 with text and a zero byte", std::string(8, '\0') + std::string("ab\0c", 4), true,
         std::string("ab\0c", 4)},
        {"kind 1: accepted, text not read", std::string("\0\0\0\0\1\0\0\0xyz", 11), true, ""},
        {"kind 0x01000000", std::string("\0\0\0\0\0\0\0\1xyz", 11), true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text = "stale";
        const auto* bytes = reinterpret_cast<const unsigned char*>(c.bytes.data());
        EXPECT_EQ(c.result, HandleRequest(bytes, c.bytes.size(), &text));
        EXPECT_EQ(c.text, text);
        EXPECT_EQ(c.result, HandleRequest(bytes, c.bytes.size()));
    }
}

TEST(RequestChannel, CloseOnNeverOpenedEndpoint_SucceedsAndChangesNothing)
{
    CRequestChannel channel;
    EXPECT_TRUE(channel.Close());
    EXPECT_FALSE(channel.IsOpen());
    EXPECT_FALSE(channel.StopAllRaised());
    EXPECT_EQ(0u, channel.HeaderSlotSize());
    volatile LONG* state = nullptr;
    EXPECT_EQ(nullptr, channel.Receive(&state, nullptr));
    channel.RaiseStopAll(); // nothing to raise it on
    channel.ReleaseSlot(nullptr);
}

TEST(RequestChannel, CreateRejectsUnusableGeometry)
{
    const struct
    {
        DWORD slotSize;
        DWORD slotsPerSegment;
    } cases[] = {{0, 8}, {65536, 0}, {0x7FFFFFFF, 2}, {1, 0x10000000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.slotSize << " x " << c.slotsPerSegment);
        CRequestChannel channel;
        EXPECT_FALSE(channel.Create(c.slotSize, c.slotsPerSegment));
        EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
        EXPECT_FALSE(channel.IsOpen());
    }
}

} // namespace
