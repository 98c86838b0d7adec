#pragma once
// Security attributes that carry the channel's descriptor, for every object
// either end creates. Header-only: the posting side uses it too.
#include "channel/ChannelLayout.h"
#include "platform/Handles.h"
#include "platform/SddlSecurity.h"

class CChannelSecurity
{
public:
    // False with the last-error value of the conversion.
    bool Build() { return m_security.Build(kChannelSddl); }
    SECURITY_ATTRIBUTES* Attributes() { return m_security.Attributes(); }

private:
    CSddlSecurity m_security;
};

// Maps exactly `bytes` of a mapping: one that somebody else created smaller
// fails here (last error set) instead of leaving pointers past its view.
inline void* MapChannelView(HANDLE mapping, DWORD bytes)
{
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, bytes);
    if (view == nullptr)
        return nullptr;
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(view, &info, sizeof(info)) == 0 || info.RegionSize < bytes) {
        UnmapViewOfFile(view);
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    return view;
}
