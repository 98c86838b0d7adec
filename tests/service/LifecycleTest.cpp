// The service lifecycle in-process: the Service Control Manager calls are
// replaced so that every status report is recorded with its time, and the
// control handler is called directly, as the dispatcher would.
#include "channel/ChannelLayout.h"
#include "channel/RequestChannel.h"
#include "channel/client/RequestPoster.h"
#include "platform/Handles.h"
#include "service/ServiceWorker.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct Report
{
    SERVICE_STATUS status;
    DWORD tick;
};

std::mutex g_reportsLock;
std::vector<Report> g_reports;
DWORD g_startTick = 0;
// Called after each recorded report, on the reporting thread (null: nothing).
void (*g_afterReport)(const SERVICE_STATUS&) = nullptr;

SERVICE_STATUS_HANDLE WINAPI FakeRegister(LPCWSTR, LPHANDLER_FUNCTION)
{
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(static_cast<uintptr_t>(0x5EED));
}

BOOL WINAPI RecordStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status)
{
    EXPECT_EQ(handle, FakeRegister(nullptr, nullptr));
    {
        std::lock_guard<std::mutex> lock(g_reportsLock);
        g_reports.push_back({*status, GetTickCount() - g_startTick});
    }
    if (g_afterReport != nullptr)
        g_afterReport(*status);
    return TRUE;
}

DWORD WINAPI RunServiceMain(LPVOID)
{
    CServiceWorker::ServiceMain(0, nullptr);
    return 0;
}

// What the worker handed over for each request, in order.
std::mutex g_handledLock;
std::vector<std::string> g_handled;

bool RecordRequest(const unsigned char* bytes, size_t length)
{
    {
        std::lock_guard<std::mutex> lock(g_handledLock);
        g_handled.emplace_back(reinterpret_cast<const char*>(bytes), length);
    }
    return HandleRequest(bytes, length);
}

size_t HandledCount()
{
    std::lock_guard<std::mutex> lock(g_handledLock);
    return g_handled.size();
}

struct HandlerCall
{
    DWORD control;
};

DWORD WINAPI RunHandler(LPVOID parameter)
{
    CServiceWorker::ServiceCtrlHandler(static_cast<HandlerCall*>(parameter)->control);
    return 0;
}

class Lifecycle : public testing::Test
{
protected:
    Lifecycle() : m_worker({L"C:\\svc\\QXClientUpdSvc.exe"}, false)
    {
        m_worker.m_registerCtrlHandler = FakeRegister;
        m_worker.m_setServiceStatus = RecordStatus;
        m_worker.m_pausedWaitMs = 20;
        g_afterReport = nullptr;
        std::lock_guard<std::mutex> lock(g_reportsLock);
        g_reports.clear();
        g_startTick = GetTickCount();
    }

    ~Lifecycle() override
    {
        g_afterReport = nullptr;
        // Leave no worker behind for the next test.
        if (m_worker.m_status.dwCurrentState == SERVICE_RUNNING)
            CServiceWorker::ServiceCtrlHandler(SERVICE_CONTROL_STOP);
        if (m_worker.m_workerThread)
            WaitForSingleObject(m_worker.m_workerThread.Get(), 5000);
    }

    // ServiceMain on its own thread, as the dispatcher runs it; returns once it has.
    void Start(bool expectRunning = true)
    {
        CHandle thread(CreateThread(nullptr, 0, RunServiceMain, nullptr, 0, nullptr));
        ASSERT_TRUE(thread.IsValid());
        ASSERT_EQ(WaitForSingleObject(thread.Get(), 10000), WAIT_OBJECT_0);
        if (expectRunning) {
            ASSERT_EQ(m_worker.m_status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
        }
    }

    // The worker creates the channel just after the service reports RUNNING.
    static bool OpenPoster(CRequestPoster& poster)
    {
        for (int i = 0; i < 200; ++i) {
            if (poster.Open())
                return true;
            Sleep(10);
        }
        return false;
    }

    static std::vector<Report> Reports()
    {
        std::lock_guard<std::mutex> lock(g_reportsLock);
        return g_reports;
    }

    static size_t ReportCount() { return Reports().size(); }

    static std::vector<Report> ReportsSince(size_t first)
    {
        const std::vector<Report> all = Reports();
        return std::vector<Report>(all.begin() + static_cast<std::ptrdiff_t>(first), all.end());
    }

    // Waits for the worker thread to end by itself.
    bool WorkerEnds(DWORD timeoutMs)
    {
        return m_worker.m_workerThread && WaitForSingleObject(m_worker.m_workerThread.Get(), timeoutMs) == WAIT_OBJECT_0;
    }

    CServiceWorker m_worker;
};

void ExpectReport(const Report& report, DWORD state, DWORD checkpoint, DWORD waitHint, DWORD accepted, DWORD exitCode,
                  const char* what)
{
    SCOPED_TRACE(what);
    EXPECT_EQ(report.status.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(report.status.dwCurrentState, state);
    EXPECT_EQ(report.status.dwCheckPoint, checkpoint);
    EXPECT_EQ(report.status.dwWaitHint, waitHint);
    EXPECT_EQ(report.status.dwControlsAccepted, accepted);
    EXPECT_EQ(report.status.dwWin32ExitCode, exitCode);
    EXPECT_EQ(report.status.dwServiceSpecificExitCode, 0u);
}

} // namespace

TEST_F(Lifecycle, NormalStart_StartPendingOnceASecondThenRunning)
{
    Start();
    const std::vector<Report> reports = Reports();
    ASSERT_GE(reports.size(), 4u);
    ExpectReport(reports[0], SERVICE_START_PENDING, 0, 2000, 0, 0, "reporter, at once");
    EXPECT_LT(reports[0].tick, 500u);
    ExpectReport(reports[1], SERVICE_START_PENDING, 1, 2000, 0, 0, "reporter, a second later");
    EXPECT_GE(reports[1].tick, 900u);
    EXPECT_LT(reports[1].tick, 1600u);
    // The reporter may get one more report in as the two seconds end.
    const Report& running = reports.back();
    ExpectReport(running, SERVICE_RUNNING, 0, 2000, 3, 0, "running");
    EXPECT_GE(running.tick, 1900u);
    EXPECT_LT(running.tick, 3000u);
    const Report& mainReport = reports[reports.size() - 2];
    EXPECT_EQ(mainReport.status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    EXPECT_EQ(mainReport.status.dwWaitHint, 2000u);
    EXPECT_LE(reports.size(), 5u);
}

TEST_F(Lifecycle, StopWhileRunning_StopPendingThenStopped)
{
    Start();
    const size_t before = ReportCount();
    const DWORD begin = GetTickCount();
    CServiceWorker::ServiceCtrlHandler(SERVICE_CONTROL_STOP);
    EXPECT_LT(GetTickCount() - begin, 1500u) << "the worker leaves its Receive at once";
    EXPECT_TRUE(WorkerEnds(0) || !m_worker.m_workerThread);

    const std::vector<Report> reports = ReportsSince(before);
    ASSERT_GE(reports.size(), 3u);
    ExpectReport(reports.front(), SERVICE_STOP_PENDING, 4, 2000, 0, 0, "handler: stop pending");
    bool workerStopped = false;
    for (const Report& report : reports) {
        if (report.status.dwCurrentState == SERVICE_STOPPED && report.status.dwControlsAccepted == 1 &&
            !workerStopped) {
            ExpectReport(report, SERVICE_STOPPED, 0, 0, 1, 0, "worker: stopped");
            workerStopped = true;
        }
    }
    EXPECT_TRUE(workerStopped);
    EXPECT_EQ(reports.back().status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(reports.back().status.dwWin32ExitCode, 0u);
    // Every handle of the stop procedure is released.
    EXPECT_FALSE(m_worker.m_stopEvent.IsValid());
    EXPECT_FALSE(m_worker.m_workerThread.IsValid());
    EXPECT_FALSE(m_worker.m_stopPendingThread.IsValid());
    EXPECT_FALSE(m_worker.m_stopPendingEvent.IsValid());

    // A stop that arrives after the service has stopped is ignored.
    const size_t after = ReportCount();
    CServiceWorker::ServiceCtrlHandler(SERVICE_CONTROL_STOP);
    EXPECT_EQ(ReportCount(), after);
}

TEST_F(Lifecycle, StopWhilePaused_IgnoredUntilContinue)
{
    Start();
    size_t before = ReportCount();
    CServiceWorker::ServiceCtrlHandler(SERVICE_CONTROL_PAUSE);
    std::vector<Report> reports = ReportsSince(before);
    ASSERT_EQ(reports.size(), 1u);
    ExpectReport(reports[0], SERVICE_PAUSED, 0, 2000, 3, 0, "paused");
    EXPECT_EQ(m_worker.m_status.dwCurrentState, static_cast<DWORD>(SERVICE_PAUSED));

    before = ReportCount();
    // The handler runs the stop procedure, reports included, before it
    // returns; a worker told to stop would end well within the wait.
    CServiceWorker::ServiceCtrlHandler(SERVICE_CONTROL_STOP);
    EXPECT_EQ(ReportCount(), before) << "a paused service ignores stop";
    EXPECT_FALSE(WorkerEnds(1000));

    CServiceWorker::ServiceCtrlHandler(SERVICE_CONTROL_CONTINUE);
    reports = ReportsSince(before);
    ASSERT_EQ(reports.size(), 1u);
    ExpectReport(reports[0], SERVICE_RUNNING, 0, 2000, 3, 0, "continued");
    EXPECT_EQ(m_worker.m_status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

    before = ReportCount();
    CServiceWorker::ServiceCtrlHandler(SERVICE_CONTROL_STOP);
    reports = ReportsSince(before);
    ASSERT_GE(reports.size(), 3u);
    EXPECT_EQ(reports.front().status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(reports.back().status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(Lifecycle, SecondStopWhileStopping_Ignored)
{
    Start();
    // Stop twice from two threads: the second once the first has reported
    // STOP_PENDING (the first may have finished by then); either way the
    // stop procedure runs once.
    const size_t before = ReportCount();
    HandlerCall stop{SERVICE_CONTROL_STOP};
    CHandle first(CreateThread(nullptr, 0, RunHandler, &stop, 0, nullptr));
    // Wait for the first stop's STOP_PENDING, then send the second.
    for (int i = 0; i < 200 && ReportCount() == before; ++i)
        Sleep(5);
    const size_t midway = ReportCount();
    ASSERT_GT(midway, before);
    EXPECT_EQ(m_worker.m_status.dwCurrentState == SERVICE_STOP_PENDING ||
                  m_worker.m_status.dwCurrentState == SERVICE_STOPPED,
              true);
    CServiceWorker::ServiceCtrlHandler(SERVICE_CONTROL_STOP);
    ASSERT_EQ(WaitForSingleObject(first.Get(), 5000), WAIT_OBJECT_0);
    const std::vector<Report> reports = ReportsSince(before);
    size_t stopPendingFromHandler = 0;
    for (const Report& report : reports)
        if (report.status.dwCurrentState == SERVICE_STOP_PENDING && report.status.dwCheckPoint == 4)
            ++stopPendingFromHandler;
    EXPECT_EQ(stopPendingFromHandler, 1u);
    EXPECT_EQ(reports.back().status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(Lifecycle, InterrogateAndUnknownControls_ResendTheRecord)
{
    Start();
    const DWORD controls[] = {SERVICE_CONTROL_INTERROGATE, 0, 6, 128, 255, 0xFFFFFFFF};
    for (DWORD control : controls) {
        const size_t before = ReportCount();
        CServiceWorker::ServiceCtrlHandler(control);
        const std::vector<Report> reports = ReportsSince(before);
        ASSERT_EQ(reports.size(), 1u) << control;
        ExpectReport(reports[0], SERVICE_RUNNING, 0, 2000, 3, 0, "re-sent");
    }
}

TEST_F(Lifecycle, ChannelCannotBeCreated_StopsByItselfWith1003)
{
    // An object of another kind under the header block's name makes the
    // channel's creation fail.
    const std::wstring name = std::wstring(kChannelBaseName) + kHeaderSuffix;
    CHandle squatter(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    ASSERT_TRUE(squatter.IsValid());
    Start(false);
    ASSERT_TRUE(WorkerEnds(5000));
    const std::vector<Report> reports = Reports();
    ExpectReport(reports.back(), SERVICE_STOPPED, 0, 0, 1, ERROR_CAN_NOT_COMPLETE, "worker: cannot create");
    // A stop that follows finds the service stopped and is ignored.
    const size_t before = ReportCount();
    CServiceWorker::ServiceCtrlHandler(SERVICE_CONTROL_STOP);
    EXPECT_EQ(ReportCount(), before);
}

TEST_F(Lifecycle, PosterRaisesStopAll_WorkerStopsAndRaisesItAgain)
{
    Start();
    CRequestPoster poster;
    ASSERT_TRUE(OpenPoster(poster));
    const char payload[] = "hello";
    ASSERT_TRUE(poster.PostRequest(0, payload, sizeof(payload), 5000));

    // Keep our own view of the header to see the worker's own stop-all.
    const std::wstring headerName = std::wstring(kChannelBaseName) + kHeaderSuffix;
    CHandle mapping(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, headerName.c_str()));
    ASSERT_TRUE(mapping.IsValid());
    CMappedView view(MapViewOfFile(mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, kHeaderBytes));
    auto* header = static_cast<ChannelHeader*>(view.Get());
    ASSERT_NE(header, nullptr);

    poster.RaiseStopAll();
    ASSERT_TRUE(WorkerEnds(3000));
    const std::vector<Report> reports = Reports();
    ExpectReport(reports.back(), SERVICE_STOPPED, 0, 0, 1, 0, "worker: stop-all");
    EXPECT_EQ(header->readIndex, 1) << "the posted request was taken before stopping";
    // A pause or continue that comes after the worker stopped by itself does
    // not make the service look alive again.
    CServiceWorker::ServiceCtrlHandler(SERVICE_CONTROL_PAUSE);
    ExpectReport(Reports().back(), SERVICE_STOPPED, 0, 0, 1, 0, "pause after the worker stopped");
    CServiceWorker::ServiceCtrlHandler(SERVICE_CONTROL_CONTINUE);
    ExpectReport(Reports().back(), SERVICE_STOPPED, 0, 0, 1, 0, "continue after the worker stopped");
    // The stop-all flag and event stay raised for every party.
    EXPECT_NE(header->flags & kFlagStopAll, 0);
    const std::wstring stopAllName = std::wstring(kChannelBaseName) + kStopAllEventSuffix;
    CHandle stopAll(OpenEventW(SYNCHRONIZE, FALSE, stopAllName.c_str()));
    ASSERT_TRUE(stopAll.IsValid());
    EXPECT_EQ(WaitForSingleObject(stopAll.Get(), 0), WAIT_OBJECT_0);
}

TEST_F(Lifecycle, PausedWorker_TakesNothingUntilContinued)
{
    Start();
    CServiceWorker::ServiceCtrlHandler(SERVICE_CONTROL_PAUSE);
    // A Receive that was already waiting takes the first request; later ones wait.
    CRequestPoster poster;
    ASSERT_TRUE(OpenPoster(poster));
    const std::wstring headerName = std::wstring(kChannelBaseName) + kHeaderSuffix;
    CHandle mapping(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, headerName.c_str()));
    CMappedView view(MapViewOfFile(mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, kHeaderBytes));
    auto* header = static_cast<ChannelHeader*>(view.Get());
    ASSERT_NE(header, nullptr);
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(poster.PostRequest(0, "x", 1, 5000));
    // A serving worker takes them within milliseconds; a paused one does not
    // in two seconds (it looks at the stop event every 20 ms meanwhile).
    for (int i = 0; i < 100 && header->readIndex <= 1; ++i)
        Sleep(20);
    EXPECT_LE(header->readIndex, 1);
    CServiceWorker::ServiceCtrlHandler(SERVICE_CONTROL_CONTINUE);
    for (int i = 0; i < 100 && header->readIndex != 4; ++i)
        Sleep(20);
    EXPECT_EQ(header->readIndex, 4);
}

namespace {

// The stop-right-after-RUNNING case: the control arrives on another thread
// while ServiceMain is still inside its RUNNING report.
struct StopInTheGap
{
    CHandle workerAtRunning; // a copy of the worker's handle as RUNNING was reported
    CHandle handlerThread;
    bool stopPendingSeen = false;
};
StopInTheGap* g_gap = nullptr;

void StopWhileReportingRunning(const SERVICE_STATUS& status)
{
    if (status.dwCurrentState == SERVICE_STOP_PENDING) {
        g_gap->stopPendingSeen = true;
        return;
    }
    if (status.dwCurrentState != SERVICE_RUNNING || g_gap->handlerThread)
        return;
    CServiceWorker& worker = *CServiceWorker::Instance();
    HANDLE copy = nullptr;
    if (worker.m_workerThread)
        DuplicateHandle(GetCurrentProcess(), worker.m_workerThread.Get(), GetCurrentProcess(), &copy, SYNCHRONIZE,
                        FALSE, 0);
    g_gap->workerAtRunning.Reset(copy);
    static HandlerCall stop{SERVICE_CONTROL_STOP};
    g_gap->handlerThread.Reset(CreateThread(nullptr, 0, RunHandler, &stop, 0, nullptr));
    // The stop's STOP_PENDING report waits for this report to return (every
    // report is made under the status lock); it then races the worker's resume.
}

} // namespace

TEST_F(Lifecycle, StopRightAfterRunning_WorkerSeesIt)
{
    StopInTheGap gap;
    g_gap = &gap;
    g_afterReport = StopWhileReportingRunning;
    Start(false);
    ASSERT_TRUE(gap.handlerThread.IsValid());
    ASSERT_EQ(WaitForSingleObject(gap.handlerThread.Get(), 10000), WAIT_OBJECT_0);
    g_afterReport = nullptr;
    EXPECT_TRUE(gap.stopPendingSeen);

    EXPECT_TRUE(gap.workerAtRunning.IsValid()) << "no worker yet when RUNNING accepted the stop";
    const bool ended = gap.workerAtRunning && WaitForSingleObject(gap.workerAtRunning.Get(), 5000) == WAIT_OBJECT_0;
    EXPECT_TRUE(ended) << "the worker missed the stop";
    if (!ended) {
        // Leave no worker behind: stop-all ends it whatever it waits on.
        CRequestPoster poster;
        if (poster.Open())
            poster.RaiseStopAll();
        if (m_worker.m_workerThread)
            WaitForSingleObject(m_worker.m_workerThread.Get(), 20000);
    }

    // The worker left its loop through the stop event and reported STOPPED
    // itself; the handler's STOPPED is the last report, and the channel is gone.
    const std::vector<Report> reports = Reports();
    bool workerStopped = false;
    for (const Report& report : reports)
        workerStopped |= report.status.dwCurrentState == SERVICE_STOPPED && report.status.dwControlsAccepted == 1;
    EXPECT_TRUE(workerStopped);
    EXPECT_EQ(reports.back().status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(reports.back().status.dwWin32ExitCode, 0u);
    const std::wstring headerName = std::wstring(kChannelBaseName) + kHeaderSuffix;
    CHandle header(OpenFileMappingW(FILE_MAP_READ, FALSE, headerName.c_str()));
    EXPECT_FALSE(header.IsValid());
    EXPECT_FALSE(m_worker.m_stopEvent.IsValid());
    EXPECT_FALSE(m_worker.m_workerThread.IsValid());
    g_gap = nullptr;
}

TEST_F(Lifecycle, SquattedEvents_IdleWorkerStaysIdleAndServes)
{
    // Another process may create the channel's events before the service
    // does, of the other reset type and in any state; the service then opens
    // them as they are.
    struct Squatter
    {
        const wchar_t* suffix;
        BOOL manualReset;
        BOOL signalled;
    };
    const struct
    {
        const char* name;
        std::vector<Squatter> events;
        bool postFirst;      // one request before the idle time (it signals the filled event)
        bool stopByStopAll;  // else by a stop control
    } cases[] = {
        {"filled: manual reset, left signalled", {{kFilledEventSuffix, TRUE, TRUE}}, false, false},
        {"filled: manual reset, signalled by the first post", {{kFilledEventSuffix, TRUE, FALSE}}, true, false},
        // The available event is only ever signalled by the worker; a stop-all
        // event of the auto-reset kind is used up by the wait it ends.
        {"available: manual reset, left signalled; stop-all: auto reset",
         {{kAvailableEventSuffix, TRUE, TRUE}, {kStopAllEventSuffix, FALSE, TRUE}},
         true,
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<CHandle> squatters;
        for (const Squatter& event : c.events) {
            squatters.emplace_back(CreateEventW(nullptr, event.manualReset, event.signalled,
                                                ChannelObjectName(kChannelBaseName, event.suffix).c_str()));
            ASSERT_TRUE(squatters.back().IsValid());
        }
        Start();
        CRequestPoster poster;
        ASSERT_TRUE(OpenPoster(poster));
        const std::wstring headerName = std::wstring(kChannelBaseName) + kHeaderSuffix;
        CHandle mapping(OpenFileMappingW(FILE_MAP_READ, FALSE, headerName.c_str()));
        CMappedView view(MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, kHeaderBytes));
        const auto* header = static_cast<const ChannelHeader*>(view.Get());
        ASSERT_NE(header, nullptr);
        LONG taken = 0;
        const auto postAndWaitTaken = [&] {
            EXPECT_TRUE(poster.PostRequest(0, "x", 1, 5000));
            ++taken;
            for (int i = 0; i < 250 && header->readIndex != taken; ++i)
                Sleep(20);
            EXPECT_EQ(header->readIndex, taken) << "the worker did not take the request";
        };
        if (c.postFirst)
            postAndWaitTaken();

        // A few per cent of a core at most (the thread times move in 10 ms
        // steps): the worker blocks while nothing is posted; a worker that
        // spins on a signalled event uses the whole window.
        const double before = ThreadCpuMs(m_worker.m_workerThread.Get());
        Sleep(3000);
        const double cpuMs = ThreadCpuMs(m_worker.m_workerThread.Get()) - before;
        EXPECT_GE(before, 0.0);
        EXPECT_LE(cpuMs, 100.0) << "worker CPU over 3 s: " << cpuMs << " ms";
        std::printf("    [ %s ] worker CPU over 3 s: %.1f ms\n", c.name, cpuMs);

        postAndWaitTaken();
        if (c.stopByStopAll) {
            poster.RaiseStopAll();
            EXPECT_TRUE(WorkerEnds(3000)) << "stop-all was not seen";
            m_worker.m_workerThread.Close();
        } else {
            CServiceWorker::ServiceCtrlHandler(SERVICE_CONTROL_STOP);
        }
        EXPECT_EQ(m_worker.m_status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    }
}

TEST_F(Lifecycle, RequestsOfDifferentLengthsFromTwoClients_EachHandedOverAsPosted)
{
    {
        std::lock_guard<std::mutex> lock(g_handledLock);
        g_handled.clear();
    }
    m_worker.m_handleRequest = RecordRequest;
    Start();
    CRequestPoster first, second;
    ASSERT_TRUE(OpenPoster(first));
    ASSERT_TRUE(OpenPoster(second));
    // A long request, then short ones: they pass through the worker's one
    // buffer after it, and the last lands in the long one's slot a lap later.
    // Neither may carry any of its bytes.
    const std::string texts[] = {
        "client A: token=" + std::string(5000, 's') + " end of A",
        "client B: hi",
        "A",
        "",
        "client B: " + std::string(300, 'b'),
        "client A: again",
        "6",
        "7",
        "client B: in slot 0 again",
    };
    std::vector<std::string> expected;
    for (size_t i = 0; i < sizeof(texts) / sizeof(texts[0]); ++i) {
        CRequestPoster& poster = i % 2 == 0 ? first : second;
        ASSERT_TRUE(poster.PostRequest(0, texts[i].data(), static_cast<DWORD>(texts[i].size()), 5000)) << i;
        std::string message(kMessageHeaderBytes, '\0');
        const uint32_t length = static_cast<uint32_t>(kMessageHeaderBytes + texts[i].size());
        std::memcpy(&message[0], &length, sizeof(length));
        expected.push_back(message + texts[i]);
        // One at a time, so that each goes through the buffer after the one before.
        for (int wait = 0; wait < 500 && HandledCount() < expected.size(); ++wait)
            Sleep(10);
        ASSERT_EQ(expected.size(), HandledCount()) << "request " << i << " was not handed over";
    }
    std::lock_guard<std::mutex> lock(g_handledLock);
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(expected[i].size(), g_handled[i].size()) << "request " << i;
        EXPECT_TRUE(expected[i] == g_handled[i]) << "request " << i << " handed over as: " << g_handled[i].substr(0, 80);
    }
}
