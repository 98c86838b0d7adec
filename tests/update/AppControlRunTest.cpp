// An update run, end to end under Wine: a copy of QXClientUpdSvc.exe in its
// own folder with the stand-in program beside it as "QuoteBenchApp.exe", an
// application folder with the stand-in as the manifest's program "Tool.exe",
// and a download folder. The stand-ins record how they were started; the
// test checks which processes the run ended, which it started, with what
// command line and working directory, and what the run logged.
#include "update/ManifestText.h"
#include "update/UpdateMessages.h"

#include "platform/Handles.h"
#include "platform/TextConversion.h"

#include "support/ShownOnFailure.h"
#include "support/StandInRecord.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <psapi.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using namespace ManifestText;

namespace {

const std::string kNewContent = "new content of data.txt";
const std::string kOldContent = "old";

std::wstring WithoutTrailingBackslash(std::wstring path)
{
    if (path.size() > 3 && path.back() == L'\\')
        path.pop_back();
    return path;
}

bool SamePath(const std::wstring& a, const std::wstring& b)
{
    return _wcsicmp(WithoutTrailingBackslash(a).c_str(), WithoutTrailingBackslash(b).c_str()) == 0;
}

// Milliseconds since midnight of a log line that starts with the default
// date format "YYYY-MM-DD HH:MM:SS,mmm"; -1 when it does not.
long long LogLineTime(const std::string& line)
{
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
    if (std::sscanf(line.c_str(), "%4d-%2d-%2d %2d:%2d:%2d,%3d", &year, &month, &day, &hour, &minute, &second,
                    &millisecond) != 7)
        return -1;
    return ((hour * 60LL + minute) * 60 + second) * 1000 + millisecond;
}

enum class Files
{
    kReplaces,      // data.txt is replaced
    kNone,          // no items: the replacement succeeds at once
    kLoadFails,     // the download is one byte shorter than declared
    kReplaceFails,  // a folder stands under an item's target name
};

struct Manifest
{
    bool restartQuoteBench = false;
    std::wstring appToRun = L"Tool.exe";
    std::wstring params;
    std::wstring targetFolder; // empty: the application folder
    Files files = Files::kReplaces;
};

class AppControlRun : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_folder.Path().empty());
        for (const std::wstring& folder : {m_updaterFolder, m_appFolder, m_downloadFolder})
            ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        ASSERT_TRUE(CopyFileW(ProductExecutable().c_str(), m_updater.c_str(), FALSE));
        ASSERT_TRUE(CopyFileW(m_standIn.c_str(), (m_updaterFolder + L"QuoteBenchApp.exe").c_str(), FALSE));
        ASSERT_TRUE(CopyFileW(m_standIn.c_str(), (m_appFolder + L"Tool.exe").c_str(), FALSE));
        ASSERT_TRUE(WriteBytes(m_appFolder + L"data.txt", kOldContent));
        ASSERT_TRUE(WriteBytes(m_downloadFolder + L"data.txt", kNewContent));
        SetEnvironmentVariableW(kStandInRecordVariable, m_record.c_str());
    }

    void TearDown() override
    {
        m_running.clear();
        EndProcessesFromTestFolder();
        SetEnvironmentVariableW(kStandInRecordVariable, nullptr);
    }

    void WriteUpdateManifest(const Manifest& manifest)
    {
        std::wstring items;
        int count = 0;
        switch (manifest.files) {
        case Files::kReplaces:
            items = ItemElement(0, L"data.txt", kNewContent.size(), L"1", L"1700000000");
            count = 1;
            break;
        case Files::kNone:
            break;
        case Files::kLoadFails:
            items = ItemElement(0, L"data.txt", kNewContent.size() + 1, L"1", L"1700000000");
            count = 1;
            break;
        case Files::kReplaceFails:
            ASSERT_TRUE(CreateDirectoryW((m_appFolder + L"blocked.dat").c_str(), nullptr));
            ASSERT_TRUE(WriteBytes(m_downloadFolder + L"blocked.dat", "x"));
            items = ItemElement(0, L"blocked.dat", 1, L"1", L"1700000000");
            count = 1;
            break;
        }
        const std::wstring target = manifest.targetFolder.empty() ? m_appFolder : manifest.targetFolder;
        ASSERT_TRUE(WriteManifest(m_manifest, InfoElement(m_downloadFolder, target,
                                                          {
                                                              {L"RestartQuoteBench", manifest.restartQuoteBench ? L"1" : L"0"},
                                                              {L"AppToRun", manifest.appToRun},
                                                              {L"Params", manifest.params},
                                                          }) +
                                                  FilesElement(items, count)));
    }

    // Runs the update to its end from the test folder; extra arguments follow
    // the manifest argument.
    void RunUpdate(const std::wstring& extraArguments = L"")
    {
        const ProcessResult result =
            RunProcess(QuoteArgument(m_updater) + L" update " + QuoteArgument(L"updfile:" + m_manifest) +
                           extraArguments,
                       {}, m_folder.Path(), 60000);
        ASSERT_TRUE(result.started) << result.startFailure;
        ASSERT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitCode, 0u);
    }

    // Starts a copy of the stand-in at relativePath below the test folder and
    // waits until it runs.
    CChildProcess& StartCopy(const std::wstring& relativePath, const std::wstring& arguments = L"")
    {
        const std::wstring path = m_folder / relativePath;
        const size_t slash = relativePath.find_last_of(L'\\');
        if (slash != std::wstring::npos)
            CreateDirectoryW((m_folder / relativePath.substr(0, slash)).c_str(), nullptr);
        if (!PathExists(path)) {
            EXPECT_TRUE(CopyFileW(m_standIn.c_str(), path.c_str(), FALSE));
        }
        m_running.emplace_back(new CChildProcess);
        CChildProcess& process = *m_running.back();
        EXPECT_TRUE(process.Start(QuoteArgument(path) + arguments)) << GetLastError();
        m_ownIds.push_back(process.Id());
        WaitForEvents(1, [&](const StandInEvent& e) { return e.kind == "start" && e.processId == process.Id(); });
        return process;
    }

    template <typename Match>
    std::vector<StandInEvent> Events(Match match) const
    {
        std::vector<StandInEvent> found;
        for (const StandInEvent& event : ReadStandInRecord(m_record)) {
            if (match(event))
                found.push_back(event);
        }
        return found;
    }

    // Waits (up to 15 s) until at least count events match.
    template <typename Match>
    std::vector<StandInEvent> WaitForEvents(size_t count, Match match) const
    {
        std::vector<StandInEvent> found;
        for (int i = 0; i < 300; ++i) {
            found = Events(match);
            if (found.size() >= count)
                break;
            Sleep(50);
        }
        return found;
    }

    // Starts that the run made (not those of the test itself).
    std::vector<StandInEvent> WaitForRunStarts(size_t count) const
    {
        return WaitForEvents(count, [this](const StandInEvent& e) { return e.kind == "start" && !IsOwn(e.processId); });
    }

    // Exactly one process started by the run: the program it recorded and its live image.
    void ExpectOnlyRunStart(const std::wstring& module, const std::wstring& imageTail) const
    {
        const std::vector<StandInEvent> starts = WaitForRunStarts(1);
        ASSERT_EQ(starts.size(), 1u);
        EXPECT_TRUE(SamePath(starts[0].module, module)) << starts[0].module;
        const std::vector<std::wstring> images = RunStartedImages();
        ASSERT_EQ(images.size(), 1u);
        EXPECT_TRUE(EndsWith(images[0], imageTail)) << images[0];
    }

    bool IsOwn(DWORD processId) const
    {
        for (DWORD id : m_ownIds) {
            if (id == processId)
                return true;
        }
        return false;
    }

    // Image names (device form) of the live processes whose program lies in
    // the test folder and that the test did not start itself. A process the
    // run started is listed from the moment its start returned.
    std::vector<std::wstring> RunStartedImages() const
    {
        std::vector<std::wstring> images;
        ForEachProcessFromTestFolder([&](DWORD id, HANDLE, const std::wstring& image) {
            if (!IsOwn(id))
                images.push_back(image);
        });
        return images;
    }

    static bool EndsWith(const std::wstring& text, const std::wstring& tail)
    {
        return text.size() >= tail.size() && _wcsicmp(text.c_str() + text.size() - tail.size(), tail.c_str()) == 0;
    }

    template <typename Visit>
    void ForEachProcessFromTestFolder(Visit visit) const
    {
        std::wstring leaf = WithoutTrailingBackslash(m_folder.Path());
        leaf = leaf.substr(leaf.find_last_of(L'\\'));
        DWORD ids[4096] = {};
        DWORD bytes = 0;
        if (!EnumProcesses(ids, sizeof(ids), &bytes))
            return;
        for (DWORD i = 0; i < bytes / sizeof(DWORD); ++i) {
            CHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, ids[i]));
            if (!process)
                continue;
            wchar_t image[MAX_PATH * 2] = {};
            if (GetProcessImageFileNameW(process.Get(), image, MAX_PATH * 2) == 0)
                continue;
            const std::wstring name(image);
            if (name.find(leaf + L"\\") != std::wstring::npos && WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT)
                visit(ids[i], process.Get(), name);
        }
    }

    void EndProcessesFromTestFolder()
    {
        ForEachProcessFromTestFolder([](DWORD, HANDLE process, const std::wstring&) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 5000);
        });
    }

    std::wstring LogPath() const
    {
        return m_updaterFolder + L"Log\\LumenorbitNew\\updater-" + TodayLocalDate() + L".log";
    }

    std::string ReadLog() const
    {
        std::string text;
        for (const std::string& line : UpdateRunLogLines(m_updaterFolder))
            text += line + "\r\n";
        return text;
    }

    // The log line that contains text (Windows-1251), or empty.
    std::string LogLineWith(const std::wstring& text) const
    {
        const std::string bytes = Cp1251(text);
        for (const std::string& line : SplitLines(ReadLog())) {
            if (line.find(bytes) != std::string::npos)
                return line;
        }
        return std::string();
    }

    std::string DataContent() const
    {
        const auto bytes = ReadBytes(m_appFolder + L"data.txt");
        return bytes ? *bytes : std::string("<missing>");
    }

    CTestFolder m_folder;
    const std::wstring m_updaterFolder = m_folder / L"updater\\";
    const std::wstring m_appFolder = m_folder / L"app\\";
    const std::wstring m_downloadFolder = m_folder / L"download\\";
    const std::wstring m_updater = m_updaterFolder + L"QXClientUpdSvc.exe";
    CRunLogShownOnFailure m_updaterLog{m_updaterFolder};
    const std::wstring m_manifest = m_folder / L"update.xml";
    const std::wstring m_record = m_folder / L"record.txt";
    const std::wstring m_standIn = TestBinaryFolder() + L"QXStandIn.exe";
    // The same as a windowed program, which the system reports as waiting for input.
    const std::wstring m_windowStandIn = TestBinaryFolder() + L"QXWindowStandIn.exe";
    std::vector<std::unique_ptr<CChildProcess>> m_running;
    std::vector<DWORD> m_ownIds;
};

const wchar_t* const kStartFailure = UpdateMessages::kStartFailed;

} // namespace

// ---- ending and starting the client application

TEST_F(AppControlRun, RestartQuoteBench_TwoInstancesEndedOneStartedFromUpdaterFolder)
{
    CChildProcess& first = StartCopy(L"app\\QuoteBenchApp.exe");
    CChildProcess& second = StartCopy(L"app\\QuoteBenchApp.exe");
    Manifest manifest;
    manifest.restartQuoteBench = true;
    WriteUpdateManifest(manifest);

    RunUpdate();

    DWORD exitCode = 1;
    EXPECT_TRUE(first.Ended(5000, &exitCode));
    EXPECT_EQ(exitCode, 0u);
    exitCode = 1;
    EXPECT_TRUE(second.Ended(5000, &exitCode));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(DataContent(), kNewContent);

    // The manifest's program and the client application, nothing else.
    // The run has ended: every process it started is listed already.
    const std::vector<StandInEvent> starts = WaitForRunStarts(2);
    ASSERT_EQ(RunStartedImages().size(), 2u);
    ASSERT_EQ(starts.size(), 2u);
    int clients = 0;
    for (const StandInEvent& start : starts) {
        if (!EndsWith(start.module, L"\\QuoteBenchApp.exe"))
            continue;
        ++clients;
        EXPECT_TRUE(SamePath(start.module, m_updaterFolder + L"QuoteBenchApp.exe")) << start.module;
        EXPECT_EQ(start.commandLine, L"\"QuoteBenchApp.exe\" ");
        EXPECT_TRUE(SamePath(start.folder, m_appFolder)) << start.folder;
    }
    EXPECT_EQ(clients, 1);
}

TEST_F(AppControlRun, RestartQuoteBench_NoneRunningNothingEndedNothingStarted)
{
    CChildProcess& bystander = StartCopy(L"app\\Bystander.exe");
    Manifest manifest;
    manifest.restartQuoteBench = true;
    WriteUpdateManifest(manifest);

    RunUpdate();

    EXPECT_EQ(DataContent(), kNewContent);
    ExpectOnlyRunStart(m_appFolder + L"Tool.exe", L"\\app\\Tool.exe");
    EXPECT_FALSE(bystander.Ended(500));
}

TEST_F(AppControlRun, RestartQuoteBench_ImageNameContainingTheNameCounts)
{
    const struct
    {
        const wchar_t* path; // below the test folder
        bool counts;
    } cases[] = {
        {L"app\\QuoteBenchApp.exe.bak\\client.exe", true}, // a folder so named
        {L"app\\QuoteBenchApp.exe.bak.exe", true},
        {L"app\\OldQuoteBenchApp.exe", true},
        {L"app\\quotebenchapp.exe", false}, // the match is case-sensitive
        {L"app\\QuoteBench.exe", false},
    };
    Manifest manifest;
    manifest.restartQuoteBench = true;
    manifest.appToRun = L"";
    manifest.files = Files::kNone;
    WriteUpdateManifest(manifest);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        CChildProcess& client = StartCopy(c.path);

        RunUpdate();

        DWORD exitCode = 1;
        EXPECT_EQ(client.Ended(c.counts ? 5000 : 500, &exitCode), c.counts);
        if (c.counts) {
            EXPECT_EQ(exitCode, 0u);
            const std::vector<StandInEvent> starts = WaitForRunStarts(1);
            ASSERT_EQ(starts.size(), 1u);
            EXPECT_TRUE(SamePath(starts[0].module, m_updaterFolder + L"QuoteBenchApp.exe")) << starts[0].module;
        } else {
            EXPECT_TRUE(RunStartedImages().empty());
        }
        m_running.clear();
        EndProcessesFromTestFolder();
        DeleteFileW(m_record.c_str());
    }
}

TEST_F(AppControlRun, FailedLoad_StartsOnlyTheProgramAndLeavesTheClient)
{
    CChildProcess& client = StartCopy(L"app\\QuoteBenchApp.exe");
    Manifest manifest;
    manifest.restartQuoteBench = true;
    manifest.files = Files::kLoadFails;
    WriteUpdateManifest(manifest);

    RunUpdate();

    EXPECT_EQ(DataContent(), kOldContent);
    EXPECT_FALSE(client.Ended(500));
    ExpectOnlyRunStart(m_appFolder + L"Tool.exe", L"\\app\\Tool.exe");
}

TEST_F(AppControlRun, FailedReplacement_ClientStartedAgainWithoutTheProgram)
{
    CChildProcess& client = StartCopy(L"app\\QuoteBenchApp.exe");
    Manifest manifest;
    manifest.restartQuoteBench = true;
    manifest.files = Files::kReplaceFails;
    WriteUpdateManifest(manifest);

    RunUpdate();

    EXPECT_TRUE(client.Ended(5000));
    ExpectOnlyRunStart(m_updaterFolder + L"QuoteBenchApp.exe", L"\\updater\\QuoteBenchApp.exe");
}

// ---- the old versions deleted once the started programs are up

namespace {

// The run's own folder (".~qx" and a token) in the application folder, if any is left.
bool RunFolderLeft(const std::wstring& appFolder)
{
    WIN32_FIND_DATAW data{};
    CFindHandle find(FindFirstFileW((appFolder + L".~qx*").c_str(), &data));
    return find.IsValid();
}

} // namespace

TEST_F(AppControlRun, RestartQuoteBench_OldVersionsDeletedOnceTheClientWaitsForInput)
{
    // A desktop client: the run's backup of data.txt is still there when the
    // client looks, just before it waits for input for the first time.
    ASSERT_TRUE(CopyFileW(m_windowStandIn.c_str(), (m_updaterFolder + L"QuoteBenchApp.exe").c_str(), FALSE));
    CChildProcess& old = StartCopy(L"app\\QuoteBenchApp.exe");
    Manifest manifest;
    manifest.restartQuoteBench = true;
    WriteUpdateManifest(manifest);

    RunUpdate();

    EXPECT_TRUE(old.Ended(5000));
    EXPECT_EQ(DataContent(), kNewContent);
    const std::vector<StandInEvent> ready =
        WaitForEvents(1, [this](const StandInEvent& e) { return e.kind == "ready" && !IsOwn(e.processId); });
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_GE(ready[0].runFiles, 1u) << "the old versions were deleted before the client was up";
    EXPECT_FALSE(RunFolderLeft(m_appFolder));
}

TEST_F(AppControlRun, ProgramThatNeverWaitsForInput_OldVersionsDeletedAfterTheBoundedWait)
{
    // A windowed program that never waits for input holds the clean-up up
    // for a few seconds at most: the run ends, its folder gone.
    ASSERT_TRUE(CopyFileW(m_windowStandIn.c_str(), (m_appFolder + L"Tool.exe").c_str(), FALSE));
    Manifest manifest;
    manifest.params = L"--no-input";
    WriteUpdateManifest(manifest);

    RunUpdate();

    EXPECT_EQ(DataContent(), kNewContent);
    const std::vector<StandInEvent> ready =
        WaitForEvents(1, [this](const StandInEvent& e) { return e.kind == "ready" && !IsOwn(e.processId); });
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_GE(ready[0].runFiles, 1u);
    EXPECT_FALSE(RunFolderLeft(m_appFolder));
    EXPECT_NE(LogLineWith(L"Итог обновления: обновление выполнено"), "");
}

// ---- the manifest's program

TEST_F(AppControlRun, RunUpdatedApp_CommandLineAndWorkingDirectory)
{
    const std::wstring appNoBackslash = WithoutTrailingBackslash(m_appFolder);
    const struct
    {
        const wchar_t* name;
        std::wstring targetFolder;
        std::wstring params;
        std::wstring commandLine;
        Files files = Files::kNone;
    } cases[] = {
        {L"quoted params appended unchanged", m_appFolder, L"/x \"a b\" --name=\"c d\" \"\"",
         L"\"" + m_appFolder + L"Tool.exe\" /x \"a b\" --name=\"c d\" \"\""},
        {L"empty params end in the blank", m_appFolder, L"", L"\"" + m_appFolder + L"Tool.exe\" "},
        // The command line gets the backslash; the working directory stays as given.
        {L"target folder without a backslash", appNoBackslash, L"/y", L"\"" + m_appFolder + L"Tool.exe\" /y"},
        // The start after a load that failed is the same as after an update.
        {L"after a failed load", m_appFolder, L"-a \"b c\"", L"\"" + m_appFolder + L"Tool.exe\" -a \"b c\"",
         Files::kLoadFails},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Manifest manifest;
        manifest.params = c.params;
        manifest.targetFolder = c.targetFolder;
        manifest.files = c.files;
        WriteUpdateManifest(manifest);

        RunUpdate();

        const std::vector<StandInEvent> starts = WaitForRunStarts(1);
        ASSERT_EQ(starts.size(), 1u);
        EXPECT_EQ(starts[0].commandLine, c.commandLine);
        EXPECT_TRUE(SamePath(starts[0].module, m_appFolder + L"Tool.exe")) << starts[0].module;
        EXPECT_TRUE(SamePath(starts[0].folder, m_appFolder)) << starts[0].folder;
        EXPECT_EQ(LogLineWith(kStartFailure), "");
        EndProcessesFromTestFolder();
        DeleteFileW(m_record.c_str());
    }
}

TEST_F(AppControlRun, StartFailure_LogsErrorWithSystemText)
{
    // The system's text ends with its own line break, so the line holds it without.
    std::wstring systemText = GetSystemErrorText(ERROR_FILE_NOT_FOUND);
    ASSERT_FALSE(systemText.empty());
    while (!systemText.empty() && (systemText.back() == L'\n' || systemText.back() == L'\r'))
        systemText.pop_back();

    const struct
    {
        const wchar_t* name;
        const wchar_t* appToRun;
        bool clientRunning; // and QuoteBenchApp.exe missing beside the updater
    } cases[] = {
        {L"the manifest's program does not exist", L"Missing.exe", false},
        {L"the client application is not beside the updater", L"Tool.exe", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW(LogPath().c_str());
        CChildProcess* client = nullptr;
        if (c.clientRunning) {
            ASSERT_TRUE(DeleteFileW((m_updaterFolder + L"QuoteBenchApp.exe").c_str()));
            client = &StartCopy(L"app\\QuoteBenchApp.exe");
        }
        Manifest manifest;
        manifest.restartQuoteBench = c.clientRunning;
        manifest.appToRun = c.appToRun;
        manifest.files = Files::kNone;
        WriteUpdateManifest(manifest);

        RunUpdate();

        const std::string line = LogLineWith(kStartFailure + systemText);
        EXPECT_NE(line, "") << ReadLog();
        EXPECT_NE(line.find(" ERROR "), std::string::npos) << line;
        size_t failures = 0;
        for (const std::string& logLine : SplitLines(ReadLog()))
            failures += logLine.find(Cp1251(kStartFailure)) != std::string::npos ? 1 : 0;
        EXPECT_EQ(failures, 1u);
        if (client != nullptr) {
            EXPECT_TRUE(client->Ended(5000));
        }
        m_running.clear();
        EndProcessesFromTestFolder();
    }
}

// ---- waiting for the requesting process ("pid:")

// Milliseconds from the log's first line to the first file replacement line:
// the load and the wait, without the process start-up.
long long WaitBeforeReplacement(const std::string& log)
{
    long long first = -1;
    for (const std::string& line : SplitLines(log)) {
        const long long time = LogLineTime(line);
        if (time < 0)
            continue;
        if (first < 0)
            first = time;
        if (line.find(Cp1251(L"Обновление файла ")) != std::string::npos) {
            long long elapsed = time - first;
            if (elapsed < 0)
                elapsed += 24LL * 3600 * 1000;
            return elapsed;
        }
    }
    return -1;
}

std::wstring TimeoutLine(DWORD processId)
{
    return UpdateMessages::kWaitTimedOut + std::to_wstring(processId) + UpdateMessages::kWaitTimedOutEnd;
}

TEST_F(AppControlRun, WaitForRequester_QuickCases)
{
    // No wait at all, seen in the log rather than timed: no line of a wait
    // ended or given up, and for an id of no process the line that says so.
    const struct
    {
        const wchar_t* name;
        std::wstring argument;
        const wchar_t* notFoundId; // the id the run says it did not find; nullptr: no line of the wait at all
    } cases[] = {
        {L"no pid argument", L"", nullptr},
        {L"pid 0: no wait", L" pid:0", nullptr},
        // Ids are multiples of four, so an odd one names no process: not waited for.
        {L"no such process: no wait", L" pid:999999999", L"999999999"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteBytes(m_appFolder + L"data.txt", kOldContent));
        DeleteFileW(LogPath().c_str());
        WriteUpdateManifest(Manifest());

        RunUpdate(c.argument);

        EXPECT_EQ(DataContent(), kNewContent);
        const std::string log = ReadLog();
        EXPECT_EQ(log.find(Cp1251(UpdateMessages::kWaitEnded)), std::string::npos) << log;
        EXPECT_EQ(log.find(Cp1251(L"Ожидание завершения")), std::string::npos) << log;
        if (c.notFoundId == nullptr) {
            EXPECT_EQ(log.find(Cp1251(UpdateMessages::kAwaited)), std::string::npos) << log;
        } else {
            EXPECT_NE(log.find(Cp1251(UpdateMessages::kAwaited + std::wstring(c.notFoundId) +
                                      UpdateMessages::kWaitNotFound)),
                      std::string::npos)
                << log;
        }
        EXPECT_EQ(WaitForRunStarts(1).size(), 1u);
        EndProcessesFromTestFolder();
        DeleteFileW(m_record.c_str());
    }
}

TEST_F(AppControlRun, WaitForRequester_EndsRightAfterTheProcess)
{
    CChildProcess& requester = StartCopy(L"Requester.exe", L" --exit-after 3000");
    WriteUpdateManifest(Manifest());

    RunUpdate(L" pid:" + std::to_wstring(requester.Id()));

    EXPECT_TRUE(requester.Ended(0));
    EXPECT_EQ(DataContent(), kNewContent);
    const std::string log = ReadLog();
    EXPECT_EQ(log.find(Cp1251(L"Ожидание завершения")), std::string::npos) << log;
    // At least one pass; that it lasted until the requester's end shows below.
    const long long waited = WaitBeforeReplacement(log);
    EXPECT_GE(waited, 1000) << log;
    EXPECT_LT(waited, 8000) << log;

    // The program started after the replacement, soon after the requester's
    // end (its handle is waited on; no one-second pass).
    const std::vector<StandInEvent> exits =
        Events([&](const StandInEvent& e) { return e.kind == "exit" && e.processId == requester.Id(); });
    const std::vector<StandInEvent> starts = WaitForRunStarts(1);
    ASSERT_EQ(exits.size(), 1u);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_GT(starts[0].time, exits[0].time);
    EXPECT_LT(starts[0].time - exits[0].time, 3000ULL * 10000) << "100 ns units";
}

TEST_F(AppControlRun, WaitForRequester_GivesUpAfterTenSecondsAndGoesOn)
{
    CChildProcess& requester = StartCopy(L"Requester.exe");
    WriteUpdateManifest(Manifest());

    RunUpdate(L" pid:" + std::to_wstring(requester.Id()));

    // Ten seconds on the process's handle, then the time-out line and the replacement.
    const std::string log = ReadLog();
    const long long waited = WaitBeforeReplacement(log);
    EXPECT_GE(waited, 9900) << log;
    EXPECT_LT(waited, 20000) << log;
    const std::string line = LogLineWith(TimeoutLine(requester.Id()));
    EXPECT_NE(line.find(" INFO "), std::string::npos) << log;
    EXPECT_EQ(DataContent(), kNewContent);
    EXPECT_EQ(WaitForRunStarts(1).size(), 1u);
    EXPECT_FALSE(requester.Ended(0)) << "the wait never ends the process";
}

// Under code page 1251 the manifest's Cyrillic folder, program and parameters
// reach the started program intact through the ANSI conversions.
TEST_F(AppControlRun, RunUpdatedApp_CyrillicFolderProgramAndParams_Cp1251)
{
    ASSERT_EQ(GetACP(), 1251u) << "run with LC_ALL=ru_RU.UTF-8";
    const std::wstring folder = m_folder / L"приложение\\";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(m_standIn.c_str(), (folder + L"Утилита.exe").c_str(), FALSE));
    Manifest manifest;
    manifest.targetFolder = folder;
    manifest.appToRun = L"Утилита.exe";
    manifest.params = L"/отчёт \"после обновления\"";
    manifest.files = Files::kNone;
    WriteUpdateManifest(manifest);

    RunUpdate();

    const std::vector<StandInEvent> starts = WaitForRunStarts(1);
    ASSERT_EQ(starts.size(), 1u) << ReadLog();
    EXPECT_EQ(starts[0].commandLine, L"\"" + folder + L"Утилита.exe\" /отчёт \"после обновления\"");
    EXPECT_TRUE(SamePath(starts[0].module, folder + L"Утилита.exe"));
    EXPECT_TRUE(SamePath(starts[0].folder, folder));
}
