#pragma once
// CProcessLauncher: starts one program as a new process and owns the process
// and thread handles of the last successful start. It neither builds nor
// quotes a command line and never waits for the process: the caller hands it
// a finished command line and the new process runs on independently.
#include <windows.h>

#include "platform/Handles.h"

#include <string>

class CProcessLauncher
{
public:
    // Complete command line, program path first (quoted by the caller when it
    // contains blanks). Used as it stands; the program comes from its first token.
    std::wstring commandLine;
    // Program path, used only when commandLine is empty.
    std::wstring applicationName;
    // Working directory of the new process; empty: the caller's.
    std::wstring currentDirectory;

    // Its handles close with it; the process itself keeps running.
    CProcessLauncher() = default;
    CProcessLauncher(const CProcessLauncher&) = delete;
    CProcessLauncher& operator=(const CProcessLauncher&) = delete;

    // Closes the handles of an earlier start, then creates the process
    // (normal priority, this process's environment, process and thread
    // handles asked for as inheritable, no handles inherited by the child).
    // With both commandLine and applicationName empty it fails with
    // ERROR_INVALID_PARAMETER without asking the system. Non-zero: created,
    // and the object holds its two handles. Zero: the object holds no handles,
    // the Windows error code is in GetLastErrorCode() and in the thread's
    // last-error value, and its system message in GetErrorText().
    BOOL Start();

    // The system's message for the error of the last failed start; empty otherwise.
    std::wstring GetErrorText() const { return errorText; }
    // Windows error code of the last failed start; 0 otherwise.
    DWORD GetLastErrorCode() const { return lastError; }
    // What the last successful start returned. While the object holds no
    // process the handles are INVALID_HANDLE_VALUE and the ids 0.
    HANDLE GetProcessHandle() const { return process.Get(); }
    DWORD GetProcessId() const { return processId; }
    HANDLE GetThreadHandle() const { return thread.Get(); }
    DWORD GetThreadId() const { return threadId; }
    // The four together, as a copy: its handles remain the launcher's.
    PROCESS_INFORMATION GetProcessInfo() const { return {process.Get(), thread.Get(), processId, threadId}; }

private:
    void CloseHandles();
    // Records a failed start: no handles, the code (never 0) and its text,
    // and the code as the thread's last-error value.
    void Fail(DWORD error);

    CHandle process;
    CHandle thread;
    DWORD processId = 0;
    DWORD threadId = 0;
    DWORD lastError = 0;
    std::wstring errorText;
};
