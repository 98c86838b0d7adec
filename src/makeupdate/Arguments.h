#pragma once
// The command line of QXMakeUpdate: a command, then its options.
#include <optional>
#include <string>
#include <vector>

// What "make" was asked to do. Optional texts are written to the manifest
// only when given.
struct CMakeOptions
{
    std::wstring oldFolder;
    std::wstring newFolder;
    std::wstring outFolder;
    std::optional<std::wstring> targetFolder;
    std::optional<std::wstring> updateFolder;
    std::optional<std::wstring> version;
    std::optional<std::wstring> appToRun;
    std::optional<std::wstring> params;
    bool restartClient = false;
    // Files only the old version has are reported instead of removed.
    bool keepRemoved = false;
};

enum eCommand
{
    eCommandNone,
    eCommandHelp,
    eCommandMake,
    eCommandVerify,
};

struct CCommandLine
{
    eCommand command = eCommandNone;
    CMakeOptions make;
    std::wstring manifest; // verify
    std::wstring error;    // why the command line is unusable; empty when it is usable
};

// arguments: everything after the program's own name.
CCommandLine ParseCommandLine(const std::vector<std::wstring>& arguments);

// Four dot-separated decimal numbers, each within 32 signed bits.
bool IsVersionText(const std::wstring& text);

// The usage text, one element per line.
std::vector<std::wstring> UsageLines();
