#pragma once
// CRequestChannel: the reading end of the update request channel. The service's
// worker creates the channel, takes messages one at a time and frees each slot
// after copying it out. The header is writable by every authenticated user, so
// nothing read back from it is trusted: the reader keeps to the slot size and
// slots per segment it created the channel with and never maps more than
// kMaxSegments segments.
#include "channel/ChannelLayout.h"
#include "channel/ChannelSegment.h"
#include "channel/SpinRWLock.h"
#include "platform/Handles.h"

#include <string>
#include <vector>

class CRequestChannel
{
public:
    CRequestChannel();
    ~CRequestChannel(); // Destroy
    CRequestChannel(const CRequestChannel&) = delete;
    CRequestChannel& operator=(const CRequestChannel&) = delete;

    // Creates (or opens) every channel object, rewrites the header as running,
    // resets the stop-all event and maps segment 0. Closes what the endpoint
    // held first. A fresh channel starts at slot 0. When a client kept the
    // header and segment 0 open across a restart and they have this geometry,
    // the ring keeps its position, so unread messages are delivered in posting
    // order; a slot the previous reader left half-copied is made ready again.
    // On failure returns false with the last-error value set (also in
    // LastError()); what was opened stays until Close or Destroy.
    bool Create(DWORD slotSize, DWORD slotsPerSegment);

    // Waits up to the receive budget (15,000 ms) for the slot at readIndex to be
    // ready and takes it. Returns the slot's first byte and its state word in
    // *stateOut, or nullptr when the budget ran out, stop-all was raised or
    // `extra` (may be nullptr) was signalled. A slot that is ready is taken
    // even when stop-all is raised. Returning none because the stop-all event
    // is signalled also sets the stop-all flag, so StopAllRaised agrees with
    // the event. After a success the caller copies MessageLength bytes and
    // then calls ReleaseSlot.
    // A slot at readIndex that keeps one state other than ready for the stuck
    // slot limit (its poster died or stalls while filling it) is given up and
    // passed, so the messages behind it are delivered. The limit counts from
    // the claim, as seen by a reader that looks at the whole ring whenever it
    // blocks, and on an empty ring at least every eighth of the limit, so a
    // ring of such slots is passed within one limit. A given-up slot is not
    // reused while its poster may still write into it; that poster fails
    // instead of marking it ready. Passed, a slot that nobody can write into
    // any more (its poster ended or said it is done, or it names no poster)
    // is freed, unless it is still inside the full part of the ring.
    // Posters free the others when they come to them (CRequestPoster).
    unsigned char* Receive(volatile LONG** stateOut, HANDLE extra);

    // Frees a slot taken by Receive; the copy must be complete.
    void ReleaseSlot(volatile LONG* state);

    // Sets the stop-all flag and signals the stop-all event for every party.
    void RaiseStopAll();
    // Says in the header that this reader serves the ring no more but a later
    // Create will: posters that keep the channel open wait for it (up to their
    // time-out) instead of failing on the stop-all raised after this.
    void MarkClosed();
    // Bit 0 of the header's flags (false when not open).
    bool StopAllRaised() const;

    // Releases every handle and view; never changes the shared contents.
    bool Close();
    // Close, then frees the segment table and clears the base name.
    void Destroy();

    // The header's slotSize as read now, bounded by the real slot size this
    // endpoint created: always a count of bytes that may be copied from a slot
    // returned by Receive. 0 when not open or when the header says 0.
    DWORD HeaderSlotSize() const;
    // The length of the message in a slot returned by Receive, from its
    // length word: the bytes to copy and hand over. 0 when the word says less
    // than the 8-byte message header or more than HeaderSlotSize (a message
    // no poster of this channel writes).
    DWORD MessageLength(const unsigned char* slot) const;

    // What this endpoint has given up since Create: slots passed after the
    // stuck slot limit, and among them those that held a poster's claim (its
    // request was not delivered; the poster was told).
    DWORD SlotsGivenUp() const { return m_slotsGivenUp; }
    DWORD RequestsDropped() const { return m_requestsDropped; }

    // Introspection for tests and diagnostics.
    bool IsOpen() const { return m_open; }
    DWORD SegmentsMapped() const { return static_cast<DWORD>(m_segments.size()); }
    DWORD SlotsMapped() const { return m_slotsPerSegment * SegmentsMapped(); }
    DWORD LastError() const { return m_lastError; }
    ChannelHeader* Header() const { return static_cast<ChannelHeader*>(m_headerView.Get()); }

    // Receive's budget in ms; 15,000 unless a test shortens it.
    void SetReceiveBudget(DWORD milliseconds) { m_receiveBudget = milliseconds; }
    // The stuck slot limit in ms; kStuckSlotLimitMs unless a test shortens it.
    void SetStuckSlotLimit(DWORD milliseconds) { m_stuckLimit = milliseconds; }

    // Test seam: called once per taken slot between the state word's change to
    // "reading" and the readIndex compare-and-swap, to stage a lost race.
    using TakeHook = void (*)(void* context, DWORD index);
    void SetTakeHook(TakeHook hook, void* context)
    {
        m_takeHook = hook;
        m_takeHookContext = context;
    }

    static constexpr DWORD kReceiveBudgetMs = 15000;
    static constexpr DWORD kReaderSpin = 12;
    // One receive budget: a poster fills a slot in microseconds, so a slot still
    // being filled after this long belongs to a poster that died or hangs.
    static constexpr DWORD kStuckSlotLimitMs = 15000;

private:
    bool OpenObjects(CChannelSecurity& security, bool* headerExisted);
    bool WriteHeader(bool headerExisted, DWORD* readIndex);
    bool MapSegments(DWORD last);
    bool ResolveSlot(DWORD index, unsigned char** slot, volatile LONG** state);
    bool WaitForFilled(DWORD* snapshot, unsigned char** slot, volatile LONG** state, DWORD* remaining,
                       HANDLE extra, bool* resolved);
    unsigned char* TryTake(DWORD* remaining, volatile LONG** stateOut, HANDLE extra);
    bool StuckFor(DWORD index, volatile LONG* state, DWORD* left);
    bool GiveUpSlot(volatile LONG* state, LONG value);
    void PassGivenUp(DWORD index, volatile LONG* state, LONG value);
    bool RingEmptyFrom(DWORD first, DWORD end);
    void RecoverWaitingCount();
    DWORD NextIndex(DWORD index) const;
    DWORD LookSliceMs() const { return m_stuckLimit / 8 != 0 ? m_stuckLimit / 8 : 1; }
    void ResumeRing(DWORD readIndex);
    bool Fail(DWORD error);
    static bool IsSignalled(HANDLE handle);

    CMappedView m_headerView;
    CSpinRWLock m_segmentLock;
    std::wstring m_baseName;
    std::vector<CChannelSegment> m_segments; // one per mapped segment, in order
    CHandle m_headerMapping;
    CHandle m_signatureMapping;
    CHandle m_filledEvent;
    CHandle m_availableEvent;
    CHandle m_stopAllEvent;
    DWORD m_readerSpin = kReaderSpin;
    bool m_open = false;
    bool m_creator = false;

    // The geometry this endpoint created; the header's copy is only compared with it.
    DWORD m_slotSize = 0;
    DWORD m_slotsPerSegment = 0;
    DWORD m_receiveBudget = kReceiveBudgetMs;
    DWORD m_lastError = 0;
    bool m_segmentZeroExisted = false; // segment 0 was there before this endpoint mapped it

    // The slot at readIndex that is not ready, as first seen, and when.
    DWORD m_stuckLimit = kStuckSlotLimitMs;
    bool m_stuckSeen = false;
    DWORD m_stuckIndex = 0;
    LONG m_stuckValue = 0;
    DWORD m_stuckSince = 0;
    // When each slot was first seen holding its present poster's mark, so that
    // a claim is timed from when it was made, wherever in the ring it is (a
    // poster may claim a slot ahead of postIndex and stall before it finds
    // out that it is not its own).
    struct Sighting
    {
        LONG value = eSlotFree;
        DWORD since = 0;
    };
    static constexpr DWORD kTrackedSlots = 64;
    Sighting m_sightings[kTrackedSlots];
    void LookAtRing();
    void ForgetSighting(DWORD index);

    DWORD m_slotsGivenUp = 0;
    DWORD m_requestsDropped = 0;
    // waitingPosters as last seen on an empty ring, to tell a count left by a
    // poster that died waiting from posters that really wait.
    bool m_emptySeen = false;
    LONG m_emptyWaiting = 0;
    DWORD m_emptyPostIndex = 0;
    DWORD m_emptySince = 0;
    TakeHook m_takeHook = nullptr;
    void* m_takeHookContext = nullptr;
};

// The service's handling of one copied request, at its own length: false when
// it is shorter than the 8-byte message header; true otherwise. A request of
// kind 0 carries narrow text from byte 8 to its end; no action is attached to it.
bool HandleRequest(const unsigned char* bytes, size_t length);
// The same, also handing back the text of a kind-0 request (cleared otherwise).
bool HandleRequest(const unsigned char* bytes, size_t length, std::string* text);
