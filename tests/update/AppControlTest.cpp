// Ending and starting applications and waiting for a process, in process,
// against real stand-in processes (QXStandIn.exe copies).
#include "update/QXUpdate.h"

#include "platform/Handles.h"
#include "platform/TextConversion.h"

#include "support/StandInRecord.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {


class AppControl : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_folder.Path().empty());
        ASSERT_TRUE(CopyFileW(m_standIn.c_str(), (m_folder / L"QuoteBenchApp.exe").c_str(), FALSE));
        ASSERT_TRUE(CopyFileW(m_standIn.c_str(), (m_folder / L"Tool.exe").c_str(), FALSE));
        SetEnvironmentVariableW(kStandInRecordVariable, m_record.c_str());
        SetWaitProcessId(0);
    }

    void TearDown() override
    {
        for (const StandInEvent& start : ReadStandInStarts(m_record)) {
            CHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, start.processId));
            if (process) {
                TerminateProcess(process.Get(), 1);
                WaitForSingleObject(process.Get(), 5000);
            }
        }
        SetEnvironmentVariableW(kStandInRecordVariable, nullptr);
        SetWaitProcessId(0);
    }

    // Starts the copy named QuoteBenchApp.exe and waits for its record.
    CHandle StartClient()
    {
        std::wstring command = L"\"" + (m_folder / L"QuoteBenchApp.exe") + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
            ADD_FAILURE() << GetLastError();
            return CHandle();
        }
        CHandle thread(info.hThread);
        WaitForStarts(ReadStandInStarts(m_record).size() + 1);
        return CHandle(info.hProcess);
    }

    std::vector<StandInEvent> WaitForStarts(size_t count)
    {
        std::vector<StandInEvent> starts;
        for (int i = 0; i < 200 && starts.size() < count; ++i) {
            starts = ReadStandInStarts(m_record);
            if (starts.size() < count)
                Sleep(50);
        }
        return starts;
    }

    CTestFolder m_folder;
    const std::wstring m_record = m_folder / L"record.txt";
    const std::wstring m_standIn = TestBinaryFolder() + L"QXStandIn.exe";
};

// Milliseconds that WaitForProcessId took for the awaited id.
ULONGLONG TimeWait(DWORD processId)
{
    SetWaitProcessId(processId);
    CQXUpdate update;
    LARGE_INTEGER frequency{}, start{}, stop{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    update.WaitForProcessId();
    QueryPerformanceCounter(&stop);
    return static_cast<ULONGLONG>((stop.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart);
}

} // namespace

TEST_F(AppControl, TerminateQuoteBench_TrueOnlyWhenSomethingWasEnded)
{
    CQXUpdate update;
    EXPECT_FALSE(update.TerminateQuoteBench());

    CHandle first = StartClient();
    CHandle second = StartClient();
    ASSERT_TRUE(first && second);
    EXPECT_TRUE(update.TerminateQuoteBench());
    for (const CHandle* process : {&first, &second}) {
        ASSERT_EQ(WaitForSingleObject(process->Get(), 5000), WAIT_OBJECT_0);
        DWORD exitCode = 1;
        GetExitCodeProcess(process->Get(), &exitCode);
        EXPECT_EQ(exitCode, 0u);
    }
    EXPECT_FALSE(update.TerminateQuoteBench());
}

TEST_F(AppControl, RunUpdatedApp_SameStartForEveryRunType)
{
    CQXUpdate update;
    update.targetFolder = WideToAnsi(m_folder.Path());
    update.appToRun = "Tool.exe";
    update.params = "-a \"b c\"";
    update.RunUpdatedApp(eRunAfterUpdate);
    update.RunUpdatedApp(eRunAfterFailedLoad);

    const std::vector<StandInEvent> starts = WaitForStarts(2);
    ASSERT_EQ(starts.size(), 2u);
    const std::wstring expected = L"\"" + (m_folder / L"Tool.exe") + L"\" -a \"b c\"";
    for (const StandInEvent& start : starts) {
        EXPECT_EQ(start.commandLine, expected);
        EXPECT_EQ(_wcsicmp((start.folder + L"\\").c_str(), m_folder.Path().c_str()), 0) << start.folder;
    }
}

TEST_F(AppControl, WaitForProcessId_ReturnsAtOnceForZeroAndForNoProcess)
{
    // Neither a zero id nor one that names no process (ids are multiples of
    // four: an odd one) is waited for.
    EXPECT_LT(TimeWait(0), 500u);
    EXPECT_LT(TimeWait(999999999), 500u);
}
