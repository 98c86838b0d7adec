// The update-run benchmark's stand-in programs, one executable:
//   QXBenchClient.exe               the client application: appends one line
//                                   "<process id> <performance counter>" to the
//                                   file named by QX_BENCH_CLIENT_MARK as soon
//                                   as it runs, then waits for messages, as a
//                                   desktop application does, until it is ended;
//   QXBenchClient.exe requester MS  the requesting process: exits after MS ms.
// The performance counter is the same clock in every process of the machine,
// so the benchmark compares it with the moments it observes itself.
#include "platform/Handles.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    if (argc >= 3 && std::wcscmp(argv[1], L"requester") == 0) {
        Sleep(static_cast<DWORD>(_wtoi(argv[2])));
        return 0;
    }
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"QX_BENCH_CLIENT_MARK", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 1;
    // Appended under the file's own lock: one writer at a time, whole lines.
    CHandle file;
    for (int attempt = 0; attempt < 1000 && !file; ++attempt) {
        file.Reset(CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                               nullptr));
        if (!file)
            Sleep(1);
    }
    if (!file)
        return 1;
    char line[64];
    const int size = std::snprintf(line, sizeof(line), "%lu %lld\r\n", GetCurrentProcessId(),
                                   static_cast<long long>(now.QuadPart));
    DWORD written = 0;
    WriteFile(file.Get(), line, static_cast<DWORD>(size), &written, nullptr);
    file.Close();
    // Waiting for input, as the application's window would: the moment the
    // system reports to those that wait for it to be idle.
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    return 0;
}
