// The Windows service: status reports, the control handler with its stop
// procedure, the two pending-state reporters and the worker that drains the
// request channel.
#include "service/ServiceWorker.h"
#include "service/StartupRecovery.h"

#include "update/UpdateJournal.h"
#include "update/UpdateRunLock.h"

#include "channel/RequestChannel.h"

#include <easylogging++.h>

#include <cstring>
#include <vector>

namespace {

const DWORD kPendingWaitHint = 2000;
const DWORD kStartPendingMs = 2000;
const DWORD kWorkerStopMs = 1000;
const DWORD kStopReporterMs = 2000;
const DWORD kReporterPeriodMs = 1000;

HANDLE StartThread(LPTHREAD_START_ROUTINE routine)
{
    return CreateThread(nullptr, 0, routine, nullptr, 0, nullptr);
}

// Holds the service's status lock for a scope (abandoned counts as taken).
class CStatusLock
{
public:
    explicit CStatusLock(const CHandle& mutex) : m_mutex(mutex.Get()) { WaitForSingleObject(m_mutex, INFINITE); }
    ~CStatusLock() { ReleaseMutex(m_mutex); }
    CStatusLock(const CStatusLock&) = delete;
    CStatusLock& operator=(const CStatusLock&) = delete;

private:
    HANDLE m_mutex;
};

} // namespace

void CServiceWorker::ReportStatus()
{
    SERVICE_STATUS status = m_status;
    m_setServiceStatus(m_statusHandle, &status);
}

bool CServiceWorker::Paused() const
{
    return *static_cast<const volatile DWORD*>(&m_status.dwCurrentState) == SERVICE_PAUSED;
}

void WINAPI CServiceWorker::ServiceMain(DWORD, LPWSTR*)
{
    CServiceWorker& self = *Instance();
    self.m_statusHandle = self.m_registerCtrlHandler(self.m_serviceName.c_str(), &CServiceWorker::ServiceCtrlHandler);
    if (self.m_statusHandle == nullptr)
        return;

    {
        // The handler is registered: an interrogation may already come in.
        CStatusLock lock(self.m_statusLock);
        self.m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        self.m_status.dwCurrentState = SERVICE_START_PENDING;
        self.m_status.dwControlsAccepted = 0;
        self.m_status.dwWin32ExitCode = 0;
        self.m_status.dwServiceSpecificExitCode = 0;
        self.m_status.dwCheckPoint = 0;
        self.m_status.dwWaitHint = 0;
    }

    // The reporter sends START_PENDING at once and once a second for two
    // seconds; it is then ended through its event rather than terminated, so
    // it is never cut off inside a status report.
    self.m_startPendingEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    self.m_startPendingThread.Reset(StartThread(&CServiceWorker::StartPendingThread));
    if (self.m_startPendingThread) {
        if (WaitForSingleObject(self.m_startPendingThread.Get(), kStartPendingMs) != WAIT_OBJECT_0) {
            if (self.m_startPendingEvent)
                SetEvent(self.m_startPendingEvent.Get());
            WaitForSingleObject(self.m_startPendingThread.Get(), INFINITE);
        }
    } else {
        Sleep(kStartPendingMs);
    }
    self.m_startPendingEvent.Close();
    self.m_startPendingThread.Close();
    {
        CStatusLock lock(self.m_statusLock);
        self.m_status.dwWaitHint = kPendingWaitHint;
        self.ReportStatus();
    }

    self.m_stopEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!self.m_stopEvent) {
        const DWORD error = GetLastError();
        CStatusLock lock(self.m_statusLock);
        self.m_status.dwControlsAccepted = 0;
        self.m_status.dwCurrentState = SERVICE_STOPPED;
        self.m_status.dwWin32ExitCode = error;
        self.m_status.dwCheckPoint = 1;
        self.ReportStatus();
        return;
    }

    // The worker and its handle exist before RUNNING tells the Service Control
    // Manager that a stop is accepted: a stop that comes at once then waits for
    // the worker (or ends it) instead of finding none and closing the stop event
    // the worker is about to wait on. The worker stays suspended until RUNNING
    // is reported, so its own final report cannot come first. The stop
    // procedure closes m_workerThread, so this routine resumes the worker
    // through a handle of its own.
    CHandle worker(CreateThread(nullptr, 0, &CServiceWorker::ServiceWorkerThread, nullptr, CREATE_SUSPENDED, nullptr));
    HANDLE copy = nullptr;
    if (!worker || !DuplicateHandle(GetCurrentProcess(), worker.Get(), GetCurrentProcess(), &copy, 0, FALSE,
                                    DUPLICATE_SAME_ACCESS)) {
        const DWORD error = GetLastError();
        if (worker)
            TerminateThread(worker.Get(), 0);
        self.m_stopEvent.Close();
        CStatusLock lock(self.m_statusLock);
        self.m_status.dwControlsAccepted = 0;
        self.m_status.dwCurrentState = SERVICE_STOPPED;
        self.m_status.dwWin32ExitCode = error != 0 ? error : ERROR_GEN_FAILURE;
        self.m_status.dwCheckPoint = 1;
        self.ReportStatus();
        return;
    }
    self.m_workerThread.Reset(copy);

    {
        CStatusLock lock(self.m_statusLock);
        self.m_status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;
        self.m_status.dwCurrentState = SERVICE_RUNNING;
        self.m_status.dwWin32ExitCode = 0;
        self.m_status.dwCheckPoint = 0;
        self.ReportStatus();
    }

    ResumeThread(worker.Get());
}

DWORD CServiceWorker::PendingReporter(DWORD state, HANDLE endEvent)
{
    {
        CStatusLock lock(m_statusLock);
        m_status.dwCheckPoint = 0;
        m_status.dwCurrentState = state;
        m_status.dwWaitHint = kPendingWaitHint;
    }
    for (;;) {
        {
            CStatusLock lock(m_statusLock);
            ReportStatus();
            ++m_status.dwCheckPoint;
        }
        if (WaitForSingleObject(endEvent, kReporterPeriodMs) != WAIT_TIMEOUT)
            break;
    }
    CStatusLock lock(m_statusLock);
    m_status.dwCheckPoint = 0;
    return 0;
}

DWORD WINAPI CServiceWorker::StartPendingThread(LPVOID)
{
    CServiceWorker& self = *Instance();
    return self.PendingReporter(SERVICE_START_PENDING, self.m_startPendingEvent.Get());
}

DWORD WINAPI CServiceWorker::StopPendingThread(LPVOID)
{
    CServiceWorker& self = *Instance();
    return self.PendingReporter(SERVICE_STOP_PENDING, self.m_stopPendingEvent.Get());
}

void WINAPI CServiceWorker::ServiceCtrlHandler(DWORD control)
{
    CServiceWorker& self = *Instance();
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        // A paused service, or one already stopping or stopped, ignores the
        // stop; of two stops at once, one finds the other's STOP_PENDING.
        {
            CStatusLock lock(self.m_statusLock);
            if (self.m_status.dwCurrentState != SERVICE_RUNNING)
                return;
            self.m_status.dwControlsAccepted = 0;
            self.m_status.dwCurrentState = SERVICE_STOP_PENDING;
            self.m_status.dwWin32ExitCode = 0;
            self.m_status.dwCheckPoint = 4;
            self.ReportStatus();
        }
        self.StopService();
        return;
    }
    CStatusLock lock(self.m_statusLock);
    switch (control) {
    // Pause and continue change only a running or a paused service: a worker
    // that has stopped by itself is not made to look alive again.
    case SERVICE_CONTROL_PAUSE:
        if (self.m_status.dwCurrentState == SERVICE_RUNNING)
            self.m_status.dwCurrentState = SERVICE_PAUSED;
        break;
    case SERVICE_CONTROL_CONTINUE:
        if (self.m_status.dwCurrentState == SERVICE_PAUSED)
            self.m_status.dwCurrentState = SERVICE_RUNNING;
        break;
    default: // interrogate and anything unknown: the current record again
        break;
    }
    self.ReportStatus();
}

// After the handler has reported STOP_PENDING.
void CServiceWorker::StopService()
{
    if (m_stopEvent)
        SetEvent(m_stopEvent.Get());

    m_stopPendingEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_stopPendingThread.Reset(StartThread(&CServiceWorker::StopPendingThread));

    if (m_workerThread && WaitForSingleObject(m_workerThread.Get(), kWorkerStopMs) != WAIT_OBJECT_0)
        TerminateThread(m_workerThread.Get(), 0);

    if (m_stopPendingEvent)
        SetEvent(m_stopPendingEvent.Get());
    m_workerThread.Close();
    m_stopEvent.Close();

    if (m_stopPendingThread && WaitForSingleObject(m_stopPendingThread.Get(), kStopReporterMs) != WAIT_OBJECT_0)
        TerminateThread(m_stopPendingThread.Get(), 0);
    m_stopPendingThread.Close();
    m_stopPendingEvent.Close();

    CStatusLock lock(m_statusLock);
    m_status.dwCurrentState = SERVICE_STOPPED;
    ReportStatus();
}

DWORD WINAPI CServiceWorker::ServiceWorkerThread(LPVOID)
{
    return Instance()->WorkerLoop();
}

DWORD CServiceWorker::WorkerLoop()
{
    if (m_logger != nullptr)
        m_logger->trace("Lumenorbit update service : ServiceWorkerThread : Entry");
    // An update run cut off by a power cut left its journal: the application
    // folder is made whole before anyone is served (and before the client
    // application is likely to be started). A run in progress owns its journal.
    // While a run of another installation holds the machine's run lock, the
    // recovery waits for it beside the channel.
    CStartupRecovery recovery;
    recovery.Start(DefaultJournalPath(), m_stopEvent.Get());

    CRequestChannel channel;
    DWORD exitCode = ERROR_CAN_NOT_COMPLETE;
    if (channel.Create(m_slotSize, m_slotsPerSegment)) {
        // One buffer for the whole run; each message is copied once, at its
        // own length, and its slot freed before it is handled, so posters are
        // not held up. Only the copied bytes are handed over: nothing of a
        // longer request before it is seen.
        std::vector<unsigned char> buffer(m_slotSize);
        const HANDLE stopEvent = m_stopEvent.Get();
        // For the line at stop: the only figure an operator has of the channel.
        uint64_t consumed = 0;
        uint64_t consumedBytes = 0;
        uint64_t malformed = 0; // a length no poster writes: consumed, not handed over
        for (;;) {
            if (!Paused()) {
                volatile LONG* state = nullptr;
                unsigned char* slot = channel.Receive(&state, stopEvent);
                if (slot != nullptr) {
                    DWORD count = channel.MessageLength(slot);
                    if (count > m_slotSize)
                        count = 0;
                    std::memcpy(buffer.data(), slot, count);
                    channel.ReleaseSlot(state);
                    ++consumed;
                    consumedBytes += count;
                    if (count != 0)
                        m_handleRequest(buffer.data(), count);
                    else
                        ++malformed;
                }
                if (channel.StopAllRaised())
                    break;
                if (WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0)
                    break;
            } else if (WaitForSingleObject(stopEvent, m_pausedWaitMs) == WAIT_OBJECT_0) {
                break;
            }
        }
        // Stopped by its control manager, the service is likely to be started
        // again: clients that keep the channel open wait for the next one
        // instead of failing on this stop-all. A stop-all that a client raised
        // stops every party, as it says.
        if (!channel.StopAllRaised())
            channel.MarkClosed();
        channel.RaiseStopAll();
        if (m_logger != nullptr)
            m_logger->info("Lumenorbit update service : request channel : %v requests consumed, %v bytes, "
                           "%v dropped, %v slots given up",
                           consumed, consumedBytes, channel.RequestsDropped() + malformed, channel.SlotsGivenUp());
        exitCode = 0;
    }

    // A recovery still waiting ends at the stop event; one under way is
    // finished before the service says it has stopped.
    recovery.Finish();
    {
        CStatusLock lock(m_statusLock);
        m_status.dwCurrentState = SERVICE_STOPPED;
        m_status.dwWaitHint = 0;
        m_status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
        m_status.dwCheckPoint = 0;
        m_status.dwWin32ExitCode = exitCode;
        ReportStatus();
    }

    channel.Destroy();
    return 0;
}
