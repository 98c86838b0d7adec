#pragma once
// Lines for the tool's user: to the console as wide text, or, when the output
// is redirected to a file or a pipe, as UTF-8 bytes. Lines end in CR LF.
// A progress line may stand on standard error while a console shows it; it is
// erased before any other line is written, so it never mixes with them.
#include <windows.h>

#include <string>

void PrintOut(const std::wstring& line);
void PrintError(const std::wstring& line);

// True when the standard handle (STD_OUTPUT_HANDLE, STD_ERROR_HANDLE) is a
// console, not a file or a pipe.
bool IsConsole(DWORD which);

// Shows text as the progress line on standard error, in place of the one
// shown before, cut to the console's width so that it stays on one row.
// Does nothing unless standard error is a console.
void ShowProgressLine(const std::wstring& text);
// Erases the progress line, if one is shown.
void ClearProgressLine();

// The system's text for a Windows error code on one line, followed by the
// code: "Access denied. (error 5)".
std::wstring ErrorText(DWORD code);

// text with every line break and tab turned into a blank: a message that must
// stay on one line.
std::wstring OneLine(std::wstring text);

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
