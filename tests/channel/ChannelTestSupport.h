#pragma once
// Helpers of the channel tests: a poster process started in the background,
// independent views of the channel's objects, and a millisecond clock.
#include "channel/ChannelLayout.h"
#include "platform/Handles.h"
#include "support/TestSupport.h"

#include <string>

// A child process that is ended when the object goes out of scope, so a
// failing test never leaves a poster holding the channel's objects.
class CChildProcess
{
public:
    CChildProcess() = default;
    ~CChildProcess() { Terminate(); }
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;
    CChildProcess(CChildProcess&&) = default;

    bool Start(const std::wstring& commandLine)
    {
        std::wstring command = commandLine;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
            return false;
        CloseHandle(info.hThread);
        m_process.Reset(info.hProcess);
        return true;
    }

    // The exit code, or STILL_ACTIVE when the process did not end in time.
    DWORD Wait(DWORD timeoutMs)
    {
        if (!m_process)
            return ERROR_INVALID_HANDLE;
        if (WaitForSingleObject(m_process.Get(), timeoutMs) != WAIT_OBJECT_0)
            return STILL_ACTIVE;
        DWORD code = 0;
        GetExitCodeProcess(m_process.Get(), &code);
        return code;
    }

    void Terminate()
    {
        if (m_process && WaitForSingleObject(m_process.Get(), 0) != WAIT_OBJECT_0) {
            TerminateProcess(m_process.Get(), 1);
            WaitForSingleObject(m_process.Get(), 5000);
        }
        m_process.Close();
    }

private:
    CHandle m_process;
};

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
