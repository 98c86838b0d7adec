#pragma once
// Lines for the tool's user: to the console as wide text, or, when the output
// is redirected to a file or a pipe, as UTF-8 bytes. Lines end in CR LF.
#include <windows.h>

#include <string>

void PrintOut(const std::wstring& line);
void PrintError(const std::wstring& line);

// The system's text for a Windows error code on one line, followed by the
// code: "Access denied. (error 5)".
std::wstring ErrorText(DWORD code);

// "1 file", "2 files": a count with its noun, plural taken by adding "s".
std::wstring Count(size_t count, const std::wstring& noun);

// The exit codes of QXMakeUpdate.
enum eExitCode
{
    eExitDone = 0,
    eExitUsage = 1,
    eExitUnusable = 2,
    eExitProblems = 3,
};
