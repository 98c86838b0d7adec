#pragma once
// The update run's account of itself beyond the engine's fixed lines: what it
// did to the application files, counted, an error code in words, and the
// run's closing line. The texts are in UpdateMessages.h.
#include <windows.h>

#include "platform/VersionNumber.h"

#include <cstdint>
#include <string>

// What a run did to the application files, counted as it goes.
struct CUpdateRunCounts
{
    int replaced = 0;
    int added = 0;
    int removed = 0;
    int skipped = 0;
    int failed = 0;
    int putBack = 0; // old versions put back when the run was undone
};

// How a run ended, for its closing line.
enum eRunEnd
{
    eRunNotDone = 0,   // the manifest did not load or the run could not begin: nothing was touched
    eRunCommitted = 1, // every change is in place
    eRunUndone = 2,    // an item failed and every change was undone
    eRunOtherVersion = 3, // refused at the load: the installation is not the update's base version
};

// An error code as an operator reads it: words for the usual causes, the
// system's own text for the rest.
std::wstring ReasonText(DWORD code);
// Why path could not be changed: a folder standing under a file's name is
// said so, whatever code the call that met it returned.
std::wstring FailureText(const std::wstring& path, DWORD code);
// One error line: message, the file's path, then its code ("... Код ошибки N").
void LogFileError(const wchar_t* message, const std::wstring& path, DWORD code);
// One error line: message, the file's path and why in words (FailureText),
// then its code.
void LogFileFailure(const wchar_t* message, const std::wstring& path, DWORD code);
// "major.minor.build.revision"; "не указана" for 0.0.0.0 (no version given).
std::wstring VersionText(const CVersionNumber& version);
// The run's last line: its counts, how it ended and how long it took.
void LogRunEnd(const CUpdateRunCounts& counts, eRunEnd end, uint64_t milliseconds);

// Counts the ERROR lines written while it exists (one at a time: a run),
// whichever part of the run wrote them, so that the closing line's error
// count is what the log shows above it.
class CErrorLineCount
{
public:
    CErrorLineCount();
    ~CErrorLineCount();
    CErrorLineCount(const CErrorLineCount&) = delete;
    CErrorLineCount& operator=(const CErrorLineCount&) = delete;

    int Count() const;
};
