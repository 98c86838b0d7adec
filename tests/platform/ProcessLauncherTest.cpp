// CProcessLauncher against real processes: the stand-in program QXStandIn.exe
// records its own executable, working directory and command line, so each
// test checks what the started process actually received.
#include "platform/ProcessLauncher.h"
#include "support/StandInRecord.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <string>
#include <vector>

namespace {


std::wstring WithoutTrailingBackslash(std::wstring path)
{
    if (path.size() > 3 && path.back() == L'\\')
        path.pop_back();
    return path;
}

// The system's message for a code, straight from FormatMessageW (not through
// the helper the launcher uses).
std::wstring SystemMessage(DWORD code)
{
    wchar_t buffer[1024] = {};
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, 1024, nullptr);
    return std::wstring(buffer, length);
}

// True when the process still runs after waiting up to waitMs for its end.
bool IsRunning(DWORD processId, DWORD waitMs = 0)
{
    CHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    return process && WaitForSingleObject(process.Get(), waitMs) == WAIT_TIMEOUT;
}

class ProcessLauncherTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_folder.Path().empty());
        ASSERT_TRUE(PathExists(m_standIn)) << "QXStandIn.exe is built beside the tests";
        SetEnvironmentVariableW(kStandInRecordVariable, m_record.c_str());
    }

    void TearDown() override
    {
        for (const StandInEvent& start : ReadStandInStarts(m_record))
            m_started.push_back(start.processId);
        for (DWORD processId : m_started) {
            CHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
            if (!process)
                continue;
            TerminateProcess(process.Get(), 1);
            WaitForSingleObject(process.Get(), 5000);
        }
        SetEnvironmentVariableW(kStandInRecordVariable, nullptr);
    }

    // Remembers the started process for TearDown, then waits for its record line.
    StandInEvent WaitForStart(DWORD processId)
    {
        m_started.push_back(processId);
        for (int i = 0; i < 200; ++i) {
            for (const StandInEvent& start : ReadStandInStarts(m_record)) {
                if (start.processId == processId)
                    return start;
            }
            Sleep(50);
        }
        ADD_FAILURE() << "no record of process " << processId;
        return StandInEvent();
    }

    std::wstring Quoted(const std::wstring& path) const { return L"\"" + path + L"\""; }

    CTestFolder m_folder;
    const std::wstring m_record = m_folder / L"record.txt";
    const std::wstring m_standIn = TestBinaryFolder() + L"QXStandIn.exe";
    std::vector<DWORD> m_started;
};

std::wstring CallerFolder()
{
    wchar_t buffer[MAX_PATH * 2] = {};
    GetCurrentDirectoryW(MAX_PATH * 2, buffer);
    return buffer;
}

} // namespace

TEST_F(ProcessLauncherTest, Start_PassesCommandLineAndDirectory)
{
    const std::wstring workFolder = m_folder / L"work dir";
    ASSERT_TRUE(CreateDirectoryW(workFolder.c_str(), nullptr));
    const struct
    {
        const wchar_t* name;
        std::wstring arguments;
        std::wstring currentDirectory;
        std::wstring expectedFolder;
    } cases[] = {
        {L"quoted arguments, folder with a blank", L" a \"b c\" \"\"", workFolder, workFolder},
        {L"trailing blank kept", L" ", workFolder + L"\\", workFolder},
        {L"no directory: the caller's", L"", L"", CallerFolder()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CProcessLauncher launcher;
        launcher.commandLine = Quoted(m_standIn) + c.arguments;
        launcher.currentDirectory = c.currentDirectory;
        ASSERT_NE(launcher.Start(), 0) << GetLastError();

        const PROCESS_INFORMATION info = launcher.GetProcessInfo();
        const StandInEvent start = WaitForStart(info.dwProcessId);
        EXPECT_EQ(start.commandLine, Quoted(m_standIn) + c.arguments);
        EXPECT_EQ(_wcsicmp(start.module.c_str(), m_standIn.c_str()), 0) << start.module;
        EXPECT_EQ(_wcsicmp(WithoutTrailingBackslash(start.folder).c_str(),
                           WithoutTrailingBackslash(c.expectedFolder).c_str()),
                  0)
            << start.folder;

        EXPECT_EQ(launcher.GetLastErrorCode(), 0u);
        EXPECT_TRUE(launcher.GetErrorText().empty());
        EXPECT_EQ(GetProcessId(info.hProcess), info.dwProcessId);
        EXPECT_EQ(GetThreadId(info.hThread), info.dwThreadId);
    }
}

TEST_F(ProcessLauncherTest, Start_ApplicationNameWhenCommandLineEmpty)
{
    CProcessLauncher launcher;
    launcher.applicationName = m_standIn;
    ASSERT_NE(launcher.Start(), 0) << GetLastError();

    const StandInEvent start = WaitForStart(launcher.GetProcessId());
    EXPECT_EQ(_wcsicmp(start.module.c_str(), m_standIn.c_str()), 0) << start.module;
    // No arguments: the program alone.
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(start.commandLine.c_str(), &argc);
    ASSERT_NE(argv, nullptr);
    EXPECT_EQ(argc, 1) << start.commandLine;
    EXPECT_EQ(_wcsicmp(argv[0], m_standIn.c_str()), 0) << start.commandLine;
    LocalFree(argv);
}

TEST_F(ProcessLauncherTest, Start_FailureGivesCodeAndSystemText)
{
    const std::wstring missing = m_folder / L"missing.exe";
    const struct
    {
        const wchar_t* name;
        std::wstring commandLine;
        std::wstring applicationName;
        DWORD expectedError; // 0: any code
    } cases[] = {
        {L"nothing to start", L"", L"", 0},
        {L"missing program by command line", Quoted(missing) + L" /x", L"", ERROR_FILE_NOT_FOUND},
        {L"missing program by application name", L"", missing, ERROR_FILE_NOT_FOUND},
        // The application name is ignored when there is a command line.
        {L"command line wins over application name", Quoted(missing), m_standIn, ERROR_FILE_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CProcessLauncher launcher;
        launcher.commandLine = c.commandLine;
        launcher.applicationName = c.applicationName;
        EXPECT_EQ(launcher.Start(), 0);
        const DWORD threadError = GetLastError();

        const DWORD code = launcher.GetLastErrorCode();
        EXPECT_NE(code, 0u);
        if (c.expectedError != 0) {
            EXPECT_EQ(code, c.expectedError);
        }
        EXPECT_EQ(threadError, code);
        EXPECT_FALSE(launcher.GetErrorText().empty());
        EXPECT_EQ(launcher.GetErrorText(), SystemMessage(code));
        EXPECT_EQ(launcher.GetProcessHandle(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(launcher.GetThreadHandle(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(launcher.GetProcessId(), 0u);
        EXPECT_EQ(launcher.GetThreadId(), 0u);
    }
    EXPECT_TRUE(ReadStandInStarts(m_record).empty());
}

TEST_F(ProcessLauncherTest, Start_TwiceHoldsOnlySecondProcess)
{
    CProcessLauncher launcher;
    launcher.commandLine = Quoted(m_standIn);
    ASSERT_NE(launcher.Start(), 0);
    const PROCESS_INFORMATION first = launcher.GetProcessInfo();
    WaitForStart(first.dwProcessId);

    ASSERT_NE(launcher.Start(), 0);
    const PROCESS_INFORMATION second = launcher.GetProcessInfo();
    WaitForStart(second.dwProcessId);

    EXPECT_NE(second.dwProcessId, first.dwProcessId);
    EXPECT_EQ(GetProcessId(second.hProcess), second.dwProcessId);
    // The first handles are closed: their values now name nothing, or the
    // second process and thread when the system reused them.
    EXPECT_NE(GetProcessId(first.hProcess), first.dwProcessId);
    EXPECT_NE(GetThreadId(first.hThread), first.dwThreadId);
    EXPECT_TRUE(IsRunning(first.dwProcessId));
    EXPECT_TRUE(IsRunning(second.dwProcessId));
}

TEST_F(ProcessLauncherTest, Start_FailureAfterSuccessReleasesAndSuccessClearsError)
{
    CProcessLauncher launcher;
    launcher.commandLine = Quoted(m_standIn);
    ASSERT_NE(launcher.Start(), 0);
    const PROCESS_INFORMATION first = launcher.GetProcessInfo();
    WaitForStart(first.dwProcessId);

    launcher.commandLine = Quoted(m_folder / L"missing.exe");
    EXPECT_EQ(launcher.Start(), 0);
    EXPECT_EQ(launcher.GetProcessHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(launcher.GetThreadHandle(), INVALID_HANDLE_VALUE);
    EXPECT_NE(GetProcessId(first.hProcess), first.dwProcessId);
    EXPECT_EQ(launcher.GetLastErrorCode(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(IsRunning(first.dwProcessId));

    launcher.commandLine = Quoted(m_standIn);
    ASSERT_NE(launcher.Start(), 0);
    WaitForStart(launcher.GetProcessId());
    EXPECT_EQ(launcher.GetLastErrorCode(), 0u);
    EXPECT_TRUE(launcher.GetErrorText().empty());
}

TEST_F(ProcessLauncherTest, Destruction_LeavesProcessRunning)
{
    PROCESS_INFORMATION info{};
    {
        CProcessLauncher launcher;
        launcher.commandLine = Quoted(m_standIn);
        ASSERT_NE(launcher.Start(), 0);
        info = launcher.GetProcessInfo();
        WaitForStart(info.dwProcessId);
    }
    EXPECT_NE(GetProcessId(info.hProcess), info.dwProcessId) << "process handle still open";
    EXPECT_NE(GetThreadId(info.hThread), info.dwThreadId) << "thread handle still open";
    // Not ended with its owner: still running a second later.
    EXPECT_TRUE(IsRunning(info.dwProcessId, 1000));
}
