// The real executable under Wine: where each mode logs, what it logs, and
// that it prints nothing and exits with 0.
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

const std::string kFirstLine = "\xCD\xE0\xF7\xE0\xEB\xEE \xEB\xEE\xE3\xE8\xF0\xEE\xE2\xE0\xED\xE8\xFF";
const std::regex kInfoPrefix(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} INFO \[default\] )");
const std::regex kErrorPrefix(R"(^\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d\.\d{3} ERROR \[default\] )");
const std::string kDispatcherError = "Lumenorbit update service: Main: StartServiceCtrlDispatcher returned error = 1063";

class RunModes : public testing::Test
{
protected:
    // A copy of the executable in the test folder, so an update-run log lands there.
    std::wstring Executable()
    {
        const std::wstring copy = m_folder / L"QXClientUpdSvc.exe";
        if (!PathExists(copy))
            CopyFileW(ProductExecutable().c_str(), copy.c_str(), TRUE);
        return copy;
    }

    // Runs the executable and checks it printed nothing and exited with 0.
    void Run(const std::wstring& arguments, EnvironmentChanges environment = {})
    {
        if (environment.find(L"TEMP") == environment.end())
            environment[L"TEMP"] = m_folder.Path();
        const std::wstring output = m_folder / L"console.txt";
        const ProcessResult result =
            RunProcess(QuoteArgument(Executable()) + L" " + arguments, environment, m_folder.Path(), 60000, output);
        ASSERT_TRUE(result.started) << result.startFailure;
        ASSERT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_EQ(ReadBytes(output).value_or("missing"), "");
    }

    std::vector<std::string> LogLines(const std::wstring& path)
    {
        const auto bytes = ReadBytes(path);
        EXPECT_TRUE(bytes.has_value()) << "no log file";
        return bytes ? SplitLines(*bytes) : std::vector<std::string>();
    }

    std::wstring ServiceLog(const std::wstring& folder) const
    {
        return folder + L"Lumenorbit\\log-" + TodayLocalDate() + L".log";
    }

    std::wstring UpdateLog() const
    {
        return m_folder / (L"Log\\LumenorbitNew\\updater-" + TodayLocalDate() + L".log");
    }

    static void ExpectFirstLine(const std::string& line)
    {
        EXPECT_TRUE(std::regex_search(line, kInfoPrefix)) << line;
        EXPECT_EQ(line.substr(line.size() - kFirstLine.size()), kFirstLine);
    }

    static void ExpectDispatcherError(const std::string& line)
    {
        EXPECT_TRUE(std::regex_search(line, kErrorPrefix)) << line;
        EXPECT_EQ(line.substr(line.size() - kDispatcherError.size()), kDispatcherError);
    }

    CTestFolder m_folder;
};

} // namespace

TEST_F(RunModes, NoArguments_LogsDispatcherErrorUnderTemp)
{
    Run(L"");
    const auto lines = LogLines(ServiceLog(m_folder.Path()));
    ASSERT_EQ(lines.size(), 2u);
    ExpectFirstLine(lines[0]);
    ExpectDispatcherError(lines[1]);
    // Lines end in CR LF.
    EXPECT_NE(ReadBytes(ServiceLog(m_folder.Path()))->find("\r\n"), std::string::npos);
}

TEST_F(RunModes, NoAction_LogsOnlyTheFirstLine)
{
    const wchar_t* spellings[] = {L"noaction", L"-NOACTION", L"/NoAction"};
    for (const wchar_t* spelling : spellings) {
        Run(spelling);
        const std::wstring log = ServiceLog(m_folder.Path());
        const auto lines = LogLines(log);
        ASSERT_EQ(lines.size(), 1u) << spelling;
        ExpectFirstLine(lines[0]);
        DeleteFileW(log.c_str());
    }
}

TEST_F(RunModes, WorkFolder_TempThenTmpThenTemporaryPath)
{
    CTestFolder tmp;
    CTestFolder profile;
    const struct
    {
        EnvironmentChanges environment;
        std::wstring folder;
    } cases[] = {
        {{{L"TEMP", m_folder.Path()}, {L"TMP", tmp.Path()}}, m_folder.Path()},
        // TEMP without its trailing backslash: one is added.
        {{{L"TEMP", m_folder.Path().substr(0, m_folder.Path().size() - 1)}}, m_folder.Path()},
        {{{L"TEMP", std::nullopt}, {L"TMP", tmp.Path()}}, tmp.Path()},
        // Neither: the system's temporary path, which falls back to the profile folder.
        {{{L"TEMP", std::nullopt}, {L"TMP", std::nullopt}, {L"USERPROFILE", profile.Path()}}, profile.Path()},
    };
    for (const auto& c : cases) {
        Run(L"noaction", c.environment);
        const std::wstring log = ServiceLog(c.folder);
        const auto lines = LogLines(log);
        ASSERT_EQ(lines.size(), 1u) << log.c_str();
        ExpectFirstLine(lines[0]);
        DeleteFileW(log.c_str());
    }
}

TEST_F(RunModes, UpdateKeywordAlone_LogsBesideTheExecutable)
{
    // No "updfile:": no update run; the process tries to become the service,
    // but its log is already the update-run log.
    Run(L"update");
    const auto lines = LogLines(UpdateLog());
    ASSERT_EQ(lines.size(), 2u);
    ExpectFirstLine(lines[0]);
    ExpectDispatcherError(lines[1]);
    EXPECT_FALSE(PathExists(ServiceLog(m_folder.Path())));
}

TEST_F(RunModes, UnrecognisedArguments_BecomeTheService)
{
    // Two dashes, an "updfile:" without the update keyword, junk: all ignored,
    // so the process tries to become the service.
    Run(L"--noaction updfile:C:\\x.xml pid:junk " + QuoteArgument(L"") + L" " + std::wstring(30000, L'a'));
    const auto lines = LogLines(ServiceLog(m_folder.Path()));
    ASSERT_EQ(lines.size(), 2u);
    ExpectDispatcherError(lines[1]);
}

TEST_F(RunModes, BadInput_NoCrash)
{
    const std::wstring cases[] = {
        L"noaction " + std::wstring(32000, L'x'),
        L"noaction " + QuoteArgument(L"\u0416\u4E2D\u00E9 \U0001F600"),
        L"noaction pid:99999999999 pid:-1 pid:",
        L"noaction " + QuoteArgument(L"") + L" - /",
        L"update updfile:",
    };
    for (const std::wstring& arguments : cases)
        Run(arguments);
    // "update updfile:" sets an empty manifest path: no update run, so the service mode's line.
    const auto lines = LogLines(UpdateLog());
    ASSERT_EQ(lines.size(), 2u);
    ExpectDispatcherError(lines[1]);
}
