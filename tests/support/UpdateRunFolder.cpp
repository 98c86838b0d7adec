#include "support/UpdateRunFolder.h"

#include <gtest/gtest.h>

CUpdateRunFolder::CUpdateRunFolder()
{
    EXPECT_TRUE(CreateDirectoryW(Root(L"bin").c_str(), nullptr));
    EXPECT_TRUE(CreateDirectoryW(UpdateFolder().c_str(), nullptr));
    EXPECT_TRUE(CreateDirectoryW(TargetFolder().c_str(), nullptr));
    EXPECT_TRUE(CopyFileW(ProductExecutable().c_str(), Executable().c_str(), FALSE)) << GetLastError();
}

bool CUpdateRunFolder::Run(const std::wstring& manifestPath, DWORD timeoutMs, const std::wstring& extraArguments)
{
    const ProcessResult result = RunProcess(QuoteArgument(Executable()) + L" update " +
                                                QuoteArgument(L"updfile:" + manifestPath) + extraArguments,
                                            {}, TargetFolder(), timeoutMs);
    EXPECT_TRUE(result.started) << result.startFailure;
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(0u, result.exitCode);
    m_log = UpdateRunLogLines(Root(L"bin\\"));
    EXPECT_FALSE(m_log.empty()) << "no update-run log";
    return result.started && !result.timedOut;
}

std::string CUpdateRunFolder::LogText() const
{
    std::string text;
    for (const std::string& line : m_log)
        text += line + "\n";
    return text;
}

int CUpdateRunFolder::FindLine(const char* level, const std::wstring& text) const
{
    const std::string tail = std::string(" ") + level + " [default] " + Cp1251(text);
    for (size_t i = 0; i < m_log.size(); ++i) {
        const std::string& line = m_log[i];
        if (line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
            return static_cast<int>(i);
    }
    return -1;
}
