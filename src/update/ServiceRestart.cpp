#include "update/ServiceRestart.h"

#include "update/UpdateMessages.h"

#include "platform/FileHelpers.h"
#include "platform/Handles.h"
#include "platform/TextConversion.h"

#include <easylogging++.h>

#include <vector>

namespace {

using namespace UpdateMessages;

// How long the service manager's steps are waited for. A stop of this
// service takes a few seconds at most; these bound a service that hangs.
const DWORD kStopWaitMs = 30000;
const DWORD kStateWaitMs = 30000;
const DWORD kStatePollMs = 100;

// True when both paths name one file: by the file's identity, so that short
// names, other drive letters and letter case all agree; by name (as the
// system compares names) when either cannot be opened.
bool SameExecutable(const std::wstring& first, const std::wstring& second)
{
    return SameFile(first, second) || SamePathText(FullPathOf(first), FullPathOf(second));
}

bool QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS* status)
{
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(status), sizeof(*status),
                                &needed) != FALSE;
}

// Polls the service manager (it signals nothing) until the service leaves
// the pending state it is in, for a bounded time; false when it does not.
bool WaitWhilePending(SC_HANDLE service, SERVICE_STATUS_PROCESS* status)
{
    for (DWORD waited = 0;; waited += kStatePollMs) {
        if (!QueryStatus(service, status))
            return false;
        const DWORD state = status->dwCurrentState;
        if (state != SERVICE_START_PENDING && state != SERVICE_CONTINUE_PENDING && state != SERVICE_PAUSE_PENDING)
            return true;
        if (waited >= kStateWaitMs)
            return false;
        Sleep(kStatePollMs);
    }
}

std::wstring RegisteredExecutable(SC_HANDLE service)
{
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    if (needed == 0)
        return std::wstring();
    std::vector<unsigned char> block(needed);
    QUERY_SERVICE_CONFIGW* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(block.data());
    if (!QueryServiceConfigW(service, config, needed, &needed) || config->lpBinaryPathName == nullptr)
        return std::wstring();
    return ServiceExecutableOf(config->lpBinaryPathName);
}

void LogFailed(const std::wstring& serviceName, DWORD code)
{
    LOG(ERROR) << ToLogText(kServiceRestartFailed + serviceName) << ToLogText(kCode) << code;
}

} // namespace

std::wstring ServiceExecutableOf(const std::wstring& binaryPath)
{
    if (!binaryPath.empty() && binaryPath[0] == L'"') {
        const size_t end = binaryPath.find(L'"', 1);
        return binaryPath.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1);
    }
    if (FileExists(binaryPath))
        return binaryPath;
    for (size_t at = binaryPath.find(L' '); at != std::wstring::npos; at = binaryPath.find(L' ', at + 1)) {
        if (at >= 4 && _wcsnicmp(binaryPath.c_str() + at - 4, L".exe", 4) == 0)
            return binaryPath.substr(0, at);
    }
    return binaryPath;
}

void RestartReplacedService(const std::wstring& serviceName, const std::vector<std::wstring>& replaced)
{
    if (replaced.empty())
        return;
    CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return;
    const DWORD queryAccess = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS;
    CServiceHandle service(OpenServiceW(manager.Get(), serviceName.c_str(),
                                        queryAccess | SERVICE_STOP | SERVICE_START | SERVICE_PAUSE_CONTINUE));
    bool mayControl = true;
    if (!service) {
        // Not installed: nothing runs from the folder. Installed, but not
        // ours to control: it can still be asked what it runs.
        if (GetLastError() != ERROR_ACCESS_DENIED)
            return;
        service.Reset(OpenServiceW(manager.Get(), serviceName.c_str(), queryAccess));
        if (!service)
            return;
        mayControl = false;
    }
    const std::wstring executable = RegisteredExecutable(service.Get());
    if (executable.empty())
        return;
    bool ours = false;
    for (const std::wstring& target : replaced)
        ours = ours || SameExecutable(executable, target);
    if (!ours)
        return;
    if (!mayControl) {
        LOG(WARNING) << ToLogText(kServiceNextStart + serviceName);
        return;
    }

    SERVICE_STATUS_PROCESS status{};
    if (!WaitWhilePending(service.Get(), &status)) {
        LogFailed(serviceName, LastErrorOr(ERROR_SERVICE_REQUEST_TIMEOUT));
        return;
    }
    if (status.dwCurrentState == SERVICE_STOPPED || status.dwCurrentState == SERVICE_STOP_PENDING) {
        LOG(INFO) << ToLogText(kServiceLeftStopped + serviceName);
        return;
    }
    // A paused service ignores a stop: it is continued first.
    SERVICE_STATUS control{};
    if (status.dwCurrentState == SERVICE_PAUSED &&
        (!ControlService(service.Get(), SERVICE_CONTROL_CONTINUE, &control) ||
         !WaitWhilePending(service.Get(), &status))) {
        LogFailed(serviceName, LastErrorOr(ERROR_SERVICE_REQUEST_TIMEOUT));
        return;
    }
    // The old process is waited for itself: its image stays mapped until it
    // has ended, and a service manager may report STOPPED before that.
    const DWORD oldProcessId = status.dwProcessId;
    CHandle process(OpenProcess(SYNCHRONIZE, FALSE, oldProcessId));
    LOG(INFO) << ToLogText(kServiceStopping + std::to_wstring(status.dwProcessId));
    if (!ControlService(service.Get(), SERVICE_CONTROL_STOP, &control)) {
        LogFailed(serviceName, LastErrorOr(ERROR_GEN_FAILURE));
        return;
    }
    if (process && WaitForSingleObject(process.Get(), kStopWaitMs) != WAIT_OBJECT_0) {
        LogFailed(serviceName, ERROR_SERVICE_REQUEST_TIMEOUT);
        return;
    }
    // Without a handle to the process (it ended meanwhile, or no right to
    // it): the service manager's word is waited for instead.
    for (DWORD waited = 0; !process; waited += kStatePollMs) {
        if (!QueryStatus(service.Get(), &status) || status.dwCurrentState == SERVICE_STOPPED)
            break;
        if (waited >= kStopWaitMs) {
            LogFailed(serviceName, ERROR_SERVICE_REQUEST_TIMEOUT);
            return;
        }
        Sleep(kStatePollMs);
    }
    LOG(INFO) << ToLogText(kServiceStopped + serviceName);
    // The service manager may still be finishing the stop when the process
    // is gone: a start it refuses as "already running" is tried again for a
    // while, unless another process of the service runs by then.
    for (DWORD waited = 0; !StartServiceW(service.Get(), 0, nullptr); waited += kStatePollMs) {
        const DWORD code = LastErrorOr(ERROR_GEN_FAILURE);
        const bool again = code == ERROR_SERVICE_ALREADY_RUNNING &&
                           !(QueryStatus(service.Get(), &status) && status.dwCurrentState != SERVICE_STOP_PENDING &&
                             status.dwProcessId != 0 && status.dwProcessId != oldProcessId);
        if (code == ERROR_SERVICE_ALREADY_RUNNING && !again)
            break;
        if (!again || waited >= kStateWaitMs) {
            LogFailed(serviceName, code);
            return;
        }
        Sleep(kStatePollMs);
    }
    if (!QueryStatus(service.Get(), &status)) {
        LogFailed(serviceName, LastErrorOr(ERROR_GEN_FAILURE));
        return;
    }
    LOG(INFO) << ToLogText(kServiceStarted + executable + kServiceStartedProcess +
                           std::to_wstring(status.dwProcessId));
}
