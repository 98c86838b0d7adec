#include "platform/ProcessLauncher.h"

#include "platform/TextConversion.h"

#include <vector>

namespace {

// A private, writable, zero-terminated copy: CreateProcessW may write into the
// command line. An empty text gives no copy, so the caller passes null.
std::vector<wchar_t> WritableCopy(const std::wstring& text)
{
    std::vector<wchar_t> copy;
    if (!text.empty()) {
        copy.assign(text.begin(), text.end());
        copy.push_back(L'\0');
    }
    return copy;
}

wchar_t* PointerOrNull(std::vector<wchar_t>& copy)
{
    return copy.empty() ? nullptr : copy.data();
}

} // namespace

void CProcessLauncher::CloseHandles()
{
    process.Close();
    thread.Close();
    processId = 0;
    threadId = 0;
}

BOOL CProcessLauncher::Start()
{
    CloseHandles();
    lastError = 0;
    errorText.clear();
    SetLastError(0);

    STARTUPINFOW startupInfo{};
    startupInfo.cb = sizeof(startupInfo);

    std::vector<wchar_t> commandCopy = WritableCopy(commandLine);
    std::vector<wchar_t> applicationCopy = WritableCopy(applicationName);
    std::vector<wchar_t> directoryCopy = WritableCopy(currentDirectory);

    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = nullptr;
    attributes.bInheritHandle = TRUE;

    // With neither a command line nor a program name Wine's CreateProcessW
    // reads a null name and crashes the caller instead of failing; fail the
    // same way Windows does, with the system's text for the code.
    if (commandCopy.empty() && applicationCopy.empty()) {
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    PROCESS_INFORMATION started{};
    const BOOL created = CreateProcessW(commandCopy.empty() ? PointerOrNull(applicationCopy) : nullptr,
                                        PointerOrNull(commandCopy), &attributes, &attributes, FALSE,
                                        NORMAL_PRIORITY_CLASS, nullptr, PointerOrNull(directoryCopy),
                                        &startupInfo, &started);
    if (!created) {
        // A failed call may leave garbage behind: none of it is taken.
        Fail(GetLastError());
        return FALSE;
    }
    process.Reset(started.hProcess);
    thread.Reset(started.hThread);
    processId = started.dwProcessId;
    threadId = started.dwThreadId;
    return TRUE;
}

void CProcessLauncher::Fail(DWORD error)
{
    // A failure must never read as success to a caller that only checks the code.
    lastError = error != 0 ? error : ERROR_GEN_FAILURE;
    CloseHandles();
    errorText = GetSystemErrorText(lastError);
    SetLastError(lastError);
}
