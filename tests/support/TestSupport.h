#pragma once
// Shared test support: a temporary folder that removes itself, starting a
// program and waiting for it (or keeping it in the background), and reading files as bytes.
#include <windows.h>

#include "platform/Handles.h"

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

// Removes a folder and all it holds; a link in it is removed, never followed.
void RemoveTree(const std::wstring& path);
// Makes link a symbolic link of the host system to the folder target (both
// Windows paths), as a link to a folder elsewhere would stand in an
// application folder: Wine reports it as a reparse point. Wine 8 makes no
// junction or symbolic link itself (CreateSymbolicLinkW succeeds without
// one, FSCTL_SET_REPARSE_POINT is refused), so this is the only link that
// runs under it. False when it could not be made.
bool MakeHostLink(const std::wstring& link, const std::wstring& target);
// Removes such a link (not what it leads to).
bool RemoveHostLink(const std::wstring& link);
// Removes the temporary folders of test programs that no longer run (a
// program ended by its time-out removes nothing itself).
void RemoveFoldersOfEndedTestPrograms();
bool WriteBytes(const std::wstring& path, const std::string& bytes);
std::optional<std::string> ReadBytes(const std::wstring& path);
bool PathExists(const std::wstring& path);
// What a folder (with a trailing backslash) holds: each name with its
// content, "<folder>" for a folder.
std::map<std::wstring, std::string> FolderContents(const std::wstring& folder);

// Environment changes for a started program: a value sets the variable, no value removes it.
using EnvironmentChanges = std::map<std::wstring, std::optional<std::wstring>>;

// A child process that is ended when the object goes out of scope, so a
// failing test never leaves a program running behind it. The one way tests
// start and own a process.
class CChildProcess
{
public:
    CChildProcess() = default;
    ~CChildProcess() { Terminate(); }
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;
    CChildProcess(CChildProcess&&) = default;

    // commandLine: program path first (quoted by the caller); folder: its
    // working folder (empty: this process's); environment: changes to this
    // process's; outputFile: where its standard output goes, and its standard
    // error too unless errorFile names another file (empty: nowhere). False
    // with the last-error value when it cannot be created; StartFailure()
    // then says which step failed and with which code.
    bool Start(const std::wstring& commandLine, const std::wstring& folder = std::wstring(),
               const EnvironmentChanges& environment = {}, const std::wstring& outputFile = std::wstring(),
               const std::wstring& errorFile = std::wstring());

    // The exit code, or STILL_ACTIVE when the process did not end in time.
    DWORD Wait(DWORD timeoutMs)
    {
        if (!m_process)
            return ERROR_INVALID_HANDLE;
        if (!Ended(timeoutMs))
            return STILL_ACTIVE;
        DWORD code = 0;
        GetExitCodeProcess(m_process.Get(), &code);
        return code;
    }
    // True once the process has ended (waiting up to timeoutMs); exitCode
    // then receives its code.
    bool Ended(DWORD timeoutMs, DWORD* exitCode = nullptr) const
    {
        if (WaitForSingleObject(m_process.Get(), timeoutMs) != WAIT_OBJECT_0)
            return false;
        if (exitCode != nullptr)
            GetExitCodeProcess(m_process.Get(), exitCode);
        return true;
    }
    bool Running() const { return m_process && !Ended(0); }
    DWORD Id() const { return m_id; }
    // Why the last Start failed ("CreateProcess: error 1359 (...)"), or empty.
    const std::string& StartFailure() const { return m_startFailure; }
    HANDLE Handle() const { return m_process.Get(); }

    // Ends the process if it still runs and waits (bounded) until it is gone;
    // the handle stays, so that its exit code can still be read.
    void Terminate()
    {
        if (Running()) {
            TerminateProcess(m_process.Get(), 1);
            WaitForSingleObject(m_process.Get(), 5000);
        }
    }

private:
    bool Failed(const std::string& step);

    CHandle m_process;
    DWORD m_id = 0;
    std::string m_startFailure;
};

struct ProcessResult
{
    bool started = false;
    DWORD exitCode = 0;
    bool timedOut = false;
    DWORD error = 0;
    std::string startFailure; // why it did not start (CChildProcess::StartFailure)
};

// "error N (the system's text)" for a last-error value.
std::string LastErrorText(DWORD code);

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

// The lines of the update-run log that the executable in executableFolder
// (with a trailing backslash) wrote (Log\LumenorbitNew\updater-*.log); empty
// when there is none.
std::vector<std::string> UpdateRunLogLines(const std::wstring& executableFolder);

// CPU time (kernel and user) a thread has used so far, in milliseconds; -1
// when it cannot be read.
double ThreadCpuMs(HANDLE thread);

// Wide text of UTF-8 bytes.
std::wstring FromUtf8(const std::string& bytes);

// Windows-1251 bytes of a wide text, for comparing log lines.
std::string Cp1251(const std::wstring& text);
