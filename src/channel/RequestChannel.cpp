#include "channel/RequestChannel.h"

#include "channel/ChannelSecurity.h"

#include <algorithm>
#include <cstring>

namespace {

HANDLE CreateSharedMapping(CChannelSecurity& security, const std::wstring& name, DWORD bytes)
{
    return CreateFileMappingW(INVALID_HANDLE_VALUE, security.Attributes(), PAGE_READWRITE | SEC_COMMIT, 0, bytes,
                              name.c_str());
}

bool IsEmptyHandle(HANDLE handle)
{
    return handle == nullptr || handle == INVALID_HANDLE_VALUE;
}

// Readers that see readIndex move keep re-reading it without counting a
// yield; this bounds how long a writer flipping the word can hold them there.
constexpr DWORD kMaxRescans = 64;

// A wait that fails returns at once; this pause keeps a reader that meets such
// a failure again and again from spinning.
constexpr DWORD kFailedWaitPauseMs = 20;

} // namespace

CRequestChannel::CRequestChannel() = default;

CRequestChannel::~CRequestChannel()
{
    Destroy();
}

bool CRequestChannel::Fail(DWORD error)
{
    m_lastError = error != 0 ? error : ERROR_GEN_FAILURE;
    SetLastError(m_lastError);
    return false;
}

bool CRequestChannel::IsSignalled(HANDLE handle)
{
    return WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
}

bool CRequestChannel::Create(DWORD slotSize, DWORD slotsPerSegment)
{
    Close();
    if (!ValidChannelGeometry(slotSize, slotsPerSegment))
        return Fail(ERROR_INVALID_PARAMETER);
    m_slotSize = slotSize;
    m_slotsPerSegment = slotsPerSegment;
    m_baseName = kChannelBaseName;

    CChannelSecurity security;
    if (!security.Build())
        return Fail(GetLastError());
    bool headerExisted = false;
    if (!OpenObjects(security, &headerExisted))
        return false;
    DWORD readIndex = 0;
    const bool sameRing = WriteHeader(headerExisted, &readIndex);

    m_creator = true;
    m_slotsGivenUp = 0;
    m_requestsDropped = 0;
    m_segmentLock.SetSpinCount(40);
    if (!MapSegments(0))
        return false;
    ChannelHeader* header = Header();
    if (sameRing) {
        if (m_segmentZeroExisted) {
            ResumeRing(readIndex);
        } else {
            // The messages went with the segment: an empty ring starts at 0.
            header->readIndex = 0;
            header->postIndex = 0;
        }
    }

    m_signatureMapping.Reset(
        CreateSharedMapping(security, ChannelObjectName(m_baseName, kSignatureSuffix), kSignatureBytes));
    if (!m_signatureMapping)
        return Fail(GetLastError());

    InterlockedOr(&header->flags, kFlagCreated);
    m_open = true;
    m_lastError = 0;
    return true;
}

bool CRequestChannel::OpenObjects(CChannelSecurity& security, bool* headerExisted)
{
    const HANDLE headerMapping =
        CreateSharedMapping(security, ChannelObjectName(m_baseName, kHeaderSuffix), kHeaderBytes);
    *headerExisted = headerMapping != nullptr && GetLastError() == ERROR_ALREADY_EXISTS;
    m_headerMapping.Reset(headerMapping);
    if (!m_headerMapping)
        return Fail(GetLastError());
    m_headerView.Reset(MapChannelView(m_headerMapping.Get(), kHeaderBytes));
    if (!m_headerView)
        return Fail(GetLastError());

    const struct
    {
        const wchar_t* suffix;
        BOOL manualReset;
        CHandle* handle;
    } events[] = {
        {kFilledEventSuffix, FALSE, &m_filledEvent},
        {kAvailableEventSuffix, FALSE, &m_availableEvent},
        {kStopAllEventSuffix, TRUE, &m_stopAllEvent},
    };
    for (const auto& event : events) {
        event.handle->Reset(CreateEventW(security.Attributes(), event.manualReset, FALSE,
                                         ChannelObjectName(m_baseName, event.suffix).c_str()));
        if (!*event.handle)
            return Fail(GetLastError());
    }
    return true;
}

bool CRequestChannel::WriteHeader(bool headerExisted, DWORD* readIndex)
{
    ChannelHeader* header = Header();
    // A header that a client kept open across a restart of the service may
    // still hold unread messages: when it describes this same ring, its
    // position is kept (and so are the counts of posters waiting in it).
    const bool sameRing = headerExisted && (header->flags & kFlagCreated) != 0 &&
                          static_cast<DWORD>(header->capacity) == m_slotsPerSegment &&
                          static_cast<DWORD>(header->slotsPerSegment) == m_slotsPerSegment &&
                          static_cast<DWORD>(header->slotSize) == m_slotSize &&
                          static_cast<DWORD>(header->readIndex) < m_slotsPerSegment &&
                          static_cast<DWORD>(header->postIndex) < m_slotsPerSegment;
    *readIndex = static_cast<DWORD>(header->readIndex);
    // Posters that kept the header wait from here until the ring is usable again.
    InterlockedAnd(&header->flags, ~kFlagCreated);
    if (!sameRing) {
        header->readIndex = 0;
        header->postIndex = 0;
        header->waitingPosters = 0;
    }
    header->slotSize = static_cast<LONG>(m_slotSize);
    header->capacity = static_cast<LONG>(m_slotsPerSegment);
    header->waitingReaders = 0;
    header->slotsPerSegment = static_cast<LONG>(m_slotsPerSegment);
    header->segmentBytes = static_cast<LONG>(m_slotSize * m_slotsPerSegment);
    header->reserveSegments = 2;
    header->reserved = 0;
    // Not "created" until the ring is usable (Create sets it last): a client
    // that opened the channel while it is being set up waits instead of
    // posting into it.
    header->flags = 0;
    // The stop-all event outlives us while any client holds it, still signalled
    // from a previous run; with flags now saying "running" it must agree, or
    // every Receive would return at once. Reset only after the flags are
    // written, and signal again if a client raised stop-all in between.
    ResetEvent(m_stopAllEvent.Get());
    if (header->flags & kFlagStopAll)
        SetEvent(m_stopAllEvent.Get());
    return sameRing;
}

bool CRequestChannel::Close()
{
    m_segments.clear();
    m_filledEvent.Close();
    m_availableEvent.Close();
    m_stopAllEvent.Close();
    m_signatureMapping.Close();
    m_headerView.Close();
    m_headerMapping.Close();
    m_open = false;
    m_segmentZeroExisted = false;
    m_stuckSeen = false;
    m_emptySeen = false;
    for (Sighting& sighting : m_sightings)
        sighting = Sighting{};
    return true;
}

void CRequestChannel::ResumeRing(DWORD readIndex)
{
    // A slot still in the reading state was taken by the previous reader, which
    // ended before it had copied it out: its request was never handled. It is
    // made ready again, and when that reader had already moved readIndex past
    // it, readIndex steps back so that it is still delivered first.
    // Only the slot at readIndex and the one before it can be such a slot (the
    // reader takes one at a time); "reading" anywhere else is no reader's,
    // and is given up when the reader gets there, not delivered.
    const DWORD previous = readIndex == 0 ? m_slotsPerSegment - 1 : readIndex - 1;
    bool stepBack = false;
    for (const DWORD i : {readIndex, previous}) {
        unsigned char* slot = nullptr;
        volatile LONG* state = nullptr;
        if (ResolveSlot(i, &slot, &state) &&
            InterlockedCompareExchange(state, eSlotReady, eSlotReading) == eSlotReading)
            stepBack |= i == previous && i != readIndex;
    }
    if (stepBack)
        InterlockedCompareExchange(&Header()->readIndex, static_cast<LONG>(previous), static_cast<LONG>(readIndex));
}

void CRequestChannel::Destroy()
{
    Close();
    std::vector<CChannelSegment>().swap(m_segments);
    std::wstring().swap(m_baseName);
}

bool CRequestChannel::MapSegments(DWORD last)
{
    if (last >= kMaxSegments || m_slotsPerSegment == 0)
        return Fail(ERROR_INVALID_PARAMETER);
    m_segmentLock.LockExclusive();
    const size_t rows = m_segments.size();
    if (rows > last) {
        m_segmentLock.Unlock();
        return true;
    }

    size_t reserve = last + 1;
    if (m_creator && Header() != nullptr) {
        const DWORD wanted = static_cast<DWORD>(Header()->reserveSegments);
        reserve = std::max<size_t>(reserve, std::min(wanted, kMaxSegments));
    }
    m_segments.reserve(reserve);

    for (DWORD i = static_cast<DWORD>(rows); i <= last; ++i) {
        CChannelSegment segment;
        if (!segment.Open(m_baseName, i, m_slotSize, m_slotsPerSegment)) {
            const DWORD error = GetLastError();
            m_segmentLock.Unlock();
            return Fail(error);
        }
        if (i == 0)
            m_segmentZeroExisted = segment.Existed();
        m_segments.push_back(std::move(segment));
    }
    m_segmentLock.Unlock();
    return true;
}

bool CRequestChannel::ResolveSlot(DWORD index, unsigned char** slot, volatile LONG** state)
{
    ChannelHeader* header = Header();
    if (header == nullptr || m_slotsPerSegment == 0)
        return Fail(ERROR_INVALID_HANDLE);
    // Read each shared value once: another process may change it at any time.
    const DWORD capacity = static_cast<DWORD>(header->capacity);
    if (static_cast<DWORD>(header->slotsPerSegment) != m_slotsPerSegment ||
        static_cast<DWORD>(header->slotSize) != m_slotSize)
        return Fail(ERROR_INVALID_DATA);
    const DWORD followed = std::min(capacity, kMaxSegments * m_slotsPerSegment);
    if (index >= followed)
        return Fail(ERROR_INVALID_DATA);

    if (index >= SlotsMapped()) {
        const DWORD wanted = std::max(index, capacity) / m_slotsPerSegment;
        if (!MapSegments(std::min(wanted, kMaxSegments - 1)))
            return false;
    }

    const DWORD segment = index / m_slotsPerSegment;
    const DWORD k = index % m_slotsPerSegment;
    if (!m_creator)
        m_segmentLock.LockShared();
    const bool found = segment < m_segments.size();
    if (found) {
        *slot = m_segments[segment].Slot(k);
        *state = m_segments[segment].State(k);
    }
    if (!m_creator)
        m_segmentLock.Unlock();
    return found ? true : Fail(ERROR_INVALID_DATA);
}

bool CRequestChannel::WaitForFilled(DWORD* snapshot, unsigned char** slot, volatile LONG** state,
                                    DWORD* remaining, HANDLE extra, bool* resolved)
{
    ChannelHeader* header = Header();
    // A slot that cannot be resolved (geometry or index the header no longer
    // agrees on, or a segment that cannot be mapped) is simply not ready: the
    // reader blocks as for an empty ring instead of spinning through its budget.
    const auto ready = [&] { return *resolved && **state == eSlotReady; };
    *snapshot = static_cast<DWORD>(header->readIndex);
    *resolved = ResolveSlot(*snapshot, slot, state);
    DWORD yields = 0;
    DWORD rescans = 0;
    for (;;) {
        if (ready())
            return true;
        const DWORD now = static_cast<DWORD>(header->readIndex);
        if (now != *snapshot) {
            *snapshot = now;
            *resolved = ResolveSlot(*snapshot, slot, state);
            if (++rescans <= kMaxRescans)
                yields = 0;
            continue;
        }
        // A given-up slot holds no message: pass it at once. Bounded, so that
        // a header full of such values cannot keep the reader turning.
        const LONG value = *resolved ? **state : eSlotFree;
        if (IsGivenUp(value) && rescans < kMaxRescans) {
            PassGivenUp(*snapshot, *state, value);
            ++rescans;
            continue;
        }
        if (++yields <= m_readerSpin) {
            SwitchToThread();
            continue;
        }
        break;
    }

    // Waiting at a slot that is being filled: not past the stuck slot limit,
    // so that a slot given up is given up on time. Waiting on an empty ring:
    // not past a look slice, since a claim made meanwhile wakes nobody and its
    // limit counts from the claim.
    DWORD wait = *remaining;
    DWORD left = 0;
    LookAtRing();
    if (*resolved) {
        if (StuckFor(*snapshot, *state, &left)) {
            if (left == 0) {
                GiveUpSlot(*state, m_stuckValue);
                return false; // the caller looks again and passes it
            }
            wait = std::min(wait, left);
        } else {
            if (**state == eSlotFree)
                RecoverWaitingCount();
            wait = std::min(wait, LookSliceMs());
        }
    }

    InterlockedIncrement(&header->waitingReaders);
    // With stop-all raised there is nothing to wait for: the flag counts as
    // well as the event, which another process may have created auto-reset.
    if (!ready() && static_cast<DWORD>(header->readIndex) == *snapshot && (header->flags & kFlagStopAll) == 0) {
        HANDLE handles[3] = {m_filledEvent.Get(), m_stopAllEvent.Get(), extra};
        const DWORD count = IsEmptyHandle(extra) ? 2 : 3;
        const DWORD start = GetTickCount();
        // Any result, a failure included, just means "look again".
        const DWORD woken = WaitForMultipleObjects(count, handles, FALSE, wait);
        if (*remaining != INFINITE) {
            const DWORD elapsed = GetTickCount() - start;
            *remaining = elapsed >= *remaining ? 0 : *remaining - elapsed;
        }
        // A wake-up by the filled event that finds nothing ready is not
        // trusted: the event may be a manual-reset one that another process
        // created first and left signalled, which would wake the reader again
        // at once for ever. Resetting it is harmless for the auto-reset event
        // the channel expects, and the state is looked at again below.
        if (woken == WAIT_OBJECT_0 && !ready())
            ResetEvent(m_filledEvent.Get());
        else if (woken == WAIT_FAILED)
            Sleep(kFailedWaitPauseMs);
    }
    InterlockedDecrement(&header->waitingReaders);
    return ready();
}

bool CRequestChannel::StuckFor(DWORD index, volatile LONG* state, DWORD* left)
{
    // postIndex first: a free slot seen after it is behind it for good, since
    // a poster claims a slot before it moves postIndex past it.
    const DWORD postIndex = static_cast<DWORD>(Header()->postIndex);
    const LONG value = *state;
    // Ready is taken at once, a given-up slot is passed, and a free slot with
    // postIndex on it is simply an empty ring. Anything else keeps the ring
    // waiting here: a slot a poster is filling (or died filling), or a free
    // one that postIndex has passed, which no poster will fill any more.
    if (value == eSlotReady || IsGivenUp(value) || (value == eSlotFree && postIndex == index)) {
        m_stuckSeen = false;
        return false;
    }
    const DWORD now = GetTickCount();
    if (!m_stuckSeen || m_stuckIndex != index || m_stuckValue != value) {
        m_stuckSeen = true;
        m_stuckIndex = index;
        m_stuckValue = value;
        const bool sighted = value != eSlotFree && index < kTrackedSlots && m_sightings[index].value == value;
        m_stuckSince = sighted ? m_sightings[index].since : now;
    }
    const DWORD waited = now - m_stuckSince;
    *left = waited >= m_stuckLimit ? 0 : m_stuckLimit - waited;
    return true;
}

bool CRequestChannel::GiveUpSlot(volatile LONG* state, LONG value)
{
    m_stuckSeen = false;
    // One compare-and-swap from exactly the state that stayed: a poster that
    // wakes now finds its mark gone and fails instead of marking the slot
    // ready, and the slot keeps naming it, so that nobody else is given the
    // slot while it may still copy into it. A slot that names no writer is
    // simply abandoned. Never "reading": a restart would take that for a
    // message the old reader had not finished.
    const LONG givenUp = IsFillMark(value) ? GivenUpFrom(value) : kSlotAbandoned;
    if (InterlockedCompareExchange(state, givenUp, value) != value)
        return false;
    ++m_slotsGivenUp;
    if (IsFillMark(value))
        ++m_requestsDropped;
    return true;
}

void CRequestChannel::PassGivenUp(DWORD index, volatile LONG* state, LONG value)
{
    ChannelHeader* header = Header();
    const DWORD next = NextIndex(index);
    ForgetSighting(index);
    // Passed, the slot is the last of the free part of the ring, where
    // posters come to it in turn: it is freed there as soon as nobody can
    // write into it (while its poster still may, posters pass it, or use it
    // once that poster is done). With postIndex on it the ring is either empty
    // or full of what was posted since: postIndex moves on with readIndex, so
    // that readIndex never gets ahead of it, and the slot is the last of the
    // free part only when the ring is empty. In a full ring it stays a hole
    // at the end of the ring, to be passed again.
    bool freeIt = !OwnerMayWrite(value);
    // postIndex first, then the slot once more: a poster takes a slot it may
    // use again by marking it and then moving postIndex off it, so a slot
    // that still holds what was passed was nobody's when postIndex was read.
    // Otherwise readIndex could move past a message just claimed.
    const DWORD postIndex = static_cast<DWORD>(header->postIndex);
    if (*state != value)
        return;
    if (postIndex == index) {
        if (static_cast<DWORD>(InterlockedCompareExchange(&header->postIndex, static_cast<LONG>(next),
                                                          static_cast<LONG>(index))) != index)
            return;
        freeIt = freeIt && RingEmptyFrom(next, index);
    }
    InterlockedCompareExchange(&header->readIndex, static_cast<LONG>(next), static_cast<LONG>(index));
    m_stuckSeen = false;
    // From exactly the value passed: a poster may have taken the slot since.
    if (freeIt)
        InterlockedCompareExchange(state, eSlotFree, value);
    if (header->waitingPosters != 0)
        SetEvent(m_availableEvent.Get());
}

bool CRequestChannel::RingEmptyFrom(DWORD first, DWORD end)
{
    // In a full ring every slot is taken; in an empty one the slots are free,
    // or holes that posters pass. The first slot that is not a hole tells
    // which; a ring of nothing but holes holds no message to keep in order.
    for (DWORD i = first, looked = 0; i != end && looked < kMaxRescans; i = NextIndex(i), ++looked) {
        unsigned char* slot = nullptr;
        volatile LONG* state = nullptr;
        if (!ResolveSlot(i, &slot, &state))
            return false;
        const LONG value = *state;
        if (!IsGivenUp(value))
            return value == eSlotFree;
    }
    return true;
}

void CRequestChannel::RecoverWaitingCount()
{
    // A poster counts itself in waitingPosters only while the slot at
    // postIndex is taken, and uncounts itself within microseconds once it is
    // free. A count that stays the same on an empty ring, with postIndex not
    // moving, for a whole look slice belongs to posters that died waiting
    // (also before a restart): it is cleared, or every release would signal
    // the available event for nobody. A live poster caught in between only
    // makes the count wrong until the next such look, never its wait longer
    // than its own wait slice.
    ChannelHeader* header = Header();
    const LONG waiting = header->waitingPosters;
    const DWORD postIndex = static_cast<DWORD>(header->postIndex);
    const DWORD now = GetTickCount();
    if (waiting == 0) {
        m_emptySeen = false;
        return;
    }
    if (!m_emptySeen || m_emptyWaiting != waiting || m_emptyPostIndex != postIndex) {
        m_emptySeen = true;
        m_emptyWaiting = waiting;
        m_emptyPostIndex = postIndex;
        m_emptySince = now;
        return;
    }
    if (now - m_emptySince >= LookSliceMs()) {
        InterlockedCompareExchange(&header->waitingPosters, 0, waiting);
        m_emptySeen = false;
    }
}

void CRequestChannel::ForgetSighting(DWORD index)
{
    if (index < kTrackedSlots)
        m_sightings[index] = Sighting{};
}

void CRequestChannel::LookAtRing()
{
    const DWORD now = GetTickCount();
    const DWORD slots = std::min({static_cast<DWORD>(Header()->capacity), SlotsMapped(), kTrackedSlots});
    for (DWORD i = 0; i < slots; ++i) {
        unsigned char* slot = nullptr;
        volatile LONG* state = nullptr;
        if (!ResolveSlot(i, &slot, &state))
            return;
        // A claim, or anything else that is not a message: each is timed
        // from when it was first seen, so that a ring full of values that
        // name no live poster is reclaimed within one limit, not one per slot.
        const LONG value = *state;
        if (value == eSlotFree || value == eSlotReady || IsGivenUp(value))
            m_sightings[i] = Sighting{};
        else if (m_sightings[i].value != value)
            m_sightings[i] = Sighting{value, now};
    }
}

DWORD CRequestChannel::NextIndex(DWORD index) const
{
    const DWORD capacity = static_cast<DWORD>(Header()->capacity);
    return capacity == index + 1 ? 0 : index + 1;
}

unsigned char* CRequestChannel::TryTake(DWORD* remaining, volatile LONG** stateOut, HANDLE extra)
{
    DWORD snapshot = 0;
    unsigned char* slot = nullptr;
    volatile LONG* state = nullptr;
    bool resolved = false;
    if (!WaitForFilled(&snapshot, &slot, &state, remaining, extra, &resolved))
        return nullptr;
    if (InterlockedCompareExchange(state, eSlotReading, eSlotReady) != eSlotReady)
        return nullptr;
    if (m_takeHook != nullptr)
        m_takeHook(m_takeHookContext, snapshot);

    ChannelHeader* header = Header();
    const DWORD next = NextIndex(snapshot);
    if (static_cast<DWORD>(InterlockedCompareExchange(&header->readIndex, static_cast<LONG>(next),
                                                      static_cast<LONG>(snapshot))) == snapshot) {
        // The ring moved on: a later wait here, even at the same slot with the
        // same poster's mark (the same thread claims it again a lap later),
        // is a new one.
        m_stuckSeen = false;
        ForgetSighting(snapshot);
        *stateOut = state;
        return slot;
    }
    // Whoever moved readIndex owns the order now; leave the message for it.
    *state = eSlotReady;
    return nullptr;
}

unsigned char* CRequestChannel::Receive(volatile LONG** stateOut, HANDLE extra)
{
    if (stateOut == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    *stateOut = nullptr;
    if (!m_open || Header() == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (IsEmptyHandle(extra))
        extra = nullptr;

    DWORD budget = m_receiveBudget;
    if (unsigned char* slot = TryTake(&budget, stateOut, extra))
        return slot;
    DWORD remaining = budget;
    const DWORD start = GetTickCount();
    for (;;) {
        if (unsigned char* slot = TryTake(&remaining, stateOut, extra))
            return slot;
        if (budget != INFINITE && GetTickCount() - start >= budget)
            return nullptr;
        // The flag counts as well as the event: a stop-all event that another
        // process created first as an auto-reset one is used up by a wait.
        if (IsSignalled(m_stopAllEvent.Get()) || (Header()->flags & kFlagStopAll) != 0) {
            // The flag must say the same, or a caller that tests StopAllRaised
            // after each empty Receive would spin (a client may clear the flag).
            InterlockedOr(&Header()->flags, kFlagStopAll);
            return nullptr;
        }
        if (extra != nullptr && IsSignalled(extra))
            return nullptr;
    }
}

void CRequestChannel::ReleaseSlot(volatile LONG* state)
{
    if (state == nullptr)
        return;
    // A full barrier: the caller's copy must be complete before the slot reads
    // as free, and the free must be visible before waitingPosters is read (a
    // poster counts itself first and then looks at the state again).
    InterlockedExchange(state, eSlotFree);
    ChannelHeader* header = Header();
    if (header != nullptr && header->waitingPosters != 0)
        SetEvent(m_availableEvent.Get());
}

void CRequestChannel::MarkClosed()
{
    if (ChannelHeader* header = Header())
        InterlockedOr(&header->flags, kFlagClosed);
}

void CRequestChannel::RaiseStopAll()
{
    ChannelHeader* header = Header();
    if (header != nullptr)
        InterlockedOr(&header->flags, kFlagStopAll);
    if (m_stopAllEvent)
        SetEvent(m_stopAllEvent.Get());
}

bool CRequestChannel::StopAllRaised() const
{
    const ChannelHeader* header = Header();
    return header != nullptr && (header->flags & kFlagStopAll) != 0;
}

DWORD CRequestChannel::HeaderSlotSize() const
{
    const ChannelHeader* header = Header();
    if (!m_open || header == nullptr)
        return 0;
    return std::min(static_cast<DWORD>(header->slotSize), m_slotSize);
}

DWORD CRequestChannel::MessageLength(const unsigned char* slot) const
{
    if (slot == nullptr)
        return 0;
    // Read once: the slot is shared, and the copy must be of the length checked.
    const DWORD length = *reinterpret_cast<const volatile DWORD*>(slot + offsetof(RequestMessage, length));
    return length >= kMessageHeaderBytes && length <= HeaderSlotSize() ? length : 0;
}

bool HandleRequest(const unsigned char* bytes, size_t length, std::string* text)
{
    if (text != nullptr)
        text->clear();
    if (bytes == nullptr || length < kMessageHeaderBytes) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    uint32_t kind = 0;
    std::memcpy(&kind, bytes + offsetof(RequestMessage, kind), sizeof(kind));
    if (kind != 0)
        return true;
    // The request's text runs to the end of the message, zero bytes included.
    // No action is attached to it, so it is only handed back when asked for.
    const char* request = reinterpret_cast<const char*>(bytes) + kMessageHeaderBytes;
    if (text != nullptr)
        text->assign(request, length - kMessageHeaderBytes);
    return true;
}

bool HandleRequest(const unsigned char* bytes, size_t length)
{
    return HandleRequest(bytes, length, nullptr);
}
