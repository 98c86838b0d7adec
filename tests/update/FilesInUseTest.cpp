// Update runs of the real executable while files of the application are in
// use: the updater's own executable, a program that runs from the folder and
// has a DLL of it loaded, a file another program holds open for a moment or
// for good, and the journal of a killed run whose files are still in use.
#include "update/EngineMessages.h"
#include "update/ManifestText.h"

#include "support/UpdateRunFolder.h"
#include "update/UpdateMessages.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace EngineMessages;
using namespace ManifestText;

namespace {

const wchar_t kCommitted[] = L"обновление выполнено";

std::string Bytes(const std::wstring& path)
{
    return ReadBytes(path).value_or("<missing>");
}

// What a run of the update leaves of itself in the folder that holds its
// executable and the application: the run's folders, journal and leftovers record.
std::vector<std::wstring> RunTraces(const std::wstring& folder)
{
    std::vector<std::wstring> traces;
    for (const auto& entry : FolderContents(folder)) {
        if (entry.first.compare(0, 4, L".~qx") == 0 || entry.first.compare(0, 9, L"QXUpdate.") == 0)
            traces.push_back(entry.first);
    }
    return traces;
}

bool LogHas(const std::vector<std::string>& log, const std::wstring& text)
{
    const std::string wanted = Cp1251(text);
    return std::any_of(log.begin(), log.end(),
                       [&](const std::string& line) { return line.find(wanted) != std::string::npos; });
}

std::string Joined(const std::vector<std::string>& log)
{
    std::string text;
    for (const std::string& line : log)
        text += line + "\n";
    return text;
}

// A program of the application that runs from the application folder: a
// copy of the stand-in program, started there, waited for until it runs.
class CFolderProgram
{
public:
    // Starts folder\name (a copy of the stand-in) with arguments; true once it has started.
    bool Start(const std::wstring& folder, const std::wstring& name, const std::wstring& arguments)
    {
        m_record = folder + name + L".record";
        const std::wstring program = folder + name;
        if (!FileExistsHere(program) &&
            !CopyFileW((TestBinaryFolder() + L"QXStandIn.exe").c_str(), program.c_str(), FALSE))
            return false;
        if (!m_process.Start(QuoteArgument(program) + L" " + arguments, folder, {{L"QX_STANDIN_RECORD", m_record}}))
            return false;
        return WaitForRecord("start\t");
    }
    // True once the record holds text (the program's own account of itself).
    bool WaitForRecord(const std::string& text) const
    {
        for (int attempt = 0; attempt < 2000; ++attempt) {
            if (ReadBytes(m_record).value_or("").find(text) != std::string::npos)
                return true;
            if (!m_process.Running())
                return false;
            Sleep(10);
        }
        return false;
    }
    bool HasRecord(const std::string& text) const
    {
        return ReadBytes(m_record).value_or("").find(text) != std::string::npos;
    }
    DWORD Id() const { return m_process.Id(); }
    bool Running() const { return m_process.Running(); }
    void End() { m_process.Terminate(); }

private:
    static bool FileExistsHere(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

    CChildProcess m_process;
    std::wstring m_record;
};

std::wstring HolderText(const std::wstring& image, DWORD processId)
{
    return image + L" (ID " + std::to_wstring(processId) + L")";
}

} // namespace

// The updater lives in the application folder and is started from there: an
// update that carries its own new executable is installed while the old one
// still runs (it is moved away, as a running image can be), and the next run,
// from the new executable, deletes what is left of the old one.
TEST(FilesInUse, SelfUpdateFromTheApplicationFolder_CommittedNextRunLeavesNothing)
{
    CTestFolder folder;
    const std::wstring app = folder / L"app\\";
    const std::wstring upd = folder / L"upd\\";
    ASSERT_TRUE(CreateDirectoryW(app.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(upd.c_str(), nullptr));
    const std::wstring exe = app + L"QXClientUpdSvc.exe";
    CRunLogShownOnFailure runLog(app);
    ASSERT_TRUE(CopyFileW(ProductExecutable().c_str(), exe.c_str(), FALSE));
    // The new version: the same program with bytes after its image (it still runs).
    const std::string newExe = Bytes(ProductExecutable()) + "new version";
    ASSERT_TRUE(WriteBytes(upd + L"QXClientUpdSvc.exe", newExe));
    ASSERT_TRUE(WriteBytes(app + L"data.txt", "old data"));
    ASSERT_TRUE(WriteBytes(upd + L"data.txt", "new data"));
    const std::wstring manifest = folder / L"update.xml";
    ASSERT_TRUE(WriteManifest(manifest, InfoElement(upd, app) +
                                            FilesElement(ItemElement(0, L"QXClientUpdSvc.exe", newExe.size(), L"1") +
                                                             ItemElement(1, L"data.txt", 8, L"1"),
                                                         2)));
    const auto runFromTheFolder = [&](const std::wstring& manifestPath) {
        const ProcessResult result = RunProcess(QuoteArgument(exe) + L" update " +
                                                    QuoteArgument(L"updfile:" + manifestPath),
                                                {}, app, 60000);
        EXPECT_TRUE(result.started && !result.timedOut && result.exitCode == 0) << result.startFailure;
        return UpdateRunLogLines(app);
    };

    std::vector<std::string> log = runFromTheFolder(manifest);
    EXPECT_TRUE(LogHas(log, kCommitted)) << Joined(log);
    EXPECT_EQ(newExe, Bytes(exe));
    EXPECT_EQ("new data", Bytes(app + L"data.txt"));
    // The old image, still mapped by the run itself, waits in the leftovers
    // record; no journal stays.
    EXPECT_TRUE(LogHas(log, UpdateMessages::kLeftoverKept)) << Joined(log);
    EXPECT_FALSE(PathExists(app + L"QXUpdate.journal"));

    // The next run, from the new executable, with an update of the data file.
    ASSERT_TRUE(WriteBytes(upd + L"data.txt", "newer data"));
    const std::wstring second = folder / L"second.xml";
    ASSERT_TRUE(WriteManifest(second, InfoElement(upd, app) + FilesElement(ItemElement(0, L"data.txt", 10, L"1"), 1)));
    log = runFromTheFolder(second);
    EXPECT_TRUE(LogHas(log, UpdateMessages::kLeftoverDeleted)) << Joined(log);
    EXPECT_EQ("newer data", Bytes(app + L"data.txt"));
    EXPECT_EQ(std::vector<std::wstring>(), RunTraces(app)) << Joined(log);
}

// A program of the product (not the client application, so the run does not
// end it) runs from the folder with a DLL of it loaded: both are replaced
// while it runs, the log names it, and once it has ended the next run deletes
// the old versions.
TEST(FilesInUse, ProgramRunningFromTheFolder_ItsExeAndDllReplacedWhileItRuns)
{
    CUpdateRunFolder run;
    const std::wstring app = run.TargetFolder();
    ASSERT_TRUE(CopyFileW((TestBinaryFolder() + L"QXTestPlugin.dll").c_str(), (app + L"Plugin.dll").c_str(), FALSE));
    CFolderProgram tray;
    ASSERT_TRUE(tray.Start(app, L"Tray.exe", L"--load " + QuoteArgument(app + L"Plugin.dll")));
    const std::string newTray = Bytes(app + L"Tray.exe") + "new tray";
    const std::string newPlugin = Bytes(app + L"Plugin.dll") + "new plugin";
    ASSERT_TRUE(WriteBytes(run.UpdateFolder() + L"Tray.exe", newTray));
    ASSERT_TRUE(WriteBytes(run.UpdateFolder() + L"Plugin.dll", newPlugin));
    ASSERT_TRUE(WriteManifest(run.ManifestPath(),
                              InfoElement(run.UpdateFolder(), app) +
                                  FilesElement(ItemElement(0, L"Tray.exe", newTray.size(), L"1") +
                                                   ItemElement(1, L"Plugin.dll", newPlugin.size(), L"1"),
                                               2)));

    ASSERT_TRUE(run.Run(run.ManifestPath()));
    EXPECT_TRUE(LogHas(run.Log(), kCommitted)) << run.LogText();
    EXPECT_EQ(newTray, Bytes(app + L"Tray.exe"));
    EXPECT_EQ(newPlugin, Bytes(app + L"Plugin.dll"));
    EXPECT_TRUE(tray.Running());
    const std::wstring holder = HolderText(L"Tray.exe", tray.Id());
    for (const wchar_t* name : {L"Tray.exe", L"Plugin.dll"}) {
        SCOPED_TRACE(Cp1251(name));
        EXPECT_GE(run.FindLine("WARNING", UpdateMessages::kReplacedInUse + app + name + L"; " +
                                              UpdateMessages::kHeldBy + holder),
                  0)
            << run.LogText();
    }

    tray.End();
    ASSERT_TRUE(WriteManifest(run.ManifestPath(), InfoElement(run.UpdateFolder(), app) + FilesElement(L"", 0)));
    ASSERT_TRUE(run.Run(run.ManifestPath()));
    EXPECT_EQ(std::vector<std::wstring>(), RunTraces(app)) << run.LogText();
    EXPECT_EQ(std::vector<std::wstring>(), RunTraces(run.Root(L"bin\\"))) << run.LogText();
    EXPECT_EQ(newTray, Bytes(app + L"Tray.exe"));
}

// Another program (a scanner, say) opens a file without sharing just when
// the swap reaches it and lets it go a moment later: the run waits it out
// and installs the update. The holder lets go once the run says it retries.
TEST(FilesInUse, FileHeldForAMoment_InstalledAfterARetry)
{
    CUpdateRunFolder run;
    const std::wstring app = run.TargetFolder();
    ASSERT_TRUE(WriteBytes(app + L"a.dll", "old a"));
    ASSERT_TRUE(WriteBytes(app + L"b.dat", "old b"));
    ASSERT_TRUE(WriteBytes(run.UpdateFolder() + L"a.dll", "new a"));
    ASSERT_TRUE(WriteBytes(run.UpdateFolder() + L"b.dat", "new b"));
    ASSERT_TRUE(WriteManifest(run.ManifestPath(), InfoElement(run.UpdateFolder(), app) +
                                                      FilesElement(ItemElement(0, L"a.dll", 5, L"1") +
                                                                       ItemElement(1, L"b.dat", 5, L"1"),
                                                                   2)));
    const std::wstring log = run.Root(L"bin\\Log\\LumenorbitNew\\updater-" + TodayLocalDate() + L".log");
    CFolderProgram scanner;
    ASSERT_TRUE(scanner.Start(run.Root(), L"Scanner.exe",
                              L"--hold " + QuoteArgument(app + L"b.dat") + L" --release-when " + QuoteArgument(log) +
                                  L" --release-text " + QuoteArgument(UpdateMessages::kRetrying)));

    ASSERT_TRUE(run.Run(run.ManifestPath()));
    EXPECT_TRUE(scanner.HasRecord("released\t"));
    EXPECT_TRUE(LogHas(run.Log(), kCommitted)) << run.LogText();
    EXPECT_GE(run.FindLine("WARNING", UpdateMessages::kRetrying + app + L"b.dat; " + UpdateMessages::kHeldBy +
                                          HolderText(L"Scanner.exe", scanner.Id())),
              0)
        << run.LogText();
    EXPECT_EQ("new a", Bytes(app + L"a.dll"));
    EXPECT_EQ("new b", Bytes(app + L"b.dat"));
    EXPECT_EQ(std::vector<std::wstring>(), RunTraces(app));
}

// The state a self-update killed between its renames leaves, with the old
// version still in use (the service still runs from it): the backup is a
// second name of the file a program runs from, which cannot be deleted while
// it runs. The recovery does not block the next update: the extra name waits
// in the leftovers record, and once the program has ended a later run
// deletes it.
TEST(FilesInUse, JournalWhoseRecoveryMeetsAFileInUse_LaterUpdatesGoOn)
{
    CUpdateRunFolder run;
    const std::wstring app = run.TargetFolder();
    const std::wstring bin = run.Root(L"bin\\");
    CFolderProgram service;
    ASSERT_TRUE(service.Start(app, L"Service.exe", L""));
    const std::string oldService = Bytes(app + L"Service.exe");
    const std::wstring runFolder = app + L".~qx0badf00d\\";
    ASSERT_TRUE(CreateDirectoryW(runFolder.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((runFolder + L"0").c_str(), nullptr));
    const std::wstring backup = runFolder + L"0\\0.old";
    const std::wstring staged = runFolder + L"0\\0.new";
    ASSERT_TRUE(CreateHardLinkW(backup.c_str(), (app + L"Service.exe").c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(staged, "new servi"));
    ASSERT_TRUE(WriteBytes(bin + L"QXUpdate.journal",
                           "QXUpdateJournal 1\r\nF\t" + Utf8(runFolder) + "\r\nF\t" + Utf8(runFolder + L"0\\") +
                               "\r\nR\t" + Utf8(app + L"Service.exe") + "\t" + Utf8(staged) + "\t" + Utf8(backup) +
                               "\r\nend\r\n"));
    ASSERT_TRUE(WriteBytes(app + L"data.txt", "old data"));
    ASSERT_TRUE(WriteBytes(run.UpdateFolder() + L"data.txt", "new data"));
    ASSERT_TRUE(WriteManifest(run.ManifestPath(), InfoElement(run.UpdateFolder(), app) +
                                                      FilesElement(ItemElement(0, L"data.txt", 8, L"1"), 1)));

    // While the program still runs from the old version.
    ASSERT_TRUE(run.Run(run.ManifestPath()));
    EXPECT_GE(run.FindLine("WARNING", std::wstring(kRecoveredUndone) + L"0"), 0) << run.LogText();
    EXPECT_GE(run.FindLine("WARNING", UpdateMessages::kLeftoverKept + backup + L"; " + UpdateMessages::kHeldBy +
                                          HolderText(L"Service.exe", service.Id())),
              0)
        << run.LogText();
    EXPECT_TRUE(LogHas(run.Log(), kCommitted)) << run.LogText();
    EXPECT_EQ("new data", Bytes(app + L"data.txt"));
    EXPECT_EQ(oldService, Bytes(app + L"Service.exe"));
    EXPECT_FALSE(PathExists(bin + L"QXUpdate.journal"));

    // Once it has ended, the next run leaves nothing behind.
    service.End();
    ASSERT_TRUE(WriteManifest(run.ManifestPath(), InfoElement(run.UpdateFolder(), app) + FilesElement(L"", 0)));
    ASSERT_TRUE(run.Run(run.ManifestPath()));
    EXPECT_TRUE(LogHas(run.Log(), UpdateMessages::kLeftoverDeleted + backup)) << run.LogText();
    EXPECT_EQ(std::vector<std::wstring>(), RunTraces(app)) << run.LogText();
    EXPECT_EQ(std::vector<std::wstring>(), RunTraces(bin)) << run.LogText();
    EXPECT_EQ(oldService, Bytes(app + L"Service.exe"));
}
