#pragma once
// Reading the record that the stand-in program (tests/helpers/QXStandIn.cpp)
// appends to: one tab-separated line per start and per exit of its own.
#include <windows.h>

#include <string>
#include <vector>

// The variable that names the record file for every stand-in started with it.
constexpr wchar_t kStandInRecordVariable[] = L"QX_STANDIN_RECORD";

struct StandInEvent
{
    std::string kind;            // "start", "exit" or (the windowed stand-in) "ready"
    DWORD processId = 0;
    unsigned long long time = 0; // UTC FILETIME
    std::wstring module;         // start only: the executable
    std::wstring folder;         // start only: the working directory
    std::wstring commandLine;    // start only
    unsigned long runFiles = 0;  // ready only: files in the update run's folders of its working directory
};

std::vector<StandInEvent> ReadStandInRecord(const std::wstring& path);
// Only the "start" events.
std::vector<StandInEvent> ReadStandInStarts(const std::wstring& path);
