// The words the update-run log gives for an error code and a failed path.
#include "update/UpdateRunLog.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

TEST(UpdateRunLogText, CommonCodes_ReadAsWords)
{
    const struct
    {
        DWORD code;
        const wchar_t* words;
    } cases[] = {
        {ERROR_SHARING_VIOLATION, L"файл занят другим процессом"},
        {ERROR_LOCK_VIOLATION, L"файл занят другим процессом"},
        {ERROR_DISK_FULL, L"недостаточно места на диске"},
        {ERROR_HANDLE_DISK_FULL, L"недостаточно места на диске"},
        {ERROR_FILE_NOT_FOUND, L"файл не найден"},
        {ERROR_PATH_NOT_FOUND, L"папка не найдена"},
        {ERROR_FILENAME_EXCED_RANGE, L"слишком длинное имя"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(std::wstring(c.words), ReasonText(c.code));
    }
}

TEST(UpdateRunLogText, OtherCodes_TheSystemsTextWithoutItsFullStopAndLineBreak)
{
    const DWORD codes[] = {ERROR_INVALID_HANDLE, ERROR_NOT_READY, 0xDEAD};
    for (DWORD code : codes) {
        SCOPED_TRACE(code);
        const std::wstring text = ReasonText(code);
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(std::wstring::npos, text.find_first_of(L"\r\n"));
        EXPECT_NE(L'.', text.back());
    }
}

TEST(UpdateRunLogText, FolderUnderTheName_SaidSoWhateverTheCode)
{
    CTestFolder folder;
    const std::wstring sub = folder / L"app.dll";
    ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
    EXPECT_EQ(L"на месте файла находится папка", FailureText(sub, ERROR_ACCESS_DENIED));
    EXPECT_EQ(L"файл занят другим процессом", FailureText(folder / L"held.dll", ERROR_SHARING_VIOLATION));
}

} // namespace
