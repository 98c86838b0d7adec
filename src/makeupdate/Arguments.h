#pragma once
// The command line of QXMakeUpdate: a command, then its options, each given
// as "--name value" or "--name=value".
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
    // Only tell what the update would hold; write nothing.
    bool dryRun = false;
    // The result as one JSON document on standard output.
    bool json = false;
};

// What "verify" was asked to check: the manifest's downloads, or with an
// installed folder the files the manifest leaves there.
struct CVerifyOptions
{
    std::wstring manifest;
    std::optional<std::wstring> installedFolder;
    bool json = false;
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
    // The command whose usage help prints or an error is shown with;
    // eCommandNone: every command's.
    eCommand topic = eCommandNone;
    CMakeOptions make;
    CVerifyOptions verify;
    std::wstring error; // why the command line is unusable; empty when it is usable
};

// arguments: everything after the program's own name.
CCommandLine ParseCommandLine(const std::vector<std::wstring>& arguments);

// Four dot-separated decimal numbers, each within 32 signed bits.
bool IsVersionText(const std::wstring& text);

// The usage text of one command (eCommandMake, eCommandVerify) or of all,
// one element per line, the first being "usage:".
std::vector<std::wstring> UsageLines(eCommand topic = eCommandNone);
