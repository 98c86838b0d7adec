// Waiting for the requesting process and ending/starting applications around an update.
#include "update/QXUpdate.h"
#include "update/UpdateMessages.h"

#include "platform/FileHelpers.h"
#include "platform/Handles.h"
#include "platform/NativeFile.h"
#include "platform/ProcessLauncher.h"
#include "platform/Stopwatch.h"
#include "platform/TextConversion.h"

#include <windows.h>
#include <psapi.h>
#include <winternl.h>

#include <easylogging++.h>

#include <cstring>
#include <utility>
#include <vector>

namespace {


// The client application, as its image name is matched and as it is started.
const char kQuoteBenchImage[] = "QuoteBenchApp.exe";
const wchar_t kQuoteBenchCommandLine[] = L"\"QuoteBenchApp.exe\" ";

const DWORD kPassSleepMs = 1000;
const int64_t kWaitLimitSeconds = 10;

// True when a SYSTEM_PROCESS_INFORMATION record of the snapshot carries the id.
// The walk stays inside the length the system reported, when it reported one.
bool SnapshotHasProcess(const void* block, ULONG length, DWORD processId)
{
    const auto* bytes = static_cast<const unsigned char*>(block);
    ULONG offset = 0;
    for (;;) {
        if (length != 0 && (offset > length || length - offset < sizeof(SYSTEM_PROCESS_INFORMATION)))
            return false;
        const auto* record = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(bytes + offset);
        if (static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(record->UniqueProcessId)) == processId)
            return true;
        if (record->NextEntryOffset == 0)
            return false;
        offset += record->NextEntryOffset;
    }
}

void LogWaitTimedOut(DWORD processId)
{
    LOG(INFO) << ToLogText(UpdateMessages::kWaitTimedOut) << processId
              << ToLogText(UpdateMessages::kWaitTimedOutEnd);
}

// How long the run waits for the ended client processes to be gone.
const DWORD kClientEndMs = 5000;
// How long the clean-up after a run waits for the programs it started.
const DWORD kStartedIdleMs = 5000;

void LogWaitEnded(DWORD processId, ULONGLONG startTicks)
{
    using namespace UpdateMessages;
    LOG(INFO) << ToLogText(kAwaited) << processId << ToLogText(kWaitEnded) << GetTickCount64() - startTicks
              << ToLogText(kWaitEndedUnits);
}

void LogNotFound(DWORD processId)
{
    using namespace UpdateMessages;
    LOG(INFO) << ToLogText(kAwaited) << processId << ToLogText(kWaitNotFound);
}

// Starts a program and logs what became of it: its command line and process
// id, or the system's reason and then the command line that failed. A
// started program's handle joins started.
void StartAndLog(CProcessLauncher& launcher, std::vector<CHandle>& started)
{
    using namespace UpdateMessages;
    if (launcher.Start()) {
        LOG(INFO) << ToLogText(kStarted + launcher.commandLine + kStartedProcess)
                  << launcher.GetProcessId();
        HANDLE process = nullptr;
        if (DuplicateHandle(GetCurrentProcess(), launcher.GetProcessHandle(), GetCurrentProcess(), &process,
                            SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, 0))
            started.emplace_back(process);
        return;
    }
    LOG(ERROR) << ToLogText(UpdateMessages::kStartFailed)
               << ToLogText(launcher.GetErrorText());
    LOG(ERROR) << ToLogText(kStartFailedCommand + launcher.commandLine) << ToLogText(UpdateMessages::kCode)
               << launcher.GetLastErrorCode();
}

} // namespace

void CQXUpdate::WaitForProcessId(DWORD processId)
{
    if (processId == 0)
        return;

    // The process itself is waited on: its end is seen at once, and a process
    // that does not exist is not waited for at all.
    const ULONGLONG startTicks = GetTickCount64();
    CHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    if (process) {
        if (WaitForSingleObject(process.Get(), static_cast<DWORD>(kWaitLimitSeconds * 1000)) == WAIT_TIMEOUT)
            LogWaitTimedOut(processId);
        else
            LogWaitEnded(processId, startTicks);
        return;
    }
    if (GetLastError() == ERROR_INVALID_PARAMETER) {
        LogNotFound(processId);
        return;
    }

    // No handle to be had (not allowed to): process snapshots, looked at
    // first, then once a second.
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    CStopwatch stopwatch;
    stopwatch.frequency = static_cast<double>(frequency.QuadPart);
    stopwatch.MarkStart();

    for (bool first = true;; first = false) {
        bool found = false;
        // A snapshot that cannot be taken counts as a process that has ended.
        NTSTATUS status = static_cast<NTSTATUS>(0xC0000001L);
        ULONG length = 0;
        const CVirtualMemory block(QueryProcessSnapshot(&status, &length));
        if (block && status == 0)
            found = SnapshotHasProcess(block.Get(), length, processId);
        if (!found) {
            if (first)
                LogNotFound(processId);
            else
                LogWaitEnded(processId, startTicks);
            return;
        }

        Sleep(kPassSleepMs);

        stopwatch.MarkStop();
        if (stopwatch.seconds > kWaitLimitSeconds) {
            LogWaitTimedOut(processId);
            return;
        }
    }
}

bool CQXUpdate::TerminateQuoteBench()
{
    DWORD processIds[1024] = {};
    DWORD bytesReturned = 0;
    if (!EnumProcesses(processIds, sizeof(processIds), &bytesReturned)) {
        LOG(ERROR) << ToLogText(UpdateMessages::kProcessListFailed) << ToLogText(UpdateMessages::kCode)
                   << LastErrorOr(ERROR_GEN_FAILURE);
        return false;
    }

    bool terminated = false;
    std::vector<std::pair<DWORD, CHandle>> ended;
    const DWORD count = bytesReturned / sizeof(DWORD);
    for (DWORD i = 0; i < count; ++i) {
        CHandle process(OpenProcess(PROCESS_ALL_ACCESS, FALSE, processIds[i]));
        if (!process)
            continue;
        char imageName[MAX_PATH] = {};
        if (GetProcessImageFileNameA(process.Get(), imageName, MAX_PATH) == 0)
            continue;
        // The device form of the path: any folder or name that contains the
        // executable name counts, so a renamed copy is ended too.
        if (std::strstr(imageName, kQuoteBenchImage) != nullptr) {
            TerminateProcess(process.Get(), 0);
            LOG(INFO) << ToLogText(UpdateMessages::kClientEnded) << processIds[i];
            terminated = true;
            ended.emplace_back(processIds[i], std::move(process));
        }
    }
    // Ended means gone: until then its image stays mapped and its files
    // cannot be replaced. The wait is bounded; one that does not end is logged.
    // Unverified under Wine, where no test has seen an ended client keep its
    // image mapped: nothing shows that this wait matters.
    const DWORD start = GetTickCount();
    for (auto& process : ended) {
        const DWORD spent = GetTickCount() - start;
        const DWORD left = spent < kClientEndMs ? kClientEndMs - spent : 0;
        if (WaitForSingleObject(process.second.Get(), left) != WAIT_OBJECT_0)
            LOG(WARNING) << ToLogText(UpdateMessages::kClientNotEnded)
                         << process.first;
    }
    if (!terminated)
        LOG(INFO) << ToLogText(UpdateMessages::kClientNotRunning);
    return terminated;
}

void CQXUpdate::StartQuoteBench()
{
    // A bare name: the system finds it in the updater's own folder first; the
    // application folder is only the working directory.
    CProcessLauncher launcher;
    launcher.commandLine = kQuoteBenchCommandLine;
    launcher.currentDirectory = TargetFolderW();
    StartAndLog(launcher, startedPrograms);
}

void CQXUpdate::RunUpdatedApp(eRunType)
{
    // Without a program named there is nothing to start; trying would only
    // start the folder itself and log a misleading failure.
    if (AppToRunW().empty()) {
        LOG(INFO) << ToLogText(UpdateMessages::kNoAppToRun);
        return;
    }
    const std::wstring folder = TargetFolderW();
    CProcessLauncher launcher;
    launcher.commandLine = L"\"" + AddTrailingBackslash(folder) + AppToRunW() + L"\" " + ParamsW();
    launcher.currentDirectory = folder;
    StartAndLog(launcher, startedPrograms);
}

void CQXUpdate::WaitForStartedPrograms()
{
    // A program that has just been started loads and sets itself up; the
    // deletion of the old versions would compete with it for the machine
    // (under Wine, for the one server process that every file call goes
    // through), and the user would wait longer for the application.
    const ULONGLONG start = GetTickCount64();
    for (const CHandle& process : startedPrograms) {
        const ULONGLONG spent = GetTickCount64() - start;
        if (spent >= kStartedIdleMs)
            break;
        WaitForInputIdle(process.Get(), static_cast<DWORD>(kStartedIdleMs - spent));
    }
    startedPrograms.clear();
}
