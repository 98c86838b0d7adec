#pragma once
// CServiceWorker: the one process-wide object of the service host. Its
// construction (a static object, built after the logging library's storage)
// parses the command line, fixes the work folder and configures the logger
// "default"; Run() then performs the first run mode that applies.
#include <windows.h>

#include "platform/Handles.h"

#include <cstdint>
#include <string>
#include <vector>

namespace el { class Logger; }

class CServiceWorker
{
public:
    // Stored checksums (Crc64 of the lower-case keyword texts "install",
    // "remove", "start", "noaction" and "update").
    static constexpr uint64_t kInstallKeyword = 0xBEC3BF7C7E45B6E3ULL;
    static constexpr uint64_t kRemoveKeyword = 0xCA947FDFAEF2196FULL;
    static constexpr uint64_t kStartKeyword = 0x17B48319C6B12217ULL;
    static constexpr uint64_t kNoActionKeyword = 0x4471F35CBE56B46DULL;
    static constexpr uint64_t kUpdateRunKeyword = 0xDD61A2121BF79CA4ULL;

    // Mode flags, 0 or 1.
    int32_t m_install = 0;
    int32_t m_remove = 0;
    int32_t m_noAction = 0;
    int32_t m_start = 0;
    int32_t m_updateRun = 0;

    std::wstring m_updateFile;
    std::wstring m_serviceName = L"QXClientUpdSvc";
    std::wstring m_modulePath;
    std::wstring m_displayName = L"Lumenorbit client update service.";
    std::wstring m_workFolder;
    DWORD m_waitProcessId = 0;
    DWORD m_slotSize = 65536;
    DWORD m_slotsPerSegment = 8;
    el::Logger* m_logger = nullptr;

    // Service state. The record is changed by the service's main routine, the
    // control handler, the two pending reporters and the worker; every change
    // and the report that follows it are made holding m_statusLock, so each
    // report is a whole record and reports go out in the order of the changes.
    // A mutex, not a critical section: a thread the stop procedure ends by
    // force leaves it abandoned, and the next taker owns it as usual. The
    // worker reads only dwCurrentState, one word, without the lock.
    SERVICE_STATUS m_status{};
    CHandle m_statusLock{CreateMutexW(nullptr, FALSE, nullptr)};
    SERVICE_STATUS_HANDLE m_statusHandle = nullptr;
    CHandle m_stopEvent;
    CHandle m_workerThread;
    CHandle m_startPendingEvent;
    CHandle m_startPendingThread;
    CHandle m_stopPendingEvent;
    CHandle m_stopPendingThread;

    // The Service Control Manager calls, replaceable so that tests can run the
    // lifecycle in-process and record every status report.
    using RegisterHandlerFunction = SERVICE_STATUS_HANDLE(WINAPI*)(LPCWSTR, LPHANDLER_FUNCTION);
    using SetStatusFunction = BOOL(WINAPI*)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS);
    RegisterHandlerFunction m_registerCtrlHandler = RegisterServiceCtrlHandlerW;
    SetStatusFunction m_setServiceStatus = SetServiceStatus;
    // How long the paused worker waits on the stop event between its tests.
    DWORD m_pausedWaitMs = 200;
    // The handling of one request the worker took (HandleRequest), replaceable
    // so that tests can see what each request was handed over as.
    using HandleRequestFunction = bool (*)(const unsigned char* bytes, size_t length);
    HandleRequestFunction m_handleRequest;

    // The process object: arguments from the start-up code's wide argument
    // vector, then parse, work folder and logger.
    CServiceWorker();
    // For tests: the given argument vector (argument 0 first); the logger is
    // configured only when initLogger is true.
    CServiceWorker(std::vector<std::wstring> arguments, bool initLogger);
    ~CServiceWorker();
    CServiceWorker(const CServiceWorker&) = delete;
    CServiceWorker& operator=(const CServiceWorker&) = delete;

    // The object the service callbacks work on: the last one constructed.
    static CServiceWorker* Instance();

    // Command line.
    void ParseCommandLine();
    void ParseArgument(const wchar_t* argument);
    static DWORD ParseProcessId(const std::wstring& text);

    // Performs the first run mode that applies; 0, or the error code of a
    // failed StartServiceCtrlDispatcherW.
    DWORD Run();

    // Logging setup.
    void InitWorkFolder();
    std::wstring MakeLogFileName() const;
    static std::wstring FormatLogDate(int64_t time);
    void InitLogger();

    // Installation commands; every failure is one Error line in the log.
    void InstallService(const std::wstring& executablePath, const std::wstring& serviceName,
                        const std::wstring& displayName);
    void RemoveService(const std::wstring& serviceName);
    bool LaunchService(const std::wstring& serviceName);

    // Service lifecycle (callbacks of the Service Control Manager and threads).
    static void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
    static void WINAPI ServiceCtrlHandler(DWORD control);
    static DWORD WINAPI StartPendingThread(LPVOID);
    static DWORD WINAPI StopPendingThread(LPVOID);
    static DWORD WINAPI ServiceWorkerThread(LPVOID);

private:
    void RunUpdate();
    // Sends the record as it is; the caller holds m_statusLock.
    void ReportStatus();
    bool Paused() const;
    void StopService();
    DWORD PendingReporter(DWORD state, HANDLE endEvent);
    DWORD WorkerLoop();

    std::vector<std::wstring> m_arguments;
};
