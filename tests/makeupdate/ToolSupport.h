#pragma once
// Driving QXMakeUpdate.exe and the update engine from tests, and building and
// reading folder trees.
#include <windows.h>

#include "support/TestSupport.h"

#include <map>
#include <string>
#include <vector>

std::wstring MakeUpdateExecutable();

struct ToolResult
{
    bool finished = false;
    std::string notFinished; // why it did not start or end (with the error code); empty once finished
    DWORD exitCode = 0;
    std::vector<std::wstring> out; // standard output, line by line (UTF-8 decoded)
    std::vector<std::wstring> err; // standard error
    std::string outBytes;          // standard output as written
};

// Runs QXMakeUpdate.exe with these arguments (each quoted as needed). Every
// failed assertion of the test after it is shown with the last few runs of
// the tool in the test: their command lines, exit codes and output, or why
// they did not start or end.
ToolResult RunMakeUpdate(const std::vector<std::wstring>& arguments, const std::wstring& workingDirectory = L"");

// Runs an update with the real service executable, copied into binFolder so
// that its log belongs to this run; the log's lines (Windows-1251 bytes).
// Every failed assertion of the test after it is shown with that log.
bool RunEngine(const std::wstring& binFolder, const std::wstring& manifest, std::vector<std::string>* log);
// "ERROR message" of the log lines at level ERROR, but for the failed start of
// the program after the update (these manifests name none) and the run's
// closing line.
std::vector<std::string> ErrorLines(const std::vector<std::string>& log);
// The outcome that the last run's closing line states, up to its counts
// (Windows-1251); empty when there is none.
std::string RunOutcome(const std::vector<std::string>& log);

// The MD5 of bytes through CryptoAPI, independent of the product's bcrypt use.
std::string CryptoApiMd5(const std::string& bytes);

// Relative path (backslashes) -> content, for every file below folder.
using TreeContents = std::map<std::wstring, std::string>;
bool WriteTree(const std::wstring& folder, const TreeContents& files);
TreeContents ReadTree(const std::wstring& folder);

// Last-write time in 100-ns units since 1601 (UTC); 0 when unreadable.
LONGLONG WriteTime(const std::wstring& path);
// Sets all three times of the file.
bool SetTimes(const std::wstring& path, LONGLONG time);
// Whole seconds since 1970 of the local wall clock (the zone's bias now), rounded down.
int64_t LocalSeconds(LONGLONG utcTime);
// utcTime rounded down to a whole second.
LONGLONG WholeSecond(LONGLONG utcTime);
