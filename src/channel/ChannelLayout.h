#pragma once
// What the service and the posting clients share: the names of the channel's
// kernel objects, their security descriptor, the header block, the layout of a
// data segment and of one message. Header-only, so that the posting side can
// use it without linking the reader.
#include "platform/Handles.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Every object's name is this base followed by one of the suffixes, no separator.
// The global namespace lets the service and clients of other sessions meet.
constexpr wchar_t kChannelBaseName[] = L"Global\\QXupd{6171079A-819B-4FE7-9EA9-C55682639339}";
constexpr wchar_t kHeaderSuffix[] = L"_mem";
constexpr wchar_t kSegmentSuffix[] = L"_data_"; // followed by the segment number in decimal
constexpr wchar_t kSignatureSuffix[] = L"_sig";
constexpr wchar_t kFilledEventSuffix[] = L"_evt_filled";
constexpr wchar_t kAvailableEventSuffix[] = L"_evt_avail";
constexpr wchar_t kStopAllEventSuffix[] = L"_evt_stopall";

static_assert(sizeof(kChannelBaseName) / sizeof(wchar_t) - 1 == 50, "base name is 50 characters");

// Guests and anonymous callers are refused; any authenticated user may open
// and use every object, whatever session it runs in.
constexpr wchar_t kChannelSddl[] =
    L"D:(D;OICI;GA;;;BG)(D;OICI;GA;;;AN)(A;OICI;GA;;;S-1-1-0)(A;OICI;GRGWGX;;;AU)(A;OICI;GA;;;BA)";

constexpr DWORD kHeaderBytes = 48;
constexpr DWORD kSignatureBytes = 4;
// The reader never maps more segments than this, whatever the header claims.
constexpr DWORD kMaxSegments = 64;

// Bits of ChannelHeader::flags.
constexpr LONG kFlagStopAll = 1; // stop-all has been raised
constexpr LONG kFlagCreated = 2; // the creator finished writing the header
// The service that created the ring stopped serving it (it was stopped, not
// told to stop by a client): posters that keep the channel open wait for the
// next service's Create, which clears this and the stop-all it raised.
constexpr LONG kFlagClosed = 4;

// The 48-byte header block. Any authenticated process may write it, so a
// reader treats every value as untrusted input.
struct ChannelHeader
{
    volatile LONG capacity;        // slots in the ring; indices wrap to 0 here
    volatile LONG postIndex;       // the posting side's
    volatile LONG readIndex;       // next slot to read; changed only by compare-and-swap
    volatile LONG waitingPosters;  // posters blocked on the available event
    volatile LONG waitingReaders;  // readers blocked on the filled event
    volatile LONG slotsPerSegment;
    volatile LONG slotSize;
    volatile LONG segmentBytes;    // slotSize * slotsPerSegment, for the other side
    volatile LONG reserveSegments; // rows the creator reserves in its segment table
    volatile LONG reserved;
    volatile LONG flags;           // kFlagStopAll, kFlagCreated
    volatile LONG unused;
};

static_assert(sizeof(LONG) == 4, "shared words are 32 bits");
static_assert(sizeof(ChannelHeader) == kHeaderBytes, "header block is 48 bytes");
static_assert(offsetof(ChannelHeader, capacity) == 0, "header layout");
static_assert(offsetof(ChannelHeader, postIndex) == 4, "header layout");
static_assert(offsetof(ChannelHeader, readIndex) == 8, "header layout");
static_assert(offsetof(ChannelHeader, waitingPosters) == 12, "header layout");
static_assert(offsetof(ChannelHeader, waitingReaders) == 16, "header layout");
static_assert(offsetof(ChannelHeader, slotsPerSegment) == 20, "header layout");
static_assert(offsetof(ChannelHeader, slotSize) == 24, "header layout");
static_assert(offsetof(ChannelHeader, segmentBytes) == 28, "header layout");
static_assert(offsetof(ChannelHeader, reserveSegments) == 32, "header layout");
static_assert(offsetof(ChannelHeader, reserved) == 36, "header layout");
static_assert(offsetof(ChannelHeader, flags) == 40, "header layout");

// The state word of a slot. Any other value reads as "not ready": while a
// poster writes a message it keeps a mark of its own there (eSlotFilling or
// another value), and only it may turn that mark into eSlotReady.
enum eSlotState : LONG
{
    eSlotFree = 0,
    eSlotFilling = 1,
    eSlotReady = 2,
    eSlotReading = 3,
};

// A poster's mark while it fills a slot: its thread id shifted left by two,
// with bit 0 set (so never free, ready or reading, and the owner can be read
// back). A slot the reader gave up while its poster may still be writing into
// it holds that mark with bit 1 set as well: posters do not fill it, and the
// reader passes it, until that poster is done (it marks the slot abandoned)
// or its thread has ended; so a late copy can never land in another poster's
// message. The reader frees an abandoned slot, or one whose owner has ended,
// as it passes it.
constexpr LONG kSlotAbandoned = 7; // given up, nobody left to write (owner id 1 is no thread)

inline LONG FillMarkOf(DWORD threadId)
{
    return static_cast<LONG>((threadId << 2) | 1);
}
// Thread ids are multiples of 4, so a mark ends in the bits 0001 and its
// given-up form in 0011; other values are no poster's, and neither is a mark
// of thread 0 (given up, it would read as "reading").
inline bool IsFillMark(LONG value)
{
    return (value & 0xF) == 1 && (static_cast<DWORD>(value) >> 2) != 0;
}
inline bool IsGivenUp(LONG value)
{
    return value == kSlotAbandoned || ((value & 0xF) == 3 && value != eSlotReading);
}
inline LONG GivenUpFrom(LONG mark)
{
    return mark | 2;
}
// The thread that wrote a mark (or the given-up form of it).
inline DWORD MarkOwner(LONG value)
{
    return static_cast<DWORD>(value) >> 2;
}

// Whether the poster named by a mark (or its given-up form) may still write
// into its slot: its thread still runs. A thread that cannot be looked at for
// want of rights counts as running; an abandoned slot, a value that names no
// poster and an id that no thread can have count as gone.
inline bool OwnerMayWrite(LONG value)
{
    if (value == kSlotAbandoned || !IsFillMark(value & ~2L))
        return false;
    const DWORD owner = MarkOwner(value);
    if (owner == 0 || (owner & 3) != 0)
        return false;
    CHandle thread(OpenThread(SYNCHRONIZE, FALSE, owner));
    if (!thread)
        return GetLastError() == ERROR_ACCESS_DENIED;
    return WaitForSingleObject(thread.Get(), 0) == WAIT_TIMEOUT;
}

// One message at the start of its slot: its own length first, so that the
// reader hands over exactly what was posted and nothing of what an earlier
// message left in the slot.
struct RequestMessage
{
    uint32_t length; // bytes of the whole message, these 8 included; written by the poster
    uint32_t kind;   // the payload is read only when this is 0
    unsigned char payload[1];
};
constexpr size_t kMessageHeaderBytes = 8;
static_assert(offsetof(RequestMessage, length) == 0, "message layout");
static_assert(offsetof(RequestMessage, kind) == 4, "message layout");
static_assert(offsetof(RequestMessage, payload) == kMessageHeaderBytes, "message layout");

// Data segment: the slots back to back, padding to a multiple of 4, then one
// state word per slot. Callers keep the products within 32 bits (see
// ValidChannelGeometry).
constexpr uint64_t Align4(uint64_t value)
{
    return (value + 3) & ~uint64_t(3);
}
constexpr uint64_t StateWordsOffset(DWORD slotSize, DWORD slotsPerSegment)
{
    return Align4(uint64_t(slotSize) * slotsPerSegment);
}
constexpr uint64_t SegmentBytes(DWORD slotSize, DWORD slotsPerSegment)
{
    return StateWordsOffset(slotSize, slotsPerSegment) + 4ull * slotsPerSegment;
}

static_assert(SegmentBytes(65536, 8) == 524320, "service segment size");
static_assert(StateWordsOffset(65536, 8) == 524288, "service state words");
static_assert(StateWordsOffset(3, 5) == 16, "padding before the state words");
static_assert(SegmentBytes(3, 5) == 36, "padded segment size");

// A geometry both ends can work with: non-zero, and a whole ring of kMaxSegments
// segments still addressable with 32-bit sizes and indices.
inline bool ValidChannelGeometry(DWORD slotSize, DWORD slotsPerSegment)
{
    return slotSize != 0 && slotsPerSegment != 0 &&
           uint64_t(slotsPerSegment) * kMaxSegments <= 0x7FFFFFFFull &&
           SegmentBytes(slotSize, slotsPerSegment) <= 0x7FFFFFFFull;
}

// Full name of one object: base + suffix.
inline std::wstring ChannelObjectName(const std::wstring& base, const wchar_t* suffix)
{
    return base + suffix;
}

// Full name of data segment n: base + "_data_" + n in decimal, no leading zeros.
inline std::wstring SegmentName(const std::wstring& base, DWORD segment)
{
    return base + kSegmentSuffix + std::to_wstring(segment);
}
