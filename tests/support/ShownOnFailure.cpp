#include "support/ShownOnFailure.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <cstdio>
#include <vector>

namespace {

// The live objects; tests may assert from threads of their own.
SRWLOCK g_lock = SRWLOCK_INIT;
std::vector<CShownOnFailure*>& Registry()
{
    static std::vector<CShownOnFailure*> registry;
    return registry;
}

class CFailureContextPrinter : public testing::EmptyTestEventListener
{
    void OnTestPartResult(const testing::TestPartResult& result) override
    {
        if (!result.failed())
            return;
        AcquireSRWLockExclusive(&g_lock);
        const std::vector<CShownOnFailure*> live = Registry();
        for (CShownOnFailure* shown : live)
            shown->Show();
        ReleaseSRWLockExclusive(&g_lock);
    }
};

std::string Utf8Of(const std::wstring& text)
{
    const int needed = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string bytes(static_cast<size_t>(needed > 0 ? needed : 0), '\0');
    if (needed > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], needed, nullptr,
                            nullptr);
    return bytes;
}

} // namespace

// One log a day the runs lasted.
std::string UpdateRunLogsText(const std::wstring& executableFolder)
{
    const std::wstring folder = executableFolder + L"Log\\LumenorbitNew\\";
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data{};
    CFindHandle find(FindFirstFileW((folder + L"updater-*.log").c_str(), &data));
    if (find) {
        do
            names.push_back(data.cFileName);
        while (FindNextFileW(find.Get(), &data));
    }
    std::sort(names.begin(), names.end());
    std::string text;
    for (const std::wstring& name : names) {
        const std::optional<std::string> bytes = ReadBytes(folder + name);
        text += "[" + Utf8Of(name) + (bytes ? "]\n" : ": unreadable]\n");
        for (const std::string& line : SplitLines(bytes.value_or("")))
            text += Utf8OfCp1251(line) + "\n";
    }
    return text;
}

CShownOnFailure::CShownOnFailure(std::string title, std::function<std::string()> source)
    : m_title(std::move(title)), m_source(std::move(source))
{
    AcquireSRWLockExclusive(&g_lock);
    Registry().push_back(this);
    ReleaseSRWLockExclusive(&g_lock);
}

CShownOnFailure::~CShownOnFailure()
{
    AcquireSRWLockExclusive(&g_lock);
    std::vector<CShownOnFailure*>& registry = Registry();
    registry.erase(std::remove(registry.begin(), registry.end(), this), registry.end());
    ReleaseSRWLockExclusive(&g_lock);
}

void CShownOnFailure::Show()
{
    const std::string text = m_source();
    if (text.empty())
        return;
    const void* test = testing::UnitTest::GetInstance()->current_test_info();
    fflush(stdout);
    if (test == m_lastTest && text == m_lastShown) {
        printf("(%s: as shown above)\n", m_title.c_str());
    } else {
        printf("--- %s ---\n%s%s--- end of %s ---\n", m_title.c_str(), text.c_str(),
               text.back() == '\n' ? "" : "\n", m_title.c_str());
        m_lastShown = text;
        m_lastTest = test;
    }
    fflush(stdout);
}

CRunLogShownOnFailure::CRunLogShownOnFailure(const std::wstring& executableFolder)
    : m_shown("the update-run log of " + Utf8Of(executableFolder),
              [executableFolder] { return UpdateRunLogsText(executableFolder); })
{
}

void ShowContextOnFailure()
{
    // gtest owns and deletes the listener.
    testing::UnitTest::GetInstance()->listeners().Append(new CFailureContextPrinter);
}

std::string Utf8OfCp1251(const std::string& bytes)
{
    if (bytes.empty())
        return std::string();
    const int needed = MultiByteToWideChar(1251, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(needed > 0 ? needed : 0), L'\0');
    if (needed > 0)
        MultiByteToWideChar(1251, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], needed);
    return Utf8Of(text);
}
