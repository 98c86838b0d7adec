#pragma once
// Helpers of the channel tests: the poster program,
// independent views of the channel's objects, and a millisecond clock.
#include "channel/ChannelLayout.h"
#include "platform/Handles.h"
#include "support/TestSupport.h"

#include <string>

// Command line of the poster test program with the given arguments.
inline std::wstring PosterCommand(const std::wstring& arguments)
{
    return QuoteArgument(TestBinaryFolder() + L"QXChannelPoster.exe") + L" " + arguments;
}

// Runs the poster test program to its end; its exit code (STILL_ACTIVE on time-out).
inline DWORD RunPoster(const std::wstring& arguments, DWORD timeoutMs = 60000)
{
    CChildProcess child;
    if (!child.Start(PosterCommand(arguments)))
        return GetLastError();
    return child.Wait(timeoutMs);
}

// A view of an existing mapping of the channel, independent of any endpoint:
// it keeps the object (and its contents) alive while an endpoint closes.
class CForeignView
{
public:
    bool Open(const std::wstring& name, DWORD bytes)
    {
        m_mapping.Reset(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, name.c_str()));
        if (!m_mapping)
            return false;
        m_view.Reset(MapViewOfFile(m_mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, bytes));
        return m_view.IsValid();
    }
    void Close()
    {
        m_view.Close();
        m_mapping.Close();
    }
    unsigned char* Bytes() const { return static_cast<unsigned char*>(m_view.Get()); }
    ChannelHeader* Header() const { return static_cast<ChannelHeader*>(m_view.Get()); }

private:
    CHandle m_mapping;
    CMappedView m_view;
};

inline bool ObjectExists(const std::wstring& name)
{
    CHandle mapping(OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str()));
    return mapping.IsValid();
}

// Milliseconds since construction (64-bit, from the performance counter).
class CElapsed
{
public:
    CElapsed() { QueryPerformanceCounter(&m_start); }
    double Ms() const
    {
        LARGE_INTEGER now, frequency;
        QueryPerformanceCounter(&now);
        QueryPerformanceFrequency(&frequency);
        return double(now.QuadPart - m_start.QuadPart) * 1000.0 / double(frequency.QuadPart);
    }

private:
    LARGE_INTEGER m_start;
};

// Waits until *word holds value; false when timeoutMs passed first.
inline bool WaitForWord(const volatile LONG* word, LONG value, DWORD timeoutMs)
{
    CElapsed elapsed;
    while (*word != value) {
        if (elapsed.Ms() > timeoutMs)
            return false;
        Sleep(5);
    }
    return true;
}

