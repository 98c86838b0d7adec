// Controls and inspects the installed service for scripts (demo, soak):
//   QXServiceCtl.exe query            state, process id, exit code
//   QXServiceCtl.exe pause|continue|stop
//   QXServiceCtl.exe wait STATE MS    waits until the state (running, paused, stopped)
//   QXServiceCtl.exe memory           the service process's working set and private bytes
//   QXServiceCtl.exe channel          the channel's indices and slot states; exit code 0 when
//                                     every posted request was taken and every slot is free
// Exit code 0 on success, otherwise the Windows error code.
#include "channel/ChannelLayout.h"
#include "platform/Handles.h"

#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const wchar_t kServiceName[] = L"QXClientUpdSvc";

const char* StateName(DWORD state)
{
    switch (state) {
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_START_PENDING: return "start-pending";
    case SERVICE_STOP_PENDING: return "stop-pending";
    case SERVICE_RUNNING: return "running";
    case SERVICE_CONTINUE_PENDING: return "continue-pending";
    case SERVICE_PAUSE_PENDING: return "pause-pending";
    case SERVICE_PAUSED: return "paused";
    default: return "unknown";
    }
}

bool Query(SC_HANDLE service, SERVICE_STATUS_PROCESS* status)
{
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(status), sizeof(*status),
                                &needed) != FALSE;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return ERROR_INVALID_PARAMETER;
    if (std::strcmp(argv[1], "channel") == 0) {
        const std::wstring headerName = std::wstring(kChannelBaseName) + kHeaderSuffix;
        const std::wstring segmentName = std::wstring(kChannelBaseName) + kSegmentSuffix + L"0";
        CHandle headerMapping(OpenFileMappingW(FILE_MAP_READ, FALSE, headerName.c_str()));
        CHandle segmentMapping(OpenFileMappingW(FILE_MAP_READ, FALSE, segmentName.c_str()));
        if (!headerMapping || !segmentMapping)
            return static_cast<int>(GetLastError());
        CMappedView headerView(MapViewOfFile(headerMapping.Get(), FILE_MAP_READ, 0, 0, 0));
        CMappedView segmentView(MapViewOfFile(segmentMapping.Get(), FILE_MAP_READ, 0, 0, 0));
        if (!headerView || !segmentView)
            return static_cast<int>(GetLastError());
        const auto* header = static_cast<const ChannelHeader*>(headerView.Get());
        const DWORD slots = static_cast<DWORD>(header->slotsPerSegment);
        const DWORD slotSize = static_cast<DWORD>(header->slotSize);
        if (slots == 0 || slots > 64 || slotSize == 0 || slotSize > 65536)
            return ERROR_INVALID_DATA;
        const auto* states = reinterpret_cast<const volatile LONG*>(static_cast<const BYTE*>(segmentView.Get()) +
                                                                    ((static_cast<size_t>(slotSize) * slots + 3) & ~size_t(3)));
        bool allFree = true;
        std::printf("readIndex %ld, postIndex %ld, flags %ld, slot states", header->readIndex, header->postIndex,
                    header->flags);
        for (DWORD i = 0; i < slots; ++i) {
            std::printf(" %ld", states[i]);
            allFree = allFree && states[i] == 0;
        }
        const bool drained = allFree && header->readIndex == header->postIndex;
        std::printf(drained ? " (drained)\n" : " (not drained)\n");
        return drained ? 0 : ERROR_BUSY;
    }
    CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    CServiceHandle service(OpenServiceW(manager.Get(), kServiceName, SERVICE_ALL_ACCESS));
    if (!service) {
        const DWORD error = GetLastError();
        std::printf("no service (error %lu)\n", error);
        return static_cast<int>(error);
    }
    const char* command = argv[1];
    SERVICE_STATUS_PROCESS status{};
    if (std::strcmp(command, "query") == 0) {
        if (!Query(service.Get(), &status))
            return static_cast<int>(GetLastError());
        std::printf("state %s, process %lu, exit code %lu\n", StateName(status.dwCurrentState), status.dwProcessId,
                    status.dwWin32ExitCode);
        return 0;
    }
    const struct { const char* name; DWORD control; } controls[] = {
        {"pause", SERVICE_CONTROL_PAUSE}, {"continue", SERVICE_CONTROL_CONTINUE}, {"stop", SERVICE_CONTROL_STOP}};
    for (const auto& control : controls) {
        if (std::strcmp(command, control.name) == 0) {
            SERVICE_STATUS reported{};
            if (!ControlService(service.Get(), control.control, &reported))
                return static_cast<int>(GetLastError());
            return 0;
        }
    }
    if (std::strcmp(command, "wait") == 0 && argc >= 4) {
        const DWORD timeoutMs = std::strtoul(argv[3], nullptr, 10);
        const DWORD start = GetTickCount();
        do {
            if (Query(service.Get(), &status) && std::strcmp(StateName(status.dwCurrentState), argv[2]) == 0)
                return 0;
            Sleep(50);
        } while (GetTickCount() - start < timeoutMs);
        return ERROR_TIMEOUT;
    }
    if (std::strcmp(command, "memory") == 0) {
        if (!Query(service.Get(), &status) || status.dwProcessId == 0)
            return ERROR_SERVICE_NOT_ACTIVE;
        CHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, status.dwProcessId));
        PROCESS_MEMORY_COUNTERS_EX counters{};
        counters.cb = sizeof(counters);
        if (!process || !GetProcessMemoryInfo(process.Get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                              sizeof(counters)))
            return static_cast<int>(GetLastError());
        std::printf("working set %zu KiB, private %zu KiB, peak working set %zu KiB\n",
                    counters.WorkingSetSize / 1024, counters.PrivateUsage / 1024, counters.PeakWorkingSetSize / 1024);
        return 0;
    }
    return ERROR_INVALID_PARAMETER;
}
