// Update runs of the real executable: a manifest and downloads in, the
// application folder and the update-run log out.
#include "update/ManifestText.h"

#include "platform/Handles.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A copy of the executable in its own folder, so that its update-run log
// (Log\LumenorbitNew\ beside it) belongs to this scenario alone, with the
// download folder "upd\" and the application folder "app\".
class UpdateRun : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CreateDirectoryW((m_folder / L"bin").c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(UpdateFolder().c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(TargetFolder().c_str(), nullptr));
        ASSERT_TRUE(CopyFileW(ProductExecutable().c_str(), Executable().c_str(), FALSE)) << GetLastError();
    }

    std::wstring Executable() const { return m_folder / L"bin\\QXClientUpdSvc.exe"; }
    std::wstring UpdateFolder() const { return m_folder / L"upd\\"; }
    std::wstring TargetFolder() const { return m_folder / L"app\\"; }
    std::wstring ManifestPath() const { return m_folder / L"update.xml"; }

    // Runs the update with a manifest of these items; false when it did not run to its end.
    bool Run(const std::wstring& items, int count)
    {
        EXPECT_TRUE(WriteManifest(ManifestPath(),
                                  InfoElement(UpdateFolder(), TargetFolder()) + FilesElement(items, count)));
        const ProcessResult result = RunProcess(QuoteArgument(Executable()) + L" update " +
                                                QuoteArgument(L"updfile:" + ManifestPath()));
        EXPECT_TRUE(result.started) << result.error;
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(0u, result.exitCode);
        m_log = ReadLog();
        return result.started && !result.timedOut;
    }

    std::vector<std::string> ReadLog() const
    {
        const std::wstring folder = m_folder / L"bin\\Log\\LumenorbitNew\\";
        WIN32_FIND_DATAW data{};
        CFindHandle find(FindFirstFileW((folder + L"updater-*.log").c_str(), &data));
        EXPECT_TRUE(find.IsValid()) << "no update-run log";
        if (!find)
            return {};
        return SplitLines(ReadBytes(folder + data.cFileName).value_or(""));
    }

    // Index of the first log line at that level whose message is text, or -1.
    int FindLine(const char* level, const std::wstring& text) const
    {
        const std::string tail = std::string(" ") + level + " [default] " + Cp1251(text);
        for (size_t i = 0; i < m_log.size(); ++i) {
            const std::string& line = m_log[i];
            if (line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
                return static_cast<int>(i);
        }
        return -1;
    }

    // Index of the first line at that level whose message starts with text.
    int FindLineStarting(const char* level, const std::wstring& text, std::string* rest) const
    {
        const std::string marker = std::string(" ") + level + " [default] " + Cp1251(text);
        for (size_t i = 0; i < m_log.size(); ++i) {
            const size_t at = m_log[i].find(marker);
            if (at != std::string::npos) {
                *rest = m_log[i].substr(at + marker.size());
                return static_cast<int>(i);
            }
        }
        return -1;
    }

    std::string LogText() const
    {
        std::string text;
        for (const std::string& line : m_log)
            text += line + "\n";
        return text;
    }

    std::string Bytes(const std::wstring& path) const { return ReadBytes(path).value_or("<missing>"); }

    CTestFolder m_folder;
    std::vector<std::string> m_log;
};

const wchar_t kUpdating[] = L"Обновление файла ";
const wchar_t kSkipped[] = L"Файл пропущен из-за настроек обновления. ";
const wchar_t kDiscrepancy[] = L"Обнаружено расхождение в данных файла: ";
const wchar_t kCreateFailed[] = L"Ошибка обновления: Не удалось создать файл. ";
const wchar_t kWriteFailed[] = L"Ошибка обновления: Не удалось записать данные в файл или данные записаны частично. ";
const wchar_t kStampFailed[] = L"Ошибка обновления: Не получилось обновить дату файла и атрубуты. ";
const wchar_t kCode[] = L" Код ошибки ";

LONGLONG LastWriteTime(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<LONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
}

} // namespace

TEST_F(UpdateRun, Replacement_InstallsFilesStampsThemAndLogsEachItem)
{
    ASSERT_TRUE(WriteBytes(TargetFolder() + L"app.exe", "old app"));
    ASSERT_TRUE(SetFileAttributesW((TargetFolder() + L"app.exe").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(WriteBytes(TargetFolder() + L"app.exe.old", "stale backup"));
    ASSERT_TRUE(WriteBytes(TargetFolder() + L"settings.cfg", "kept"));
    ASSERT_TRUE(WriteBytes(UpdateFolder() + L"app.exe", "new app"));
    ASSERT_TRUE(WriteBytes(UpdateFolder() + L"lib.dll.part", "new library"));
    ASSERT_TRUE(WriteBytes(UpdateFolder() + L"settings.cfg", "replaced"));

    // 2017-07-14 02:40:00 local wall-clock time.
    const std::wstring items = ItemElement(0, L"app.exe", 7, L"1", L"1500000000") +
                               ItemElement(1, L"lib.dll", 11, L"yes", L"1500000000", L"lib.dll.part") +
                               ItemElement(2, L"settings.cfg", 8, L"0");
    ASSERT_TRUE(Run(items, 3));

    EXPECT_EQ("new app", Bytes(TargetFolder() + L"app.exe"));
    EXPECT_EQ("new library", Bytes(TargetFolder() + L"lib.dll"));
    EXPECT_EQ("kept", Bytes(TargetFolder() + L"settings.cfg"));
    EXPECT_FALSE(PathExists(TargetFolder() + L"app.exe.old"));
    EXPECT_FALSE(PathExists(TargetFolder() + L"lib.dll.old"));
    EXPECT_EQ(0u, GetFileAttributesW((TargetFolder() + L"app.exe").c_str()) & FILE_ATTRIBUTE_READONLY);

    TIME_ZONE_INFORMATION zone{};
    GetTimeZoneInformation(&zone);
    const LONGLONG expected = (1500000000LL + 11644473600LL + zone.Bias * 60LL) * 10000000LL;
    EXPECT_EQ(expected, LastWriteTime(TargetFolder() + L"app.exe"));
    EXPECT_EQ(expected, LastWriteTime(TargetFolder() + L"lib.dll"));

    // The source named in the log is the download under the file's own name.
    const int app = FindLine("INFO", kUpdating + UpdateFolder() + L"app.exe");
    const int lib = FindLine("INFO", kUpdating + UpdateFolder() + L"lib.dll");
    const int skipped = FindLine("INFO", kSkipped + std::wstring(L"settings.cfg"));
    EXPECT_GE(app, 0) << LogText();
    EXPECT_GT(lib, app) << LogText();
    EXPECT_GT(skipped, lib) << LogText();
    EXPECT_EQ(std::string::npos, LogText().find(Cp1251(L"Ошибка обновления"))) << LogText();
}

TEST_F(UpdateRun, SizeDiscrepancy_ReplacesNothingAndNamesTheFile)
{
    ASSERT_TRUE(WriteBytes(TargetFolder() + L"a.dll", "old a"));
    ASSERT_TRUE(WriteBytes(TargetFolder() + L"b.dll", "old b"));
    ASSERT_TRUE(WriteBytes(UpdateFolder() + L"a.dll", "1234"));
    ASSERT_TRUE(WriteBytes(UpdateFolder() + L"b.dll", "new b"));
    ASSERT_TRUE(Run(ItemElement(0, L"a.dll", 5, L"1") + ItemElement(1, L"b.dll", 5, L"1"), 2));

    EXPECT_EQ("old a", Bytes(TargetFolder() + L"a.dll"));
    EXPECT_EQ("old b", Bytes(TargetFolder() + L"b.dll"));
    EXPECT_GE(FindLine("ERROR", kDiscrepancy + std::wstring(L"a.dll")), 0) << LogText();
    EXPECT_LT(FindLine("ERROR", kDiscrepancy + std::wstring(L"b.dll")), 0) << LogText();
    EXPECT_EQ(std::string::npos, LogText().find(Cp1251(kUpdating))) << LogText();
}

TEST_F(UpdateRun, FailedWrite_LogsErrorThenWarningAndKeepsBackup)
{
    ASSERT_TRUE(WriteBytes(TargetFolder() + L"app.exe", "old app"));
    // Marked for update, but its download is missing: there is nothing to write.
    ASSERT_TRUE(Run(ItemElement(0, L"app.exe", 5, L"1"), 1));

    const std::wstring target = TargetFolder() + L"app.exe";
    EXPECT_FALSE(PathExists(target));
    EXPECT_EQ("old app", Bytes(target + L".old"));
    const int error = FindLine("ERROR", kWriteFailed + target + kCode + L"2");
    const int warning = FindLine("WARNING", kStampFailed + target + kCode + L"2");
    EXPECT_GE(error, 0) << LogText();
    EXPECT_GT(warning, error) << LogText();
}

TEST_F(UpdateRun, FolderUnderTargetName_FailsToCreateWithItsCode)
{
    ASSERT_TRUE(CreateDirectoryW((TargetFolder() + L"data").c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(UpdateFolder() + L"data", "file"));
    ASSERT_TRUE(WriteBytes(UpdateFolder() + L"next.dll", "next"));
    ASSERT_TRUE(Run(ItemElement(0, L"data", 4, L"1") + ItemElement(1, L"next.dll", 4, L"1"), 2));

    EXPECT_NE(0u, GetFileAttributesW((TargetFolder() + L"data").c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_FALSE(PathExists(TargetFolder() + L"data.old"));
    EXPECT_EQ("next", Bytes(TargetFolder() + L"next.dll"));
    std::string code;
    EXPECT_GE(FindLineStarting("ERROR", kCreateFailed + TargetFolder() + L"data" + kCode, &code), 0) << LogText();
    EXPECT_FALSE(code.empty());
    EXPECT_EQ(std::string::npos, code.find_first_not_of("0123456789")) << code;
    EXPECT_NE("0", code);
}

TEST_F(UpdateRun, CyrillicNames_InstalledAndLoggedCp1251)
{
    const std::wstring name = L"Отчёт.txt";
    ASSERT_TRUE(WriteBytes(TargetFolder() + name, "старый"));
    ASSERT_TRUE(WriteBytes(UpdateFolder() + name, "new report"));
    ASSERT_TRUE(WriteBytes(TargetFolder() + L"Справка.chm", "справка"));
    ASSERT_TRUE(Run(ItemElement(0, name, 10, L"1") + ItemElement(1, L"Справка.chm", 3, L"0"), 2));

    EXPECT_EQ("new report", Bytes(TargetFolder() + name));
    EXPECT_FALSE(PathExists(TargetFolder() + name + L".old"));
    EXPECT_GE(FindLine("INFO", kUpdating + UpdateFolder() + name), 0) << LogText();
    EXPECT_GE(FindLine("INFO", kSkipped + std::wstring(L"Справка.chm")), 0) << LogText();
}
