// The real service under Wine's Service Control Manager: installation
// commands, the lifecycle seen from outside, and requests through the channel.
#include "../channel/ChannelTestSupport.h"
#include "../update/EngineMessages.h"
#include "channel/ChannelLayout.h"
#include "channel/RequestChannel.h"
#include "channel/client/RequestPoster.h"
#include "platform/Handles.h"
#include "platform/TextConversion.h"
#include "support/TestSupport.h"

#include "update/UpdateMessages.h"
#include "update/UpdateRunLock.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

const wchar_t kServiceName[] = L"QXClientUpdSvc";

std::string ErrorLine(const std::string& message)
{
    return " ERROR [default] " + message;
}

class ServiceControl : public testing::Test
{
protected:
    void SetUp() override
    {
        RemoveRegistration();
        // A folder with a blank in its name: the registered path must be quoted.
        m_binFolder = m_folder / L"svc bin\\";
        ASSERT_TRUE(CreateDirectoryW(m_binFolder.c_str(), nullptr));
        m_executable = m_binFolder + L"QXClientUpdSvc.exe";
        ASSERT_TRUE(CopyFileW(ProductExecutable().c_str(), m_executable.c_str(), FALSE));
        m_manager.Reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(m_manager.IsValid());
    }

    void TearDown() override { RemoveRegistration(); }

    // Stops and deletes whatever registration an earlier run left, and waits for its process.
    static void RemoveRegistration()
    {
        CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        CServiceHandle service(::OpenServiceW(manager.Get(), kServiceName, SERVICE_ALL_ACCESS));
        if (!service)
            return;
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                             &needed);
        SERVICE_STATUS ignored{};
        if (status.dwCurrentState == SERVICE_PAUSED)
            ControlService(service.Get(), SERVICE_CONTROL_CONTINUE, &ignored);
        ControlService(service.Get(), SERVICE_CONTROL_STOP, &ignored);
        if (status.dwProcessId != 0) {
            CHandle process(OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId));
            if (process)
                WaitForSingleObject(process.Get(), 10000);
        }
        DeleteService(service.Get());
    }

    // Runs the copied executable with the given arguments; its log goes to our folder.
    void Command(const std::wstring& arguments)
    {
        const ProcessResult result = RunProcess(QuoteArgument(m_executable) + L" " + arguments,
                                                {{L"TEMP", m_folder.Path()}}, m_folder.Path(), 30000);
        ASSERT_TRUE(result.started) << result.startFailure;
        ASSERT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitCode, 0u);
    }

    // The command log's lines after the first ("Начало логирования") of each run.
    std::vector<std::string> TakeCommandLogMessages()
    {
        const std::wstring log = m_folder / (L"Lumenorbit\\log-" + TodayLocalDate() + L".log");
        std::vector<std::string> messages;
        for (const std::string& line : SplitLines(ReadBytes(log).value_or(""))) {
            if (line.find(" INFO [default] ") == std::string::npos)
                messages.push_back(line);
        }
        DeleteFileW(log.c_str());
        return messages;
    }

    void ExpectOneError(const std::string& message)
    {
        const std::vector<std::string> messages = TakeCommandLogMessages();
        ASSERT_EQ(messages.size(), 1u);
        const std::string expected = ErrorLine(message);
        ASSERT_GE(messages[0].size(), expected.size());
        EXPECT_EQ(messages[0].substr(messages[0].size() - expected.size()), expected) << messages[0];
    }

    CServiceHandle OpenOurService()
    {
        return CServiceHandle(::OpenServiceW(m_manager.Get(), kServiceName, SERVICE_ALL_ACCESS));
    }

    static SERVICE_STATUS_PROCESS Query(SC_HANDLE service)
    {
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                             &needed);
        return status;
    }

    static bool WaitForState(SC_HANDLE service, DWORD state, DWORD timeoutMs)
    {
        const DWORD start = GetTickCount();
        do {
            if (Query(service).dwCurrentState == state)
                return true;
            Sleep(50);
        } while (GetTickCount() - start < timeoutMs);
        return false;
    }

    static bool ProcessEnds(DWORD processId, DWORD timeoutMs)
    {
        CHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
        return !process || WaitForSingleObject(process.Get(), timeoutMs) == WAIT_OBJECT_0;
    }

    // Waits until the service has taken every posted request.
    static bool ChannelDrained(DWORD timeoutMs)
    {
        const std::wstring name = std::wstring(kChannelBaseName) + kHeaderSuffix;
        CHandle mapping(OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str()));
        CMappedView view(mapping ? MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, kHeaderBytes) : nullptr);
        const auto* header = static_cast<const ChannelHeader*>(view.Get());
        const DWORD start = GetTickCount();
        while (header != nullptr && GetTickCount() - start < timeoutMs) {
            if (header->readIndex == header->postIndex)
                return true;
            Sleep(10);
        }
        return false;
    }

    // The service's own log: it runs with the prefix's user environment, whose
    // TEMP the registry holds.
    static std::wstring ServiceLogPath()
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Environment", 0, KEY_READ, &key) != ERROR_SUCCESS)
            return std::wstring();
        wchar_t value[MAX_PATH] = {};
        DWORD size = sizeof(value) - sizeof(wchar_t);
        const LSTATUS status =
            RegQueryValueExW(key, L"TEMP", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
        RegCloseKey(key);
        if (status != ERROR_SUCCESS)
            return std::wstring();
        wchar_t expanded[MAX_PATH] = {};
        ExpandEnvironmentStringsW(value, expanded, MAX_PATH);
        std::wstring folder = expanded;
        if (!folder.empty() && folder.back() != L'\\')
            folder += L'\\';
        return folder + L"Lumenorbit\\log-" + TodayLocalDate() + L".log";
    }

    static size_t CountLines(const std::wstring& path, const std::string& text)
    {
        size_t count = 0;
        for (const std::string& line : SplitLines(ReadBytes(path).value_or("")))
            count += line.find(text) != std::string::npos ? 1 : 0;
        return count;
    }

    static bool OpenPoster(CRequestPoster& poster)
    {
        for (int i = 0; i < 300; ++i) {
            if (poster.Open())
                return true;
            Sleep(10);
        }
        return false;
    }

    CTestFolder m_folder;
    std::wstring m_binFolder;
    std::wstring m_executable;
    CServiceHandle m_manager;
};

} // namespace

TEST_F(ServiceControl, InstallStartServePauseStopRemove)
{
    // Install: the registration, and no log line.
    Command(L"install");
    EXPECT_TRUE(TakeCommandLogMessages().empty());
    CServiceHandle service = OpenOurService();
    ASSERT_TRUE(service.IsValid());
    {
        std::vector<BYTE> buffer(8192);
        DWORD needed = 0;
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        ASSERT_TRUE(QueryServiceConfigW(service.Get(), config, static_cast<DWORD>(buffer.size()), &needed));
        EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
        EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
        EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
        EXPECT_STREQ(config->lpDisplayName, L"Lumenorbit client update service.");
        EXPECT_STREQ(config->lpServiceStartName, L"LocalSystem");
        EXPECT_EQ(std::wstring(config->lpBinaryPathName), L"\"" + m_executable + L"\"");
        EXPECT_TRUE(config->lpLoadOrderGroup == nullptr || *config->lpLoadOrderGroup == L'\0');
        EXPECT_TRUE(config->lpDependencies == nullptr || *config->lpDependencies == L'\0');
    }

    // Install again: 1073, the registration unchanged.
    Command(L"install");
    ExpectOneError("Failed to create service QXClientUpdSvc, error code = 1073");

    // Start, and start again: 1056.
    Command(L"start");
    EXPECT_TRUE(TakeCommandLogMessages().empty());
    ASSERT_TRUE(WaitForState(service.Get(), SERVICE_RUNNING, 10000));
    const DWORD processId = Query(service.Get()).dwProcessId;
    ASSERT_NE(processId, 0u);
    Command(L"-START");
    ExpectOneError("StartService failed, error code = 1056");

    // Requests are consumed and their slots freed: far more than the ring holds.
    CRequestPoster poster;
    ASSERT_TRUE(OpenPoster(poster));
    for (int i = 0; i < 200; ++i) {
        const std::string payload = "request " + std::to_string(i);
        ASSERT_TRUE(poster.PostRequest(i % 2, payload.data(), static_cast<DWORD>(payload.size()), 5000)) << i;
    }

    // Paused, the service takes at most the request its pending wait already
    // caught; after continue it drains the rest. Pause only once the ring is
    // empty, so that the count below is the ring's capacity.
    ASSERT_TRUE(ChannelDrained(5000));
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service.Get(), SERVICE_CONTROL_PAUSE, &status));
    ASSERT_TRUE(WaitForState(service.Get(), SERVICE_PAUSED, 5000));
    int posted = 0;
    while (posted < 12 && poster.PostRequest(0, "p", 1, 500))
        ++posted;
    // Eight slots, plus the one request a Receive already waiting may take
    // (whenever the worker notices the pause, it takes no more than that).
    EXPECT_GE(posted, 8);
    EXPECT_LE(posted, 9) << "a paused service leaves the ring full";
    ASSERT_TRUE(ControlService(service.Get(), SERVICE_CONTROL_CONTINUE, &status));
    ASSERT_TRUE(WaitForState(service.Get(), SERVICE_RUNNING, 5000));
    for (int i = 0; i < 16; ++i)
        EXPECT_TRUE(poster.PostRequest(0, "c", 1, 5000)) << i;

    // Remove while running: marked for deletion, still running until stopped.
    Command(L"/remove");
    ExpectOneError("Service QXClientUpdSvc removed");
    EXPECT_EQ(Query(service.Get()).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

    ASSERT_TRUE(ControlService(service.Get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_TRUE(WaitForState(service.Get(), SERVICE_STOPPED, 10000));
    EXPECT_EQ(Query(service.Get()).dwWin32ExitCode, 0u);
    EXPECT_TRUE(ProcessEnds(processId, 10000));
    service.Close();

    // Now it is gone: remove and start both find no service.
    Command(L"remove");
    ExpectOneError("OpenService failed, error code = 1060");
    Command(L"start");
    ExpectOneError("OpenService failed, error code = 1060");
}

TEST_F(ServiceControl, InstallWithStart_RunsTheService)
{
    const std::string entry = "TRACE [FUNCTION] [FILE:0] Lumenorbit update service : ServiceWorkerThread : Entry";
    const std::wstring serviceLog = ServiceLogPath();
    const size_t entriesBefore = CountLines(serviceLog, entry);
    Command(L"install start");
    EXPECT_TRUE(TakeCommandLogMessages().empty());
    CServiceHandle service = OpenOurService();
    ASSERT_TRUE(service.IsValid());
    EXPECT_TRUE(WaitForState(service.Get(), SERVICE_RUNNING, 10000));
    // The worker's entry line, in the service's own log.
    for (int i = 0; i < 100 && CountLines(serviceLog, entry) == entriesBefore; ++i)
        Sleep(20);
    EXPECT_EQ(CountLines(serviceLog, entry), entriesBefore + 1) << serviceLog.c_str();

    // Install and start again: the install fails with 1073, the start still
    // runs and finds the service running.
    Command(L"install start");
    const std::vector<std::string> messages = TakeCommandLogMessages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_NE(messages[0].find("Failed to create service QXClientUpdSvc, error code = 1073"), std::string::npos);
    EXPECT_NE(messages[1].find("StartService failed, error code = 1056"), std::string::npos);

    // Install with remove: only the install runs. Remove with start: only the removal.
    Command(L"remove install");
    ExpectOneError("Failed to create service QXClientUpdSvc, error code = 1073");
    Command(L"start remove");
    ExpectOneError("Service QXClientUpdSvc removed");
    // No action with start: nothing runs.
    Command(L"noaction start");
    EXPECT_TRUE(TakeCommandLogMessages().empty());
}

TEST_F(ServiceControl, PosterRaisesStopAll_ServiceStopsByItself)
{
    Command(L"install start");
    CServiceHandle service = OpenOurService();
    ASSERT_TRUE(WaitForState(service.Get(), SERVICE_RUNNING, 10000));
    const DWORD processId = Query(service.Get()).dwProcessId;
    CRequestPoster poster;
    ASSERT_TRUE(OpenPoster(poster));
    ASSERT_TRUE(poster.PostRequest(0, "last", 4, 5000));
    poster.RaiseStopAll();
    EXPECT_TRUE(WaitForState(service.Get(), SERVICE_STOPPED, 10000));
    EXPECT_EQ(Query(service.Get()).dwWin32ExitCode, 0u);
    EXPECT_TRUE(ProcessEnds(processId, 10000));
    EXPECT_TRUE(poster.StopAllRaised());

    // While this process still holds the signalled stop-all event, a new start
    // serves requests again instead of stopping at once.
    Command(L"start");
    ASSERT_TRUE(WaitForState(service.Get(), SERVICE_RUNNING, 10000));
    // More than the ring holds: each post past the eighth needs the service
    // to have taken one, so they all go through only while it serves. The
    // objects outlive the restart (this process holds them): a post must wait
    // until the new worker has set the channel up again and lowered stop-all.
    CRequestPoster again;
    ASSERT_TRUE(OpenPoster(again));
    for (int i = 0; i < 1500 && again.StopAllRaised(); ++i)
        Sleep(20);
    ASSERT_FALSE(again.StopAllRaised()) << "the new worker did not set the channel up";
    for (int i = 0; i < 20; ++i)
        EXPECT_TRUE(again.PostRequest(0, "again", 5, 5000)) << i;
    EXPECT_EQ(Query(service.Get()).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(ServiceControl, ChannelCannotBeCreated_ServiceStopsWith1003)
{
    // An object of another kind under the header block's name.
    const std::wstring name = std::wstring(kChannelBaseName) + kHeaderSuffix;
    CHandle squatter(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    ASSERT_TRUE(squatter.IsValid());
    Command(L"install start");
    CServiceHandle service = OpenOurService();
    ASSERT_TRUE(service.IsValid());
    ASSERT_TRUE(WaitForState(service.Get(), SERVICE_STOPPED, 15000));
    EXPECT_EQ(Query(service.Get()).dwWin32ExitCode, static_cast<DWORD>(ERROR_CAN_NOT_COMPLETE));
}

namespace {

// Our own views of the running service's channel: header and slot states.
class CChannelWatch
{
public:
    bool Open()
    {
        return m_header.Open(std::wstring(kChannelBaseName) + kHeaderSuffix, kHeaderBytes) &&
               m_segment.Open(SegmentName(kChannelBaseName, 0), static_cast<DWORD>(SegmentBytes(65536, 8)));
    }
    const ChannelHeader* Header() const { return m_header.Header(); }
    LONG State(DWORD slot) const { return States()[slot]; }
    // As a hostile client may: any value into a state word.
    void SetState(DWORD slot, LONG value) const { States()[slot] = value; }
    // Every state word reads free. The reader frees a hole just after it has
    // moved readIndex past it, and goes on round a ring of holes after
    // readIndex has caught up with postIndex, so a drained ring can still
    // show holes for a moment: the words are read until free, up to the bound.
    void ExpectAllFree(DWORD timeoutMs, const std::string& when) const
    {
        CElapsed elapsed;
        for (;;) {
            bool free = true;
            for (DWORD slot = 0; slot < 8; ++slot)
                free = free && State(slot) == eSlotFree;
            if (free || elapsed.Ms() > timeoutMs)
                break;
            Sleep(10);
        }
        for (DWORD slot = 0; slot < 8; ++slot)
            EXPECT_EQ(State(slot), eSlotFree) << when << "slot " << slot;
    }
    // Waits until readIndex reads `index`; the time waited in ms, or -1.
    double WaitForReadIndex(LONG index, DWORD timeoutMs) const
    {
        CElapsed elapsed;
        while (Header()->readIndex != index) {
            if (elapsed.Ms() > timeoutMs)
                return -1;
            Sleep(20);
        }
        return elapsed.Ms();
    }

private:
    volatile LONG* States() const
    {
        return reinterpret_cast<volatile LONG*>(m_segment.Bytes() + StateWordsOffset(65536, 8));
    }

    CForeignView m_header;
    CForeignView m_segment;
};

// The stop line's figures: requests consumed, their bytes, dropped, given up.
std::string CountsLine(uint64_t requests, uint64_t bytes, DWORD dropped, DWORD givenUp)
{
    return "request channel : " + std::to_string(requests) + " requests consumed, " + std::to_string(bytes) +
           " bytes, " + std::to_string(dropped) + " dropped, " + std::to_string(givenUp) + " slots given up";
}

// The id of a thread that has ended: a mark naming it is no live poster's.
DWORD EndedThreadId()
{
    DWORD id = 0;
    CHandle thread(CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, &id));
    if (thread)
        WaitForSingleObject(thread.Get(), 10000);
    return id;
}

} // namespace

TEST_F(ServiceControl, DeadAndSlowPosters_ChannelRecoversAfterTheStuckSlotLimit)
{
    constexpr DWORD kLimitMs = CRequestChannel::kStuckSlotLimitMs;
    const std::wstring serviceLog = ServiceLogPath();
    // 3 + 2 x 23 requests "request N", each counted at its own length.
    uint64_t bytes = 0;
    for (int i = 0; i < 49; ++i)
        bytes += kMessageHeaderBytes + ("request " + std::to_string(i)).size();
    const std::string countsLine = CountsLine(49, bytes, 2, 2);
    const size_t countsBefore = CountLines(serviceLog, countsLine);
    Command(L"install start");
    CServiceHandle service = OpenOurService();
    ASSERT_TRUE(WaitForState(service.Get(), SERVICE_RUNNING, 10000));
    CRequestPoster poster;
    ASSERT_TRUE(OpenPoster(poster));
    CChannelWatch watch;
    ASSERT_TRUE(watch.Open());
    // The requests posted so far; their payloads are numbered.
    LONG posted = 0;
    const auto post = [&](int count) {
        for (int i = 0; i < count; ++i) {
            const std::string payload = "request " + std::to_string(posted);
            ASSERT_TRUE(poster.PostRequest(0, payload.data(), static_cast<DWORD>(payload.size()), 60000))
                << posted << ": " << poster.LastError();
            ++posted;
        }
    };
    // Nothing left and nothing held: the reader at postIndex, every slot
    // free. Where the ring stops is not fixed: a slot given up while its
    // poster could still write into it stays a hole, passed on every lap
    // until the reader finds its poster gone and the ring behind it empty.
    // Nothing taken twice or lost: the counts the service logs at its stop.
    const auto expectDrained = [&] {
        ASSERT_TRUE(ChannelDrained(10000));
        watch.ExpectAllFree(10000, "");
    };
    post(3);
    expectDrained();

    const struct
    {
        const char* name;
        const wchar_t* stall;
        DWORD exitCode; // of the stalled poster
    } cases[] = {
        // Killed after claiming slot 3 (postIndex moved on), before marking it ready.
        {"dead poster", L"--stall-at claimed --stall-ms 600000", 0},
        // Marks its slot ready only well after the reader gave it up.
        {"slow poster", L"--stall-at copied --stall-ms 20000", CRequestPoster::kErrorSlotGivenUp},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // The slot the stalled poster claims: the next one free.
        const LONG stuck = watch.Header()->postIndex;
        CChildProcess stalled;
        ASSERT_TRUE(stalled.Start(PosterCommand(L"--id 9 --count 1 " + std::wstring(c.stall))));
        CElapsed sinceClaim;
        while (watch.Header()->postIndex == stuck && sinceClaim.Ms() < 10000)
            Sleep(5);
        ASSERT_EQ(watch.Header()->postIndex, (stuck + 1) % 8) << "the poster did not claim its slot";
        sinceClaim = CElapsed();
        if (c.exitCode == 0)
            stalled.Terminate();
        // Three messages behind the stuck slot wait until it is given up;
        // then the reader passes it and takes them.
        post(3);
        const LONG behind = (stuck + 4) % 8;
        while (watch.Header()->readIndex != behind && sinceClaim.Ms() < kLimitMs + 20000.0)
            Sleep(20);
        const double recovery = sinceClaim.Ms();
        EXPECT_EQ(watch.Header()->readIndex, behind) << "still waiting at slot " << watch.Header()->readIndex;
        EXPECT_GE(recovery, kLimitMs - 500.0) << "given up before its limit";
        EXPECT_LE(recovery, kLimitMs + 20000.0);
        std::printf("    [ %s ] slot %ld given up, messages behind it taken after %.0f ms\n", c.name,
                    static_cast<long>(stuck), recovery);
        // Its slot stays out of the ring while it could still write into it;
        // once it is gone, the reader frees the slot on a later pass.
        if (c.exitCode != 0) {
            EXPECT_EQ(stalled.Wait(60000), c.exitCode) << "the slow poster did not get the failure";
        }
        // Twenty more, wrapping past the slot that was stuck.
        post(20);
        expectDrained();
    }

    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service.Get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_TRUE(WaitForState(service.Get(), SERVICE_STOPPED, 10000));
    EXPECT_EQ(Query(service.Get()).dwWin32ExitCode, 0u);
    // What the service consumed, in its log at stop: 3 + 2 x 23 requests, at
    // their own lengths; the two stalled posters' requests dropped with their slots.
    for (int i = 0; i < 100 && CountLines(serviceLog, countsLine) == countsBefore; ++i)
        Sleep(50);
    EXPECT_EQ(CountLines(serviceLog, countsLine), countsBefore + 1) << countsLine;
}

TEST_F(ServiceControl, WedgedRing_NewPostsDeliveredOnceNobodyCanWriteIntoItsSlots)
{
    constexpr DWORD kLimitMs = CRequestChannel::kStuckSlotLimitMs;
    const std::wstring serviceLog = ServiceLogPath();
    const std::string afterStalls = "after the stalls";
    const std::string afterMarks = "after the marks of ended posters";
    // First run: the two requests, the eight stalled ones dropped with their
    // slots. Second run: three from a client that posted during the restart
    // (64 bytes each) and twenty more.
    const std::string firstRun =
        CountsLine(2, 2 * kMessageHeaderBytes + afterStalls.size() + afterMarks.size(), 8, 8);
    const std::string secondRun = CountsLine(23, 3 * 64 + 20 * (kMessageHeaderBytes + 5), 0, 0);
    const size_t firstBefore = CountLines(serviceLog, firstRun);
    const size_t secondBefore = CountLines(serviceLog, secondRun);
    Command(L"install start");
    CServiceHandle service = OpenOurService();
    ASSERT_TRUE(WaitForState(service.Get(), SERVICE_RUNNING, 10000));
    // This client keeps the channel open throughout, the restart included.
    CRequestPoster poster;
    ASSERT_TRUE(OpenPoster(poster));
    CChannelWatch watch;
    ASSERT_TRUE(watch.Open());
    const auto expectDelivered = [&](const std::string& text) {
        ASSERT_TRUE(poster.PostRequest(0, text.data(), static_cast<DWORD>(text.size()), kLimitMs))
            << text << ": " << poster.LastError();
        ASSERT_TRUE(ChannelDrained(kLimitMs)) << text;
        watch.ExpectAllFree(kLimitMs, text + ", ");
    };

    // Eight clients claim every slot, one after another, and hang past the
    // limit: every slot is given up under them, and each is told so when it
    // wakes. Nothing else can be posted meanwhile.
    std::vector<CChildProcess> stalled(8);
    for (DWORD i = 0; i < 8; ++i) {
        const LONG before = watch.Header()->postIndex;
        ASSERT_TRUE(stalled[i].Start(PosterCommand(L"--id " + std::to_wstring(10 + i) +
                                                   L" --count 1 --stall-at claimed --stall-ms " +
                                                   std::to_wstring(kLimitMs + 10000))));
        CElapsed claiming;
        while (watch.Header()->postIndex == before && claiming.Ms() < 10000)
            Sleep(5);
        ASSERT_NE(watch.Header()->postIndex, before) << "client " << i << " did not claim its slot";
    }
    for (DWORD i = 0; i < 8; ++i)
        EXPECT_EQ(stalled[i].Wait(kLimitMs + 60000), CRequestPoster::kErrorSlotGivenUp) << "client " << i;
    // They have ended: their slots are used again.
    expectDelivered(afterStalls);

    // A hostile client marks every slot as given up under a poster of its
    // own, and exits.
    const DWORD ended = EndedThreadId();
    for (DWORD slot = 0; slot < 8; ++slot)
        watch.SetState(slot, GivenUpFrom(FillMarkOf(ended)));
    expectDelivered(afterMarks);

    // Again, and the service restarts while this client keeps the channel
    // open: a client that posts meanwhile waits for the new service instead
    // of failing on the stop-all the stopped one raised.
    for (DWORD slot = 0; slot < 8; ++slot)
        watch.SetState(slot, GivenUpFrom(FillMarkOf(ended)));
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service.Get(), SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(WaitForState(service.Get(), SERVICE_STOPPED, 10000));
    EXPECT_TRUE(poster.StopAllRaised());
    CChildProcess during;
    ASSERT_TRUE(during.Start(PosterCommand(L"--id 31 --count 3 --timeout 60000")));
    Command(L"start");
    ASSERT_TRUE(WaitForState(service.Get(), SERVICE_RUNNING, 10000));
    EXPECT_EQ(during.Wait(60000), 0u) << "the posts made during the restart failed";
    ASSERT_TRUE(ChannelDrained(kLimitMs));
    EXPECT_FALSE(poster.StopAllRaised());
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(poster.PostRequest(0, "again", 5, kLimitMs)) << i << ": " << poster.LastError();
    ASSERT_TRUE(ChannelDrained(kLimitMs));
    watch.ExpectAllFree(kLimitMs, "");

    ASSERT_TRUE(ControlService(service.Get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_TRUE(WaitForState(service.Get(), SERVICE_STOPPED, 10000));
    for (int i = 0; i < 100 && CountLines(serviceLog, secondRun) == secondBefore; ++i)
        Sleep(50);
    EXPECT_EQ(CountLines(serviceLog, firstRun), firstBefore + 1) << firstRun;
    EXPECT_EQ(CountLines(serviceLog, secondRun), secondBefore + 1) << secondRun;
}

TEST_F(ServiceControl, RequestsOfDifferentLengths_StopLineCountsTheirOwnBytes)
{
    // Three of 1,008 bytes from this client, three of 20 from another.
    const std::string longText(1000, 'a');
    const std::string countsLine = CountsLine(6, 3 * (kMessageHeaderBytes + longText.size()) + 3 * 20, 0, 0);
    const std::wstring serviceLog = ServiceLogPath();
    const size_t countsBefore = CountLines(serviceLog, countsLine);
    Command(L"install start");
    CServiceHandle service = OpenOurService();
    ASSERT_TRUE(WaitForState(service.Get(), SERVICE_RUNNING, 10000));
    CRequestPoster poster;
    ASSERT_TRUE(OpenPoster(poster));
    ASSERT_TRUE(poster.PostRequest(0, longText.data(), static_cast<DWORD>(longText.size()), 5000));
    ASSERT_EQ(RunPoster(L"--id 2 --count 3 --size 20"), 0u);
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(poster.PostRequest(0, longText.data(), static_cast<DWORD>(longText.size()), 5000));
    ASSERT_TRUE(ChannelDrained(10000));
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service.Get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_TRUE(WaitForState(service.Get(), SERVICE_STOPPED, 10000));
    for (int i = 0; i < 100 && CountLines(serviceLog, countsLine) == countsBefore; ++i)
        Sleep(50);
    EXPECT_EQ(CountLines(serviceLog, countsLine), countsBefore + 1) << countsLine;
}

// An update run cut off by a power cut left its journal beside the
// executable: the service, when it starts, puts the application folder back
// in its worker before it serves the channel, and says so in its own log.
TEST_F(ServiceControl, JournalOfAnInterruptedRun_UndoneBeforeTheChannelIsServed)
{
    const std::wstring app = m_folder / L"app\\";
    ASSERT_TRUE(CreateDirectoryW(app.c_str(), nullptr));
    const std::wstring backup = app + L"a.dll.~qx0badf00d.0.old";
    const std::wstring staged = app + L"c.dll.~qx0badf00d.1.new";
    ASSERT_TRUE(WriteBytes(app + L"a.dll", "new a"));
    ASSERT_TRUE(WriteBytes(backup, "old a"));
    // The run's added file keeps its staged name as a second name until the commit.
    ASSERT_TRUE(WriteBytes(staged, "added c"));
    ASSERT_TRUE(CreateHardLinkW((app + L"c.dll").c_str(), staged.c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(app + L"b.dll.new", "the application's own"));
    const auto utf8 = [](const std::wstring& text) { return WideToUtf8(text); };
    ASSERT_TRUE(WriteBytes(m_binFolder + L"QXUpdate.journal",
                           "QXUpdateJournal 1\r\nR\t" + utf8(app + L"a.dll") + "\t" +
                               utf8(app + L"a.dll.~qx0badf00d.0.new") + "\t" + utf8(backup) + "\r\nA\t" +
                               utf8(app + L"c.dll") + "\t" + utf8(staged) + "\t\r\nend\r\n"));

    const std::wstring serviceLog = ServiceLogPath();
    const std::string restored = Cp1251(std::wstring(EngineMessages::kRestored) + app + L"a.dll");
    const std::string recovered = Cp1251(std::wstring(EngineMessages::kRecoveredUndone) + L"1");
    const size_t before = CountLines(serviceLog, recovered);
    Command(L"install start");
    CServiceHandle service = OpenOurService();
    ASSERT_TRUE(service.IsValid());
    // The channel exists only once the worker has recovered the folder.
    CRequestPoster poster;
    ASSERT_TRUE(OpenPoster(poster));
    EXPECT_EQ("old a", ReadBytes(app + L"a.dll").value_or("<missing>"));
    EXPECT_FALSE(PathExists(backup));
    EXPECT_FALSE(PathExists(app + L"c.dll"));
    EXPECT_FALSE(PathExists(staged));
    EXPECT_EQ("the application's own", ReadBytes(app + L"b.dll.new").value_or("<missing>"));
    EXPECT_FALSE(PathExists(m_binFolder + L"QXUpdate.journal"));
    EXPECT_EQ(before + 1, CountLines(serviceLog, recovered)) << serviceLog.c_str();
    EXPECT_LE(1u, CountLines(serviceLog, restored));
}

// While a run of another installation holds the machine's run lock, the
// service starts and serves, says that its journal waits, and recovers its own
// folder as soon as the lock is free.
TEST_F(ServiceControl, JournalWhileAnotherRunHoldsTheLock_RecoveredOnceItIsFree)
{
    const std::wstring app = m_folder / L"app\\";
    ASSERT_TRUE(CreateDirectoryW(app.c_str(), nullptr));
    const std::wstring backup = app + L"a.dll.~qx0badf00d.0.old";
    ASSERT_TRUE(WriteBytes(app + L"a.dll", "new a"));
    ASSERT_TRUE(WriteBytes(backup, "old a"));
    ASSERT_TRUE(WriteBytes(m_binFolder + L"QXUpdate.journal",
                           "QXUpdateJournal 1\r\nR\t" + WideToUtf8(app + L"a.dll") + "\t" +
                               WideToUtf8(app + L"a.dll.~qx0badf00d.0.new") + "\t" + WideToUtf8(backup) +
                               "\r\nend\r\n"));
    const std::wstring serviceLog = ServiceLogPath();
    const std::string waits =
        Cp1251(std::wstring(UpdateMessages::kRecoveryWaits) + m_binFolder + L"QXUpdate.journal");
    const std::string recovered =
        Cp1251(std::wstring(UpdateMessages::kRecoveryAfterWait) + m_binFolder + L"QXUpdate.journal");
    const size_t waitsBefore = CountLines(serviceLog, waits);
    const size_t recoveredBefore = CountLines(serviceLog, recovered);

    // The other installation's run, as this process holding the lock.
    CUpdateRunLock otherRun;
    ASSERT_TRUE(otherRun.TryAcquire());
    Command(L"install start");
    CServiceHandle service = OpenOurService();
    ASSERT_TRUE(service.IsValid());
    // Served once the start has waited a moment for the lock (bounded well
    // above that on a loaded machine).
    CRequestPoster poster;
    bool opened = false;
    for (int i = 0; i < 10 && !opened; ++i)
        opened = OpenPoster(poster);
    ASSERT_TRUE(opened) << "the channel is served while the recovery waits";
    for (int i = 0; i < 600 && CountLines(serviceLog, waits) == waitsBefore; ++i)
        Sleep(50);
    ASSERT_EQ(waitsBefore + 1, CountLines(serviceLog, waits)) << waits;
    EXPECT_EQ("new a", ReadBytes(app + L"a.dll").value_or("<missing>"));
    EXPECT_TRUE(PathExists(m_binFolder + L"QXUpdate.journal"));

    otherRun.Release();
    for (int i = 0; i < 600 && CountLines(serviceLog, recovered) == recoveredBefore; ++i)
        Sleep(50);
    EXPECT_EQ(recoveredBefore + 1, CountLines(serviceLog, recovered)) << recovered;
    EXPECT_EQ("old a", ReadBytes(app + L"a.dll").value_or("<missing>"));
    EXPECT_FALSE(PathExists(backup));
    EXPECT_FALSE(PathExists(m_binFolder + L"QXUpdate.journal"));
}
