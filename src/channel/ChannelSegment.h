#pragma once
// One data segment of the channel, mapped: where its slots and their state
// words are. The one place that turns the shared layout into pointers, for
// the reader and the posting side alike. Header-only, like the layout.
#include "channel/ChannelLayout.h"
#include "channel/ChannelSecurity.h"
#include "platform/Handles.h"

#include <string>

class CChannelSegment
{
public:
    // Opens segment `number` of the channel named `base`, creating it
    // (zero-filled, so every slot free) when nobody has yet. The geometry must
    // pass ValidChannelGeometry. False with the last-error value set.
    bool Open(const std::wstring& base, DWORD number, DWORD slotSize, DWORD slotsPerSegment)
    {
        Close();
        CChannelSecurity security;
        if (!security.Build())
            return false;
        const DWORD bytes = static_cast<DWORD>(SegmentBytes(slotSize, slotsPerSegment));
        m_mapping.Reset(CreateFileMappingW(INVALID_HANDLE_VALUE, security.Attributes(), PAGE_READWRITE | SEC_COMMIT, 0,
                                           bytes, SegmentName(base, number).c_str()));
        if (!m_mapping)
            return false;
        m_existed = GetLastError() == ERROR_ALREADY_EXISTS;
        m_view.Reset(MapChannelView(m_mapping.Get(), bytes));
        if (!m_view) {
            const DWORD error = GetLastError();
            m_mapping.Close();
            SetLastError(error);
            return false;
        }
        m_slotSize = slotSize;
        m_states = reinterpret_cast<volatile LONG*>(Bytes() + StateWordsOffset(slotSize, slotsPerSegment));
        return true;
    }

    void Close()
    {
        m_view.Close();
        m_mapping.Close();
        m_states = nullptr;
    }

    bool IsOpen() const { return m_view.IsValid(); }
    // The segment was there before Open (someone else kept it, with its contents).
    bool Existed() const { return m_existed; }
    // Slot k of the segment and its state word.
    unsigned char* Slot(DWORD k) const { return Bytes() + size_t(k) * m_slotSize; }
    volatile LONG* State(DWORD k) const { return m_states + k; }

private:
    unsigned char* Bytes() const { return static_cast<unsigned char*>(m_view.Get()); }

    CHandle m_mapping;
    CMappedView m_view;
    volatile LONG* m_states = nullptr;
    DWORD m_slotSize = 0;
    bool m_existed = false;
};
