#pragma once
// Shared test support: a temporary folder that removes itself, starting a
// program and waiting for it, and reading files as bytes.
#include <windows.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

// Folder of the running test program (with a trailing backslash).
std::wstring TestBinaryFolder();
// The product executable built beside the tests.
std::wstring ProductExecutable();

// A fresh folder below %TEMP%, removed with its contents on destruction.
class CTestFolder
{
public:
    CTestFolder();
    ~CTestFolder();
    CTestFolder(const CTestFolder&) = delete;
    CTestFolder& operator=(const CTestFolder&) = delete;

    const std::wstring& Path() const { return m_path; } // ends with a backslash
    std::wstring operator/(const std::wstring& name) const { return m_path + name; }

private:
    std::wstring m_path;
};

void RemoveTree(const std::wstring& path);
bool WriteBytes(const std::wstring& path, const std::string& bytes);
std::optional<std::string> ReadBytes(const std::wstring& path);
bool PathExists(const std::wstring& path);

// Environment changes for a started program: a value sets the variable, no value removes it.
using EnvironmentChanges = std::map<std::wstring, std::optional<std::wstring>>;

struct ProcessResult
{
    bool started = false;
    DWORD exitCode = 0;
    bool timedOut = false;
    DWORD error = 0;
};

// Starts commandLine (program path quoted by the caller) and waits up to timeoutMs.
// With outputFile, the program's standard output and error go to that file.
ProcessResult RunProcess(const std::wstring& commandLine, const EnvironmentChanges& environment = {},
                         const std::wstring& workingDirectory = L"", DWORD timeoutMs = 60000,
                         const std::wstring& outputFile = L"");

// Quotes one argument so that CommandLineToArgvW gives it back unchanged.
std::wstring QuoteArgument(const std::wstring& argument);

// Local date "YYYY-MM-DD" of now, as the log file names carry it.
std::wstring TodayLocalDate();

// Splits the log file's bytes into lines without their CR LF.
std::vector<std::string> SplitLines(const std::string& bytes);

// Windows-1251 bytes of a wide text, for comparing log lines.
std::string Cp1251(const std::wstring& text);
