#pragma once
// CRequestPoster: the posting end of the update request channel, for client
// programs. It opens the objects the service created, claims the next slot in
// ring order (its state word from free to a mark of this thread, then a
// compare-and-swap on postIndex), fills it and marks it ready with a
// compare-and-swap from its own mark. A slot the reader gave up, or one whose
// poster ended, is used again once nobody can write into it, and passed while
// its old poster still may: such a slot never holds up a post while the ring
// has room. Any number of posters, in threads or processes, may post at once;
// each message lands in exactly one slot. One object serves one thread.
#include "channel/ChannelLayout.h"
#include "channel/ChannelSegment.h"
#include "platform/Handles.h"

#include <string>
#include <vector>

class CRequestPoster
{
public:
    CRequestPoster() = default;
    ~CRequestPoster() { Close(); }
    CRequestPoster(const CRequestPoster&) = delete;
    CRequestPoster& operator=(const CRequestPoster&) = delete;

    // Opens the header and the three events by name; fails (last error 2)
    // when no service has created the channel.
    bool Open(const std::wstring& baseName = kChannelBaseName);
    void Close();
    bool IsOpen() const { return m_headerView.IsValid(); }

    // Copies `length` bytes (a whole message: length word, kind, payload; the
    // length word is written here, whatever the caller's first 4 bytes hold)
    // into the next slot and makes it ready, waiting up to timeoutMs
    // (INFINITE allowed; it bounds the whole call, retries included) for the
    // slot to be free, and for a service that is setting the channel up or
    // restarting. On failure returns false with the last-error value (also in
    // LastError()): ERROR_TIMEOUT, ERROR_OPERATION_ABORTED when stop-all is
    // raised while the channel is served, ERROR_INVALID_PARAMETER for a
    // message shorter than its 8-byte header,
    // kErrorSlotGivenUp when this post took so long between claiming its slot
    // and marking it ready that the reader gave the slot up (the message was
    // not delivered; posting it again is safe), ERROR_INSUFFICIENT_BUFFER when
    // the message is larger than a slot, ERROR_INVALID_DATA when the header
    // makes no sense, or the error of mapping a segment. A message that was
    // not posted is never delivered.
    bool Post(const void* message, DWORD length, DWORD timeoutMs);
    // Builds the message from its parts: length word, kind, then the payload.
    bool PostRequest(uint32_t kind, const void* payload, DWORD payloadLength, DWORD timeoutMs);

    // Tells the service and every other party to stop.
    void RaiseStopAll();
    // Bit 0 of flags set, or the stop-all event signalled.
    bool StopAllRaised() const;

    // The header's slot size as read now (0 when not open).
    DWORD SlotSize() const;
    DWORD LastError() const { return m_lastError; }

    static constexpr DWORD kErrorSlotGivenUp = ERROR_REQUEST_ABORTED;

    // Test seam: called once per post after the slot is claimed, when half
    // the message is copied in and after the whole of it, so that a test can
    // stall a poster there.
    enum ePostStage
    {
        ePostClaimed,
        ePostHalfCopied,
        ePostCopied,
    };
    using StageHook = void (*)(void* context, ePostStage stage, DWORD index);
    void SetStageHook(StageHook hook, void* context)
    {
        m_stageHook = hook;
        m_stageHookContext = context;
    }

    // How long a poster yields the processor before it blocks for a free slot.
    static constexpr LONGLONG kPosterSpinMicroseconds = 200;
    // Wake-ups of the available event are not addressed to one poster; a
    // bounded wait makes a poster that missed its wake-up look again soon.
    // The slice doubles while the ring does not move, up to the longest one,
    // so that a long wait costs next to nothing.
    static constexpr DWORD kWaitSliceMs = 10;
    static constexpr DWORD kLongestWaitSliceMs = 80;

private:
    // The slot at postIndex as one pass of Post sees it.
    struct Target
    {
        DWORD index = 0;
        DWORD next = 0;
        unsigned char* slot = nullptr;
        volatile LONG* state = nullptr;
    };
    enum eClaim
    {
        eClaimed,   // the slot is ours to fill
        eLookAgain, // postIndex moved
        eRingFull,  // the slot at postIndex is taken: wait for the reader
    };
    // The time-out of one Post and the pace of its waits.
    struct Pace
    {
        DWORD start = 0;
        DWORD timeoutMs = 0;
        LONGLONG spinStart = 0;
        LONGLONG spinTicks = 0;
        DWORD slice = kWaitSliceMs;
        DWORD fruitless = 0; // wake-ups in a row that found the ring not moved
        DWORD passed = 0;    // slots passed over because their old poster may still write
        bool Expired() const;
        DWORD Left() const;
    };

    bool ReadTarget(DWORD length, Target* target);
    eClaim Claim(const Target& target, LONG mark, Pace* pace);
    eClaim TakePostIndex(const Target& target, LONG mark, LONG before);
    bool InFreePart(const Target& target);
    bool Fill(const Target& target, LONG mark, const void* message, DWORD length);
    bool WaitForFreeSlot(const Target& target, Pace* pace);
    bool SlotGivenUp(const Target& target, LONG mark);
    void Stage(ePostStage stage, DWORD index)
    {
        if (m_stageHook != nullptr)
            m_stageHook(m_stageHookContext, stage, index);
    }

    struct Segment
    {
        CHandle mapping;
        CMappedView view;
        volatile LONG* states = nullptr;
    };

    bool ResolveSlot(DWORD index, DWORD slotSize, DWORD slotsPerSegment, unsigned char** slot,
                     volatile LONG** state);
    bool Fail(DWORD error);
    ChannelHeader* Header() const { return static_cast<ChannelHeader*>(m_headerView.Get()); }

    std::wstring m_baseName;
    CHandle m_headerMapping;
    CMappedView m_headerView;
    CHandle m_filledEvent;
    CHandle m_availableEvent;
    CHandle m_stopAllEvent;
    std::vector<CChannelSegment> m_segments; // index = segment number
    DWORD m_mappedSlotSize = 0;      // geometry the mapped segments were opened with
    DWORD m_mappedSlotsPerSegment = 0;
    DWORD m_lastError = 0;
    StageHook m_stageHook = nullptr;
    void* m_stageHookContext = nullptr;
};
