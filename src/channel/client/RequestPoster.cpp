#include "channel/client/RequestPoster.h"

#include "channel/ChannelSecurity.h"

#include <algorithm>
#include <cstring>

namespace {

// The state word of a slot this thread is filling: odd, so never free (0),
// ready (2) or reading (3), and distinct for every live thread. The reader
// gives a slot up from exactly the mark it saw, and the ready store succeeds
// only from this thread's own mark, so a poster that wakes after its slot was
// given up (and perhaps claimed again by another) cannot mark it ready.
LONG FillMark()
{
    return static_cast<LONG>((GetCurrentThreadId() << 2) | 1);
}

} // namespace

bool CRequestPoster::Fail(DWORD error)
{
    m_lastError = error != 0 ? error : ERROR_GEN_FAILURE;
    SetLastError(m_lastError);
    return false;
}

bool CRequestPoster::Open(const std::wstring& baseName)
{
    Close();
    m_baseName = baseName;
    m_headerMapping.Reset(
        OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, ChannelObjectName(m_baseName, kHeaderSuffix).c_str()));
    if (!m_headerMapping)
        return Fail(GetLastError());
    m_headerView.Reset(MapChannelView(m_headerMapping.Get(), kHeaderBytes));
    if (!m_headerView) {
        const DWORD error = GetLastError();
        Close();
        return Fail(error);
    }
    const struct
    {
        const wchar_t* suffix;
        CHandle* handle;
    } events[] = {
        {kFilledEventSuffix, &m_filledEvent},
        {kAvailableEventSuffix, &m_availableEvent},
        {kStopAllEventSuffix, &m_stopAllEvent},
    };
    for (const auto& event : events) {
        event.handle->Reset(OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE,
                                       ChannelObjectName(m_baseName, event.suffix).c_str()));
        if (!*event.handle) {
            const DWORD error = GetLastError();
            Close();
            return Fail(error);
        }
    }
    m_lastError = 0;
    return true;
}

void CRequestPoster::Close()
{
    m_segments.clear();
    m_mappedSlotSize = 0;
    m_mappedSlotsPerSegment = 0;
    m_filledEvent.Close();
    m_availableEvent.Close();
    m_stopAllEvent.Close();
    m_headerView.Close();
    m_headerMapping.Close();
}

bool CRequestPoster::ResolveSlot(DWORD index, DWORD slotSize, DWORD slotsPerSegment, unsigned char** slot,
                                 volatile LONG** state)
{
    if (slotSize != m_mappedSlotSize || slotsPerSegment != m_mappedSlotsPerSegment) {
        m_segments.clear();
        m_mappedSlotSize = slotSize;
        m_mappedSlotsPerSegment = slotsPerSegment;
    }
    const DWORD number = index / slotsPerSegment;
    if (number >= kMaxSegments)
        return Fail(ERROR_INVALID_DATA);
    if (number >= m_segments.size())
        m_segments.resize(number + 1);
    Segment& segment = m_segments[number];
    if (!segment.view) {
        const DWORD bytes = static_cast<DWORD>(SegmentBytes(slotSize, slotsPerSegment));
        CChannelSecurity security;
        if (!security.Build())
            return Fail(GetLastError());
        // Open-or-create: a ring the other side enlarged may reach a segment
        // the reader has not made yet.
        segment.mapping.Reset(CreateFileMappingW(INVALID_HANDLE_VALUE, security.Attributes(),
                                                 PAGE_READWRITE | SEC_COMMIT, 0, bytes,
                                                 SegmentName(m_baseName, number).c_str()));
        if (!segment.mapping)
            return Fail(GetLastError());
        segment.view.Reset(MapChannelView(segment.mapping.Get(), bytes));
        if (!segment.view) {
            const DWORD error = GetLastError();
            segment.mapping.Close();
            return Fail(error);
        }
        segment.states = reinterpret_cast<volatile LONG*>(static_cast<unsigned char*>(segment.view.Get()) +
                                                          StateWordsOffset(slotSize, slotsPerSegment));
    }
    const DWORD k = index % slotsPerSegment;
    *slot = static_cast<unsigned char*>(segment.view.Get()) + size_t(k) * slotSize;
    *state = segment.states + k;
    return true;
}

bool CRequestPoster::Post(const void* message, DWORD length, DWORD timeoutMs)
{
    ChannelHeader* header = Header();
    if (header == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (message == nullptr && length != 0)
        return Fail(ERROR_INVALID_PARAMETER);

    const DWORD start = GetTickCount();
    LARGE_INTEGER frequency, spinStart{};
    QueryPerformanceFrequency(&frequency);
    const LONGLONG spinTicks = frequency.QuadPart * kPosterSpinMicroseconds / 1000000;
    const LONG mark = FillMark();
    for (bool first = true;; first = false) {
        // Every pass after the first counts against the time-out, whatever
        // made it look again, so a poster never loops without a deadline.
        if (!first && timeoutMs != INFINITE && GetTickCount() - start >= timeoutMs)
            return Fail(ERROR_TIMEOUT);
        // The flag is enough on the fast path; the event is watched whenever
        // this poster blocks.
        if ((header->flags & kFlagStopAll) != 0)
            return Fail(ERROR_OPERATION_ABORTED);
        // Opened while the service is still setting the channel up (or it
        // failed to): the ring is not there yet; wait for it until the deadline.
        if ((header->flags & kFlagCreated) == 0) {
            Sleep(1);
            continue;
        }
        const DWORD capacity = static_cast<DWORD>(header->capacity);
        const DWORD slotsPerSegment = static_cast<DWORD>(header->slotsPerSegment);
        const DWORD slotSize = static_cast<DWORD>(header->slotSize);
        if (!ValidChannelGeometry(slotSize, slotsPerSegment) || capacity == 0 ||
            capacity > kMaxSegments * slotsPerSegment)
            return Fail(ERROR_INVALID_DATA);
        if (length > slotSize)
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        const DWORD index = static_cast<DWORD>(header->postIndex);
        if (index >= capacity)
            return Fail(ERROR_INVALID_DATA);
        unsigned char* slot = nullptr;
        volatile LONG* state = nullptr;
        if (!ResolveSlot(index, slotSize, slotsPerSegment, &slot, &state))
            return false;

        // Claim the slot only while it is free, then move postIndex on. A
        // poster that loses either step tries again; no slot index is ever
        // handed out without its slot being filled, so the reader never waits
        // at a hole left by a poster that timed out.
        if (*state == eSlotFree && InterlockedCompareExchange(state, mark, eSlotFree) == eSlotFree) {
            const DWORD next = index + 1 == capacity ? 0 : index + 1;
            if (static_cast<DWORD>(InterlockedCompareExchange(&header->postIndex, static_cast<LONG>(next),
                                                              static_cast<LONG>(index))) == index) {
                if (m_stageHook != nullptr)
                    m_stageHook(m_stageHookContext, ePostClaimed, index);
                // A reader that waited at this slot past its limit has given it
                // up; it is no longer ours to write.
                if (*state != mark)
                    return Fail(kErrorSlotGivenUp);
                if (length != 0)
                    std::memcpy(slot, message, length);
                if (m_stageHook != nullptr)
                    m_stageHook(m_stageHookContext, ePostCopied, index);
                // Full barrier: the message is in place before the slot reads as
                // ready, and "ready" is visible before waitingReaders is read (a
                // reader counts itself, then looks at the state again). Only
                // from our own mark: the reader may have given the slot up.
                if (InterlockedCompareExchange(state, eSlotReady, mark) != mark)
                    return Fail(kErrorSlotGivenUp);
                if (header->waitingReaders != 0)
                    SetEvent(m_filledEvent.Get());
                // The next slot may be free as well: pass the wake-up on.
                if (header->waitingPosters != 0)
                    SetEvent(m_availableEvent.Get());
                m_lastError = 0;
                return true;
            }
            // Our postIndex was stale (the slot was free behind the ring's
            // head): not ours to fill. Freed only if still our mark: a reader
            // that gave the slot up in the meantime has freed it already.
            if (InterlockedCompareExchange(state, eSlotFree, mark) == mark && header->waitingPosters != 0)
                SetEvent(m_availableEvent.Get());
            continue;
        }
        if (static_cast<DWORD>(header->postIndex) != index)
            continue; // another poster took it; the next one may be free

        const DWORD elapsed = GetTickCount() - start;
        if (timeoutMs != INFINITE && elapsed >= timeoutMs)
            return Fail(ERROR_TIMEOUT);
        // Yield for a while before blocking: the reader frees a slot within
        // microseconds, while a wake-up through the event costs far more.
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        if (spinStart.QuadPart == 0)
            spinStart = now;
        if (now.QuadPart - spinStart.QuadPart < spinTicks) {
            SwitchToThread();
            continue;
        }
        DWORD wait = kWaitSliceMs;
        if (timeoutMs != INFINITE)
            wait = std::min(wait, timeoutMs - elapsed);
        DWORD woken = WAIT_TIMEOUT;
        InterlockedIncrement(&header->waitingPosters);
        if (static_cast<DWORD>(header->postIndex) == index && *state != eSlotFree) {
            HANDLE handles[2] = {m_availableEvent.Get(), m_stopAllEvent.Get()};
            woken = WaitForMultipleObjects(2, handles, FALSE, wait);
        }
        InterlockedDecrement(&header->waitingPosters);
        if (woken == WAIT_OBJECT_0 + 1)
            return Fail(ERROR_OPERATION_ABORTED);
    }
}

bool CRequestPoster::PostRequest(uint32_t word0, uint32_t kind, const void* payload, DWORD payloadLength,
                                 DWORD timeoutMs)
{
    if (payloadLength > 0xFFFFFFFFu - kMessageHeaderBytes)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::vector<unsigned char> message(kMessageHeaderBytes + payloadLength);
    std::memcpy(message.data(), &word0, sizeof(word0));
    std::memcpy(message.data() + offsetof(RequestMessage, kind), &kind, sizeof(kind));
    if (payloadLength != 0)
        std::memcpy(message.data() + kMessageHeaderBytes, payload, payloadLength);
    return Post(message.data(), static_cast<DWORD>(message.size()), timeoutMs);
}

void CRequestPoster::RaiseStopAll()
{
    if (ChannelHeader* header = Header())
        InterlockedOr(&header->flags, kFlagStopAll);
    if (m_stopAllEvent)
        SetEvent(m_stopAllEvent.Get());
}

bool CRequestPoster::StopAllRaised() const
{
    const ChannelHeader* header = Header();
    if (header != nullptr && (header->flags & kFlagStopAll) != 0)
        return true;
    return m_stopAllEvent && WaitForSingleObject(m_stopAllEvent.Get(), 0) == WAIT_OBJECT_0;
}

DWORD CRequestPoster::SlotSize() const
{
    const ChannelHeader* header = Header();
    return header != nullptr ? static_cast<DWORD>(header->slotSize) : 0;
}
