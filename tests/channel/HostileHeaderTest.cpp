// Any authenticated process may write the header and the state words. The
// reader must neither crash, nor take a slot under a geometry it did not
// create, nor map more than kMaxSegments segments, nor spin through its
// budget; and a new Create brings the channel back.
#include "ChannelTestSupport.h"
#include "channel/RequestChannel.h"
#include "channel/client/RequestPoster.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr DWORD kSlotSize = 65536;
constexpr DWORD kSlots = 8;
constexpr DWORD kBudgetMs = 400;

struct Hostility
{
    ChannelHeader* header;
    volatile LONG* states; // segment 0's state words
    CHandle extra;         // an object the row creates and keeps
};

double ThreadCpuMs()
{
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user))
        return 0;
    const auto ms = [](const FILETIME& t) {
        return double((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000.0;
    };
    return ms(kernel) + ms(user);
}

TEST(HostileHeader, ReaderStaysInsideItsSegments_AndRecoversOnCreate)
{
    const struct
    {
        const char* name;
        void (*apply)(Hostility&);
        DWORD segmentsAfter; // what the reader has mapped afterwards
    } cases[] = {
        // Geometry that disagrees with what the reader created; slot 0 looks
        // ready, but must not be taken under such a header.
        {"slotSize 0", [](Hostility& h) { h.header->slotSize = 0; h.states[0] = eSlotReady; }, 1},
        {"slotSize huge", [](Hostility& h) { h.header->slotSize = LONG(0xFFFFFFFF); h.states[0] = eSlotReady; }, 1},
        {"slotSize one more", [](Hostility& h) { h.header->slotSize = 65537; h.states[0] = eSlotReady; }, 1},
        {"slotsPerSegment 0", [](Hostility& h) { h.header->slotsPerSegment = 0; h.states[0] = eSlotReady; }, 1},
        {"slotsPerSegment huge",
         [](Hostility& h) { h.header->slotsPerSegment = LONG(0xFFFFFFFF); h.states[0] = eSlotReady; }, 1},
        {"slotsPerSegment 1", [](Hostility& h) { h.header->slotsPerSegment = 1; h.states[0] = eSlotReady; }, 1},
        {"capacity 0", [](Hostility& h) { h.header->capacity = 0; h.states[0] = eSlotReady; }, 1},
        // Capacity is followed, but only up to kMaxSegments segments.
        {"capacity huge, readIndex 8",
         [](Hostility& h) { h.header->capacity = LONG(0xFFFFFFFF); h.header->readIndex = 8; }, kMaxSegments},
        {"capacity 0x80000000, readIndex 511 (last slot within the bound)",
         [](Hostility& h) { h.header->capacity = LONG(0x80000000); h.header->readIndex = 511; }, kMaxSegments},
        {"capacity huge, readIndex 512 (first slot beyond the bound)",
         [](Hostility& h) { h.header->capacity = LONG(0xFFFFFFFF); h.header->readIndex = 512; }, 1},
        {"reserveSegments huge, capacity 16, readIndex 8",
         [](Hostility& h) {
             h.header->reserveSegments = LONG(0xFFFFFFFF);
             h.header->capacity = 16;
             h.header->readIndex = 8;
         },
         3},
        // readIndex not below capacity.
        {"readIndex 8 with capacity 8",
         [](Hostility& h) {
             h.header->readIndex = 8;
             for (int i = 0; i < 8; ++i)
                 h.states[i] = eSlotReady;
         },
         1},
        {"readIndex huge", [](Hostility& h) { h.header->readIndex = LONG(0xFFFFFFFF); }, 1},
        {"readIndex negative", [](Hostility& h) { h.header->readIndex = LONG(0x80000000); }, 1},
        // State words that never become ready.
        {"state word 3 (reading)", [](Hostility& h) { h.states[0] = eSlotReading; }, 1},
        {"state word 1 (a poster died while filling)", [](Hostility& h) { h.states[0] = eSlotFilling; }, 1},
        {"state word junk", [](Hostility& h) { h.states[0] = LONG(0xDEADBEEF); }, 1},
        // Segment 1 made beforehand by someone else, too small for the geometry.
        {"undersized segment 1, capacity 16, readIndex 8",
         [](Hostility& h) {
             h.extra.Reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | SEC_COMMIT, 0, 4,
                                              SegmentName(kChannelBaseName, 1).c_str()));
             h.header->capacity = 16;
             h.header->readIndex = 8;
         },
         1},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CRequestChannel channel;
        ASSERT_TRUE(channel.Create(kSlotSize, kSlots));
        channel.SetReceiveBudget(kBudgetMs);
        {
            CForeignView header, segment;
            ASSERT_TRUE(header.Open(ChannelObjectName(kChannelBaseName, kHeaderSuffix), kHeaderBytes));
            ASSERT_TRUE(segment.Open(SegmentName(kChannelBaseName, 0), 524320));
            Hostility hostility{header.Header(), reinterpret_cast<volatile LONG*>(segment.Bytes() + 524288), {}};
            c.apply(hostility);
            ChannelHeader before;
            std::memcpy(&before, const_cast<ChannelHeader*>(header.Header()), sizeof(before));
            const LONG state0 = hostility.states[0];

            CElapsed elapsed;
            const double cpuBefore = ThreadCpuMs();
            volatile LONG* state = nullptr;
            EXPECT_EQ(nullptr, channel.Receive(&state, nullptr));
            const double cpu = ThreadCpuMs() - cpuBefore;
            EXPECT_GE(elapsed.Ms(), kBudgetMs * 0.9);
            EXPECT_LE(elapsed.Ms(), kBudgetMs + 3000.0);
            // Blocked on the events rather than burning the budget in a loop.
            EXPECT_LE(cpu, elapsed.Ms() * 0.25) << "cpu " << cpu << " ms of " << elapsed.Ms() << " ms";
            EXPECT_EQ(c.segmentsAfter, channel.SegmentsMapped());
            EXPECT_FALSE(ObjectExists(SegmentName(kChannelBaseName, kMaxSegments)));
            EXPECT_EQ(before.readIndex, header.Header()->readIndex) << "the reader moved on";
            EXPECT_EQ(state0, hostility.states[0]) << "slot 0 was touched";
            EXPECT_LE(channel.HeaderSlotSize(), kSlotSize);
            // The hostile party goes away; its objects with it.
        }

        // A new Create rewrites the header; posting and receiving work again.
        ASSERT_TRUE(channel.Create(kSlotSize, kSlots));
        channel.SetReceiveBudget(5000);
        CRequestPoster poster;
        ASSERT_TRUE(poster.Open());
        for (uint32_t i = 0; i < 3; ++i)
            ASSERT_TRUE(poster.PostRequest(0, &i, sizeof(i), 1000)) << poster.LastError();
        for (uint32_t i = 0; i < 3; ++i) {
            volatile LONG* state = nullptr;
            const unsigned char* slot = channel.Receive(&state, nullptr);
            ASSERT_NE(nullptr, slot) << "message " << i;
            uint32_t value = 0;
            std::memcpy(&value, slot + kMessageHeaderBytes, sizeof(value));
            EXPECT_EQ(i, value);
            channel.ReleaseSlot(state);
        }
        EXPECT_EQ(1u, channel.SegmentsMapped());
    }
}

TEST(HostileHeader, FollowsALargerCapacity)
{
    CRequestChannel channel;
    ASSERT_TRUE(channel.Create(kSlotSize, kSlots));
    channel.SetReceiveBudget(5000);
    // The posting side may enlarge the ring; both ends follow it.
    channel.Header()->capacity = 16;
    CRequestPoster poster;
    ASSERT_TRUE(poster.Open());
    for (uint32_t round = 0; round < 2; ++round) {
        for (uint32_t i = 0; i < 16; ++i) {
            const uint32_t value = round * 16 + i;
            ASSERT_TRUE(poster.PostRequest(0, &value, sizeof(value), 1000)) << poster.LastError();
        }
        for (uint32_t i = 0; i < 16; ++i) {
            volatile LONG* state = nullptr;
            const unsigned char* slot = channel.Receive(&state, nullptr);
            ASSERT_NE(nullptr, slot);
            uint32_t value = 0;
            std::memcpy(&value, slot + kMessageHeaderBytes, sizeof(value));
            EXPECT_EQ(round * 16 + i, value);
            channel.ReleaseSlot(state);
        }
        EXPECT_EQ(0, channel.Header()->readIndex);
    }
    // max(index, capacity) / slotsPerSegment: segments 0 to 2.
    EXPECT_EQ(3u, channel.SegmentsMapped());
}

TEST(HostileHeader, HeaderSlotSizeIsBoundedByTheRealSlot)
{
    CRequestChannel channel;
    ASSERT_TRUE(channel.Create(4096, 4));
    const struct
    {
        LONG written;
        DWORD reported;
    } cases[] = {
        {4096, 4096}, {4095, 4095}, {4097, 4096}, {65536, 4096}, {LONG(0xFFFFFFFF), 4096}, {0, 0},
    };
    for (const auto& c : cases) {
        channel.Header()->slotSize = c.written;
        EXPECT_EQ(c.reported, channel.HeaderSlotSize()) << c.written;
    }
}

} // namespace
