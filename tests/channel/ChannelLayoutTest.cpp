// Names, sizes and the security of the channel's objects, and what Create
// rewrites in objects that already exist.
#include "ChannelTestSupport.h"
#include "channel/RequestChannel.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

namespace {

TEST(ChannelLayout, SegmentNamesUsePlainDecimalNumbers)
{
    const std::wstring base = L"Global\\QXupd{6171079A-819B-4FE7-9EA9-C55682639339}";
    EXPECT_EQ(base, std::wstring(kChannelBaseName));
    const struct
    {
        DWORD segment;
        const wchar_t* name;
    } cases[] = {
        {0, L"Global\\QXupd{6171079A-819B-4FE7-9EA9-C55682639339}_data_0"},
        {1, L"Global\\QXupd{6171079A-819B-4FE7-9EA9-C55682639339}_data_1"},
        {10, L"Global\\QXupd{6171079A-819B-4FE7-9EA9-C55682639339}_data_10"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.name, SegmentName(kChannelBaseName, c.segment));
    EXPECT_EQ(base + L"_evt_stopall", ChannelObjectName(kChannelBaseName, kStopAllEventSuffix));
}

TEST(ChannelLayout, SegmentSizeAndStateWordOffset)
{
    const struct
    {
        DWORD slotSize;
        DWORD slotsPerSegment;
        uint64_t statesOffset;
        uint64_t segmentBytes;
    } cases[] = {
        {65536, 8, 524288, 524320}, // the service's channel
        {3, 5, 16, 36},             // 15 rounded up to 16
        {4, 5, 20, 40},             // already a multiple of 4
        {1, 1, 4, 8},
        {5, 3, 16, 28},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.slotSize << " x " << c.slotsPerSegment);
        EXPECT_EQ(c.statesOffset, StateWordsOffset(c.slotSize, c.slotsPerSegment));
        EXPECT_EQ(c.segmentBytes, SegmentBytes(c.slotSize, c.slotsPerSegment));
    }
}

TEST(ChannelLayout, CreateWritesTheHeaderAndMapsSegmentZero)
{
    CRequestChannel channel;
    ASSERT_TRUE(channel.Create(65536, 8));
    const ChannelHeader* header = channel.Header();
    EXPECT_EQ(8, header->capacity);
    EXPECT_EQ(0, header->postIndex);
    EXPECT_EQ(0, header->readIndex);
    EXPECT_EQ(0, header->waitingPosters);
    EXPECT_EQ(0, header->waitingReaders);
    EXPECT_EQ(8, header->slotsPerSegment);
    EXPECT_EQ(65536, header->slotSize);
    EXPECT_EQ(524288, header->segmentBytes);
    EXPECT_EQ(2, header->reserveSegments);
    EXPECT_EQ(0, header->reserved);
    EXPECT_EQ(kFlagCreated, header->flags);
    EXPECT_EQ(1u, channel.SegmentsMapped());
    EXPECT_EQ(8u, channel.SlotsMapped());
    EXPECT_EQ(65536u, channel.HeaderSlotSize());
    EXPECT_TRUE(ObjectExists(ChannelObjectName(kChannelBaseName, kSignatureSuffix)));
    EXPECT_FALSE(ObjectExists(SegmentName(kChannelBaseName, 1)));

    // A segment of 524,320 bytes: the view reaches the last state word.
    CForeignView segment;
    ASSERT_TRUE(segment.Open(SegmentName(kChannelBaseName, 0), 524320));

    channel.Destroy();
    EXPECT_FALSE(channel.IsOpen());
    segment.Close();
    EXPECT_FALSE(ObjectExists(ChannelObjectName(kChannelBaseName, kHeaderSuffix)));
}

TEST(ChannelLayout, CreateRewritesExistingHeader_StateWordsKept)
{
    CRequestChannel channel;
    ASSERT_TRUE(channel.Create(65536, 8));
    // Another party keeps both objects alive across the endpoint's Close.
    CForeignView header, segment;
    ASSERT_TRUE(header.Open(ChannelObjectName(kChannelBaseName, kHeaderSuffix), kHeaderBytes));
    ASSERT_TRUE(segment.Open(SegmentName(kChannelBaseName, 0), 524320));
    ASSERT_TRUE(channel.Close());

    // A header that no longer describes this ring (capacity 3) is rewritten as
    // a fresh one; the same ring's keeps its position (ReaderRecoveryTest).
    ChannelHeader* h = header.Header();
    h->capacity = 3;
    h->postIndex = 5;
    h->readIndex = 6;
    h->waitingPosters = 4;
    h->waitingReaders = 2;
    h->slotSize = 12;
    h->flags = kFlagStopAll;
    h->unused = 0x5A5A5A5A;
    volatile LONG* states = reinterpret_cast<volatile LONG*>(segment.Bytes() + 524288);
    const LONG kept[8] = {eSlotReady, eSlotReading, eSlotFilling, 0, 77, -1, eSlotReady, 0};
    for (int i = 0; i < 8; ++i)
        states[i] = kept[i];
    segment.Bytes()[5] = 'x';

    ASSERT_TRUE(channel.Create(65536, 8));
    EXPECT_EQ(8, h->capacity);
    EXPECT_EQ(0, h->postIndex);
    EXPECT_EQ(0, h->readIndex);
    EXPECT_EQ(0, h->waitingPosters);
    EXPECT_EQ(0, h->waitingReaders);
    EXPECT_EQ(65536, h->slotSize);
    EXPECT_EQ(kFlagCreated, h->flags);
    EXPECT_FALSE(channel.StopAllRaised());
    EXPECT_EQ(0x5A5A5A5A, h->unused) << "the last word is not written";
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(kept[i], states[i]) << "state word " << i;
    EXPECT_EQ('x', segment.Bytes()[5]);
}

std::wstring DaclText(HANDLE object)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                        &descriptor) != ERROR_SUCCESS)
        return L"(GetSecurityInfo failed)";
    CLocalMemory owned(descriptor);
    LPWSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                              DACL_SECURITY_INFORMATION, &text, nullptr))
        return L"(conversion failed)";
    CLocalMemory ownedText(text);
    return text;
}

TEST(ChannelLayout, ObjectsCarryTheChannelDescriptor)
{
    CRequestChannel channel;
    ASSERT_TRUE(channel.Create(65536, 8));
    // The written form is rendered by the same converter as the objects' DACLs
    // (which spells Everyone "WD" and may order the rights of an entry its own way).
    PSECURITY_DESCRIPTOR written = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:(D;OICI;GA;;;BG)(D;OICI;GA;;;AN)(A;OICI;GA;;;S-1-1-0)(A;OICI;GRGWGX;;;AU)(A;OICI;GA;;;BA)",
        SDDL_REVISION_1, &written, nullptr));
    CLocalMemory ownedWritten(written);
    LPWSTR writtenText = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(written, SDDL_REVISION_1,
                                                                     DACL_SECURITY_INFORMATION, &writtenText, nullptr));
    CLocalMemory ownedWrittenText(writtenText);
    const std::wstring expected = writtenText;
    EXPECT_EQ(0u, expected.find(L"D:(D;OICI;GA;;;BG)(D;OICI;GA;;;AN)(A;OICI;GA;;;WD)(A;OICI;"));
    const struct
    {
        std::wstring name;
        bool event;
    } objects[] = {
        {ChannelObjectName(kChannelBaseName, kHeaderSuffix), false},
        {SegmentName(kChannelBaseName, 0), false},
        {ChannelObjectName(kChannelBaseName, kSignatureSuffix), false},
        {ChannelObjectName(kChannelBaseName, kFilledEventSuffix), true},
        {ChannelObjectName(kChannelBaseName, kAvailableEventSuffix), true},
        {ChannelObjectName(kChannelBaseName, kStopAllEventSuffix), true},
    };
    for (const auto& object : objects) {
        SCOPED_TRACE(testing::Message() << std::string(object.name.begin(), object.name.end()));
        CHandle handle(object.event ? OpenEventW(READ_CONTROL, FALSE, object.name.c_str())
                                    : OpenFileMappingW(READ_CONTROL, FALSE, object.name.c_str()));
        ASSERT_TRUE(handle.IsValid()) << GetLastError();
        EXPECT_EQ(expected, DaclText(handle.Get()));
    }
}

} // namespace
