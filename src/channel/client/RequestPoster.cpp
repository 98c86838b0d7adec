#include "channel/client/RequestPoster.h"

#include <algorithm>
#include <cstring>

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
    CChannelSegment& segment = m_segments[number];
    // Open-or-create: a ring the other side enlarged may reach a segment the
    // reader has not made yet.
    if (!segment.IsOpen() && !segment.Open(m_baseName, number, slotSize, slotsPerSegment))
        return Fail(GetLastError());
    const DWORD k = index % slotsPerSegment;
    *slot = segment.Slot(k);
    *state = segment.State(k);
    return true;
}

bool CRequestPoster::Pace::Expired() const
{
    return timeoutMs != INFINITE && GetTickCount() - start >= timeoutMs;
}

DWORD CRequestPoster::Pace::Left() const
{
    if (timeoutMs == INFINITE)
        return INFINITE;
    const DWORD elapsed = GetTickCount() - start;
    return elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
}

bool CRequestPoster::Post(const void* message, DWORD length, DWORD timeoutMs)
{
    ChannelHeader* header = Header();
    if (header == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (message == nullptr || length < kMessageHeaderBytes)
        return Fail(ERROR_INVALID_PARAMETER);

    Pace pace;
    pace.start = GetTickCount();
    pace.timeoutMs = timeoutMs;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    pace.spinTicks = frequency.QuadPart * kPosterSpinMicroseconds / 1000000;
    // Distinct for every live thread, and names this one to the reader.
    const LONG mark = FillMarkOf(GetCurrentThreadId());
    DWORD closedWaits = 0;
    for (bool first = true;; first = false) {
        // Every pass after the first counts against the time-out, whatever
        // made it look again, so a poster never loops without a deadline.
        if (!first && pace.Expired())
            return Fail(ERROR_TIMEOUT);
        // Opened while the service is still setting the channel up (or it
        // failed to), or kept open while the service restarts: the ring is
        // not served; wait for it until the deadline. The stop-all that a
        // stopped service raised is not meant for the next one's clients.
        const LONG flags = header->flags;
        if ((flags & kFlagCreated) == 0 || (flags & kFlagClosed) != 0) {
            Sleep(closedWaits < 64 ? 1 : kWaitSliceMs);
            ++closedWaits;
            continue;
        }
        closedWaits = 0;
        // The flag is enough on the fast path; the event is watched whenever
        // this poster blocks.
        if ((flags & kFlagStopAll) != 0)
            return Fail(ERROR_OPERATION_ABORTED);
        Target target;
        if (!ReadTarget(length, &target))
            return false;
        switch (Claim(target, mark, &pace)) {
        case eClaimed:
            return Fill(target, mark, message, length);
        case eLookAgain:
            continue;
        case eRingFull:
            if (!WaitForFreeSlot(target, &pace))
                return false;
            break;
        }
    }
}

bool CRequestPoster::ReadTarget(DWORD length, Target* target)
{
    const ChannelHeader* header = Header();
    const DWORD capacity = static_cast<DWORD>(header->capacity);
    const DWORD slotsPerSegment = static_cast<DWORD>(header->slotsPerSegment);
    const DWORD slotSize = static_cast<DWORD>(header->slotSize);
    if (!ValidChannelGeometry(slotSize, slotsPerSegment) || capacity == 0 ||
        capacity > kMaxSegments * slotsPerSegment)
        return Fail(ERROR_INVALID_DATA);
    if (length > slotSize)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    target->index = static_cast<DWORD>(header->postIndex);
    if (target->index >= capacity)
        return Fail(ERROR_INVALID_DATA);
    target->next = target->index + 1 == capacity ? 0 : target->index + 1;
    return ResolveSlot(target->index, slotSize, slotsPerSegment, &target->slot, &target->state);
}

CRequestPoster::eClaim CRequestPoster::Claim(const Target& target, LONG mark, Pace* pace)
{
    ChannelHeader* header = Header();
    const LONG value = *target.state;
    // Claim the slot only while it is free, then move postIndex on. A poster
    // that loses either step tries again; no slot index is ever handed out
    // without its slot being filled, so the reader never waits at a hole left
    // by a poster that timed out.
    if (value == eSlotFree) {
        if (InterlockedCompareExchange(target.state, mark, eSlotFree) != eSlotFree)
            return eLookAgain;
        return TakePostIndex(target, mark, eSlotFree);
    }
    if (static_cast<DWORD>(header->postIndex) != target.index)
        return eLookAgain; // another poster took it; the next one may be free
    // A slot given up by the reader, or claimed by a poster that has ended,
    // holds no message. In the free part of the ring it is used again once
    // nobody can write into it, and passed while its old poster still may;
    // either way the posts behind it need not wait for the reader. Inside the
    // full part it is the reader's to pass.
    if (!(IsGivenUp(value) || IsFillMark(value)) || !InFreePart(target))
        return eRingFull;
    const bool mayWrite = OwnerMayWrite(value);
    if (!mayWrite) {
        if (InterlockedCompareExchange(target.state, mark, value) != value)
            return eLookAgain;
        return TakePostIndex(target, mark, kSlotAbandoned);
    }
    // A poster that is claiming it right now.
    if (IsFillMark(value))
        return eRingFull;
    // Passed: postIndex moves over it, and the reader passes it again when
    // it comes to it. A ring of nothing else is full for this poster.
    if (++pace->passed > static_cast<DWORD>(header->capacity))
        return eRingFull;
    InterlockedCompareExchange(&header->postIndex, static_cast<LONG>(target.next), static_cast<LONG>(target.index));
    return eLookAgain;
}

CRequestPoster::eClaim CRequestPoster::TakePostIndex(const Target& target, LONG mark, LONG before)
{
    ChannelHeader* header = Header();
    if (static_cast<DWORD>(InterlockedCompareExchange(&header->postIndex, static_cast<LONG>(target.next),
                                                      static_cast<LONG>(target.index))) == target.index)
        return eClaimed;
    // Our postIndex was stale (the slot was behind the ring's head, or another
    // poster passed it meanwhile): not ours to fill. Put back as it was, only
    // if still our mark: a reader that gave the slot up in the meantime needs
    // to hear that we are done. A slot that held no message goes back to
    // being one that nobody writes into.
    if (InterlockedCompareExchange(target.state, before, mark) == mark) {
        if (before == eSlotFree && header->waitingPosters != 0)
            SetEvent(m_availableEvent.Get());
    } else {
        SlotGivenUp(target, mark);
    }
    return eLookAgain;
}

bool CRequestPoster::InFreePart(const Target& target)
{
    // The free part runs from postIndex up to readIndex. With the two equal
    // the ring is either empty or full: in a full ring no slot is free, in an
    // empty one the slots are free or holes, so the first slot after this
    // one that is not a hole tells which.
    const ChannelHeader* header = Header();
    if (static_cast<DWORD>(header->readIndex) != target.index)
        return true;
    const DWORD capacity = static_cast<DWORD>(header->capacity);
    const DWORD slotSize = static_cast<DWORD>(header->slotSize);
    const DWORD slotsPerSegment = static_cast<DWORD>(header->slotsPerSegment);
    for (DWORD i = target.next, looked = 0; i != target.index && looked < capacity;
         i = i + 1 >= capacity ? 0 : i + 1, ++looked) {
        unsigned char* slot = nullptr;
        volatile LONG* state = nullptr;
        if (!ResolveSlot(i, slotSize, slotsPerSegment, &slot, &state))
            return false;
        const LONG value = *state;
        if (!IsGivenUp(value))
            return value == eSlotFree;
    }
    return true;
}

bool CRequestPoster::Fill(const Target& target, LONG mark, const void* message, DWORD length)
{
    ChannelHeader* header = Header();
    Stage(ePostClaimed, target.index);
    // A reader that waited at this slot past its limit has given it up; it is
    // no longer ours to write.
    if (*target.state != mark)
        return SlotGivenUp(target, mark);
    // The message's own length first: the reader hands over that many bytes.
    const DWORD half = length / 2;
    const unsigned char* bytes = static_cast<const unsigned char*>(message);
    std::memcpy(target.slot, bytes, half);
    std::memcpy(target.slot + offsetof(RequestMessage, length), &length, sizeof(length));
    Stage(ePostHalfCopied, target.index);
    if (length != half)
        std::memcpy(target.slot + half, bytes + half, length - half);
    Stage(ePostCopied, target.index);
    // Full barrier: the message is in place before the slot reads as ready,
    // and "ready" is visible before waitingReaders is read (a reader counts
    // itself, then looks at the state again). Only from our own mark: the
    // reader may have given the slot up.
    if (InterlockedCompareExchange(target.state, eSlotReady, mark) != mark)
        return SlotGivenUp(target, mark);
    if (header->waitingReaders != 0)
        SetEvent(m_filledEvent.Get());
    // The next slot may be free as well: pass the wake-up on. (A count left
    // too high by a poster that died waiting costs a signal for nobody here
    // only until the reader clears it.)
    if (header->waitingPosters != 0)
        SetEvent(m_availableEvent.Get());
    m_lastError = 0;
    return true;
}

bool CRequestPoster::SlotGivenUp(const Target& target, LONG mark)
{
    // We write into the slot no more: abandoned, for the reader to free when
    // it passes it (only it knows where the slot stands in the ring).
    InterlockedCompareExchange(target.state, kSlotAbandoned, GivenUpFrom(mark));
    return Fail(kErrorSlotGivenUp);
}

bool CRequestPoster::WaitForFreeSlot(const Target& target, Pace* pace)
{
    ChannelHeader* header = Header();
    const DWORD left = pace->Left();
    if (left == 0)
        return Fail(ERROR_TIMEOUT);
    // Yield for a while before blocking: the reader frees a slot within
    // microseconds, while a wake-up through the event costs far more.
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    if (pace->spinStart == 0)
        pace->spinStart = now.QuadPart;
    if (now.QuadPart - pace->spinStart < pace->spinTicks) {
        SwitchToThread();
        return true;
    }
    const DWORD wait = std::min(pace->slice, left);
    const auto stillTaken = [&] {
        return static_cast<DWORD>(header->postIndex) == target.index && *target.state != eSlotFree;
    };
    const LONG readIndex = header->readIndex;
    DWORD woken = WAIT_TIMEOUT;
    InterlockedIncrement(&header->waitingPosters);
    if (stillTaken()) {
        HANDLE handles[2] = {m_availableEvent.Get(), m_stopAllEvent.Get()};
        woken = WaitForMultipleObjects(2, handles, FALSE, wait);
    }
    InterlockedDecrement(&header->waitingPosters);
    // The stop-all of a service that stopped and will be started again: the
    // caller waits for the next one.
    if (woken == WAIT_OBJECT_0 + 1)
        return (header->flags & kFlagClosed) != 0 ? true : Fail(ERROR_OPERATION_ABORTED);
    const bool moved = header->readIndex != readIndex;
    if (woken == WAIT_OBJECT_0) {
        // Wake-ups that keep finding the ring where it was are not trusted:
        // the event may be a manual-reset one that another process created
        // first and left signalled, which would wake us again at once until
        // the deadline. Only after a few in a row, since a reset may also
        // swallow a wake-up that the reader has just sent to another poster.
        pace->fruitless = moved || !stillTaken() ? 0 : pace->fruitless + 1;
        if (pace->fruitless >= 3) {
            ResetEvent(m_availableEvent.Get());
            pace->fruitless = 0;
        }
        pace->slice = kWaitSliceMs;
    } else if (woken == WAIT_TIMEOUT) {
        pace->slice = moved ? kWaitSliceMs : std::min(pace->slice * 2, kLongestWaitSliceMs);
    } else if (woken == WAIT_FAILED) {
        Sleep(wait);
    }
    return true;
}

bool CRequestPoster::PostRequest(uint32_t kind, const void* payload, DWORD payloadLength, DWORD timeoutMs)
{
    if (payloadLength > 0xFFFFFFFFu - kMessageHeaderBytes)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (payload == nullptr && payloadLength != 0)
        return Fail(ERROR_INVALID_PARAMETER);
    std::vector<unsigned char> message(kMessageHeaderBytes + payloadLength);
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
