#pragma once
// How far long work on files has come, as one line on standard error that a
// console shows and rewrites in place. Redirected output never gets it: a
// file or pipe would only collect noise. The line appears once the work has
// lasted a moment, changes a few times a second at most, and is erased when
// the work ends or any other line is printed.
#include <windows.h>

#include <cstdint>
#include <string>

// Where the line goes: a seam for tests, which give their own clock and
// collect the lines.
struct CProgressOutput
{
    ULONGLONG (*now)(void* context); // milliseconds, never going back
    void (*show)(void* context, const std::wstring& line);
    void (*clear)(void* context);
    void* context;
};

class CProgress
{
public:
    // Shown on standard error when it is a console; otherwise does nothing.
    CProgress();
    explicit CProgress(const CProgressOutput& output);
    ~CProgress() { Finish(); }
    CProgress(const CProgress&) = delete;
    CProgress& operator=(const CProgress&) = delete;

    // Work on the file number index (from 1) of count begins: verb says what
    // is done to it ("copying"), size is the bytes it will take.
    void BeginFile(const wchar_t* verb, size_t index, size_t count, const std::wstring& name, uint64_t size);
    // bytes more of the current file are done.
    void Advance(uint64_t bytes);
    // Erases the line; the next file starts the delay anew.
    void Finish();

    // Delay before the line first appears, and least time between changes.
    static const ULONGLONG kFirstAfterMs = 1000;
    static const ULONGLONG kEveryMs = 250;

private:
    void Update();

    CProgressOutput m_output{};
    bool m_enabled = false;
    bool m_started = false;
    bool m_shown = false;
    ULONGLONG m_start = 0;
    ULONGLONG m_lastShown = 0;
    std::wstring m_verb;
    size_t m_index = 0;
    size_t m_count = 0;
    std::wstring m_name;
    uint64_t m_size = 0;
    uint64_t m_done = 0;
};

// "999 bytes", "1.0 KiB", "4.0 GiB": a size rounded down to a tenth of its unit.
std::wstring SizeText(uint64_t bytes);
