// Two update runs over the same application folder: the second waits for the
// first to end before it touches a file, and a first run that was killed
// leaves the way free at once.
#include "update/EngineMessages.h"
#include "update/ManifestText.h"

#include "platform/Handles.h"
#include "support/ShownOnFailure.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace ManifestText;

namespace {

const std::string kWaiting = Cp1251(L"Ожидание завершения другого обновления.");
const std::string kUpdating = Cp1251(EngineMessages::kUpdating);
const std::string kRunEnd = Cp1251(EngineMessages::kRunEnd);

// The two versions differ in size, so that a look at a file's size, which
// opens no handle on it, tells which one it holds.
const std::string kVersionA = "AAAA";
const std::string kVersionB = "BBBBBB";

// runA\ and runB\ each hold a copy of the executable (so each run has a log
// of its own) and the downloads of one version; app\ is the folder both update.
class UpdateRunConcurrency : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CreateDirectoryW(App().c_str(), nullptr));
        for (const wchar_t* run : {L"runA", L"runB"}) {
            ASSERT_TRUE(CreateDirectoryW((m_folder / run).c_str(), nullptr));
            ASSERT_TRUE(CreateDirectoryW((m_folder / run + L"\\upd").c_str(), nullptr));
            ASSERT_TRUE(CopyFileW(ProductExecutable().c_str(), (m_folder / run + L"\\QXClientUpdSvc.exe").c_str(),
                                  FALSE));
            const std::string version = run == std::wstring(L"runA") ? kVersionA : kVersionB;
            std::wstring items;
            int index = 0;
            for (const wchar_t* name : {L"x.dll", L"y.dll"}) {
                ASSERT_TRUE(WriteBytes(m_folder / run + L"\\upd\\" + name, version));
                items += ItemElement(index++, name, version.size(), L"1");
            }
            ASSERT_TRUE(WriteManifest(m_folder / run + L"\\update.xml",
                                      InfoElement(m_folder / run + L"\\upd\\", App()) + FilesElement(items, index)));
        }
        for (const wchar_t* name : {L"x.dll", L"y.dll"})
            ASSERT_TRUE(WriteBytes(App() + name, "old"));
        ASSERT_TRUE(CopyFileW((TestBinaryFolder() + L"QXStandIn.exe").c_str(), (m_folder / L"QXStandIn.exe").c_str(),
                              FALSE));
    }

    std::wstring App() const { return m_folder / L"app\\"; }

    bool StartRun(CChildProcess& run, const wchar_t* name, DWORD waitFor)
    {
        const std::wstring folder = m_folder / name;
        std::wstring command = QuoteArgument(folder + L"\\QXClientUpdSvc.exe") + L" update " +
                               QuoteArgument(L"updfile:" + folder + L"\\update.xml");
        if (waitFor != 0)
            command += L" pid:" + std::to_wstring(waitFor);
        return run.Start(command, App());
    }

    // A process for the first run to wait on; it lives until it is ended.
    bool StartRequester(CChildProcess& requester)
    {
        return requester.Start(QuoteArgument(m_folder / L"QXStandIn.exe"), m_folder.Path());
    }

    // Starts the first run (runA), waiting on requester, and once it has begun
    // the second (runB); true when the second run's log says it waits.
    bool SecondRunWaitsForFirst(CChildProcess& requester, CChildProcess& first, CChildProcess& second)
    {
        if (!StartRequester(requester)) {
            ADD_FAILURE() << "the requester did not start: " << requester.StartFailure();
            return false;
        }
        if (!StartRun(first, L"runA", requester.Id())) {
            ADD_FAILURE() << "the first run did not start: " << first.StartFailure();
            return false;
        }
        EXPECT_TRUE(RunHasBegun()) << "the first run did not begin";
        if (!StartRun(second, L"runB", 0)) {
            ADD_FAILURE() << "the second run did not start: " << second.StartFailure();
            return false;
        }
        const bool waits = RunWaits(L"runB");
        EXPECT_TRUE(waits) << "the second run did not wait";
        return waits && !testing::Test::HasFailure();
    }

    std::vector<std::string> LogOf(const wchar_t* run) const { return UpdateRunLogLines(m_folder / run + L"\\"); }

    static size_t Count(const std::vector<std::string>& lines, const std::string& message)
    {
        size_t count = 0;
        for (const std::string& line : lines)
            count += line.find(message) != std::string::npos ? 1 : 0;
        return count;
    }

    std::string Bytes(const wchar_t* name) const { return ReadBytes(App() + name).value_or("<missing>"); }

    // True when the file holds the second run's version, found without
    // opening it: a handle open on it would make the run's rename over it
    // fail and send the run down its path for files that programs use.
    bool HoldsSecondVersion(const wchar_t* name) const
    {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        return GetFileAttributesExW((App() + name).c_str(), GetFileExInfoStandard, &data) &&
               data.nFileSizeHigh == 0 && data.nFileSizeLow == kVersionB.size();
    }

    // Waits (up to a minute) until a run holds the lock and has begun its
    // changes: its own folder appears in the application folder.
    bool RunHasBegun() const
    {
        for (int i = 0; i < 1200; ++i) {
            WIN32_FIND_DATAW data{};
            if (CFindHandle(FindFirstFileW((App() + L".~qx*").c_str(), &data)).IsValid())
                return true;
            Sleep(50);
        }
        return false;
    }

    // Waits (up to a minute) until the run's log holds a line with message.
    bool LogSays(const wchar_t* run, const std::string& message) const
    {
        for (int i = 0; i < 1200; ++i) {
            if (Count(LogOf(run), message) != 0)
                return true;
            Sleep(50);
        }
        return false;
    }

    // Waits until the run's log says it waits for another run.
    bool RunWaits(const wchar_t* run) const { return LogSays(run, kWaiting); }

    CTestFolder m_folder;
    CRunLogShownOnFailure m_logA{m_folder / L"runA\\"};
    CRunLogShownOnFailure m_logB{m_folder / L"runB\\"};
};

} // namespace

TEST_F(UpdateRunConcurrency, SecondRun_WaitsUntilTheFirstHasEndedThenInstallsItsVersions)
{
    // The first run waits on the requester until the test ends it, once the
    // second run says that it waits for the first.
    CChildProcess requester, first, second;
    ASSERT_TRUE(SecondRunWaitsForFirst(requester, first, second));
    requester.Terminate();

    // Until the first run has ended, no file may hold the second run's
    // version. The first run writes its closing line while it still holds
    // the lock (its process ends a moment later), so a file seen with the
    // second version before that line is in the first run's log was changed
    // while the first run held the lock: the files are looked at first, the
    // log after.
    for (int samples = 0;; ++samples) {
        bool secondVersion = false;
        for (const wchar_t* name : {L"x.dll", L"y.dll"})
            secondVersion = HoldsSecondVersion(name) || secondVersion;
        if (Count(LogOf(L"runA"), kRunEnd) != 0)
            break;
        EXPECT_FALSE(secondVersion) << "the second run replaced a file while the first still held the lock";
        ASSERT_LT(samples, 1200) << "the first run did not end";
        Sleep(50);
    }
    ASSERT_TRUE(first.Ended(60000));
    ASSERT_TRUE(second.Ended(60000));

    EXPECT_EQ(kVersionB, Bytes(L"x.dll"));
    EXPECT_EQ(kVersionB, Bytes(L"y.dll"));
    WIN32_FIND_DATAW data{};
    EXPECT_FALSE(CFindHandle(FindFirstFileW((App() + L".~qx*").c_str(), &data)).IsValid()) << "a run's folder stays";
    const std::vector<std::string> firstLog = LogOf(L"runA");
    const std::vector<std::string> secondLog = LogOf(L"runB");
    EXPECT_EQ(0u, Count(firstLog, kWaiting));
    EXPECT_EQ(2u, Count(firstLog, kUpdating));
    EXPECT_EQ(1u, Count(secondLog, kWaiting));
    EXPECT_EQ(2u, Count(secondLog, kUpdating));
}

TEST_F(UpdateRunConcurrency, FirstRunKilledWhileSecondWaits_SecondGoesOnAtOnce)
{
    // The requester lives until the end: the first run would wait on it.
    CChildProcess requester, first, second;
    ASSERT_TRUE(SecondRunWaitsForFirst(requester, first, second));
    ASSERT_TRUE(first.Running());
    first.Terminate();

    // Well before the first run's own wait for its requester could have ended.
    ASSERT_TRUE(second.Ended(30000));
    EXPECT_TRUE(requester.Running());
    EXPECT_EQ(kVersionB, Bytes(L"x.dll"));
    EXPECT_EQ(kVersionB, Bytes(L"y.dll"));
    EXPECT_EQ(0u, Count(LogOf(L"runA"), kUpdating));
    const std::vector<std::string> secondLog = LogOf(L"runB");
    EXPECT_EQ(1u, Count(secondLog, kWaiting));
    EXPECT_EQ(2u, Count(secondLog, kUpdating));
}

// MD5 of "checked".
const wchar_t kCheckedMd5[] = L"3793ea52a7be2d7deafd858fda50775c";

// What the load checked is what gets written: a download changed on disk after
// the load, while the run still waits for its requester, is not installed.
TEST_F(UpdateRunConcurrency, DownloadChangedAfterTheLoad_CheckedContentInstalled)
{
    const std::wstring folder = m_folder / L"runA";
    const std::wstring download = folder + L"\\upd\\x.dll";
    ASSERT_TRUE(WriteBytes(download, "checked"));
    ASSERT_TRUE(WriteBytes(App() + L"x.dll", "old"));
    ASSERT_TRUE(WriteManifest(folder + L"\\update.xml",
                              InfoElement(folder + L"\\upd\\", App()) +
                                  FilesElement(ItemElement(0, L"x.dll", 7, L"1", L"0", L"", kCheckedMd5), 1)));

    // The run waits on the requester until the test ends it.
    CChildProcess requester;
    ASSERT_TRUE(StartRequester(requester)) << requester.StartFailure();
    CChildProcess run;
    ASSERT_TRUE(StartRun(run, L"runA", requester.Id())) << run.StartFailure();
    // Once the run says its files are staged, the download is let go of and
    // nothing is replaced yet.
    ASSERT_TRUE(LogSays(L"runA", Cp1251(EngineMessages::kStaged))) << "the run did not stage";
    ASSERT_TRUE(WriteBytes(download, "changed")) << "the download is still held";
    ASSERT_TRUE(run.Running());
    ASSERT_EQ("old", Bytes(L"x.dll"));
    requester.Terminate();
    ASSERT_TRUE(run.Ended(60000));

    EXPECT_EQ("checked", Bytes(L"x.dll"));
    WIN32_FIND_DATAW data{};
    EXPECT_FALSE(CFindHandle(FindFirstFileW((App() + L".~qx*").c_str(), &data)).IsValid()) << "the run's folder stays";
}
