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
    // AssignedVersion of the manifest: the version the update installs.
    std::optional<std::wstring> manifestVersion;
    // The version the update is made from, recorded with the files the new
    // version keeps unchanged; without it the record names no version.
    std::optional<std::wstring> fromVersion;
    std::optional<std::wstring> appToRun;
    std::optional<std::wstring> params;
    bool restartClient = false;
    // Files only the old version has are reported instead of removed.
    bool keepRemoved = false;
    // Only tell what the update would hold; write nothing.
    bool dryRun = false;
    // The result as one JSON document on standard output.
    bool json = false;
    // The guard rails, each lifted only by its own option: a new version
    // without files, and an update that removes more than half of the old
    // version's files.
    bool allowEmpty = false;
    bool allowMassRemoval = false;
    // Only the small downloads (patch or compressed file) of each file, not
    // the whole file, unless it has none.
    bool noFull = false;
};

// What "verify" was asked to check: the manifest's downloads, or with an
// installed folder the files the manifest leaves there.
struct CVerifyOptions
{
    std::wstring manifest;
    std::optional<std::wstring> installedFolder;
    // Where the downloads are looked for instead of the manifest's update folder.
    std::optional<std::wstring> downloadsFolder;
    // The installed version the patches apply to, for rebuilding them.
    std::optional<std::wstring> baseFolder;
    bool json = false;
};

enum eCommand
{
    eCommandNone,
    eCommandHelp,
    eCommandMake,
    eCommandVerify,
    eCommandVersion, // prints the tool's version
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
    // --json was asked for (also when the line is unusable): an error then
    // goes to standard output as a JSON document too.
    bool json = false;
    // Lines for standard error that do not stop the command (an old spelling
    // that still works).
    std::vector<std::wstring> notes;
};

// arguments: everything after the program's own name.
CCommandLine ParseCommandLine(const std::vector<std::wstring>& arguments);

// Four dot-separated decimal numbers, each within 32 signed bits.
bool IsVersionText(const std::wstring& text);

// The tool's own version, as "--version" prints it.
extern const wchar_t kToolVersion[];

// The name of a command as the user types it ("make", "verify"); empty for
// eCommandNone.
std::wstring CommandName(eCommand command);

// The usage text of one command (eCommandMake, eCommandVerify) or of all,
// one element per line, the first being "usage:".
std::vector<std::wstring> UsageLines(eCommand topic = eCommandNone);
