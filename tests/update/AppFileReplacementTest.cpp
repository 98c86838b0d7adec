// Replacing the application files from content in memory, in process.
#include "update/QXUpdate.h"

#include "platform/Handles.h"
#include "platform/TextConversion.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// An engine object whose items are made by hand, and its application folder.
class AppFileReplacement : public testing::Test
{
protected:
    void SetUp() override
    {
        m_update.SetUpdateFolder(WideToAnsi(m_folder / L"upd\\"));
        m_update.SetTargetFolder(WideToAnsi(Target()));
    }

    std::wstring Target(const std::wstring& name = L"") const { return m_folder.Path() + name; }

    // An item to install with the given content; nullptr content: download not found.
    CUpdateFileItem& Item(const std::string& name, const char* content, int64_t sizeBytes = -1,
                          int64_t modified = 1500000000)
    {
        CUpdateFileItem* item = new CUpdateFileItem;
        m_update.files.push_back(item);
        item->fileName = name;
        item->doUpdate = true;
        item->modified = modified;
        item->sizeBytes = sizeBytes >= 0 ? sizeBytes : static_cast<int64_t>(content ? std::strlen(content) : 0);
        if (content != nullptr) {
            const size_t length = std::strlen(content);
            item->content = new unsigned char[length + 1];
            std::memcpy(item->content, content, length + 1);
        }
        return *item;
    }

    std::string Bytes(const std::wstring& name) const { return ReadBytes(Target(name)).value_or("<missing>"); }

    CTestFolder m_folder;
    CQXUpdate m_update;
};

// The file times that a manifest time stamp (local wall-clock seconds since
// 1970) stands for, with the zone's standard bias (the test zone has no
// daylight saving).
LONGLONG ExpectedFileTime(int64_t modified)
{
    TIME_ZONE_INFORMATION zone{};
    GetTimeZoneInformation(&zone);
    return (modified + 11644473600LL) * 10000000LL + static_cast<LONGLONG>(zone.Bias) * 60 * 10000000LL;
}

FILE_BASIC_INFO BasicInfo(const std::wstring& path)
{
    FILE_BASIC_INFO info{};
    CHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(file.IsValid()) << GetLastError();
    if (file) {
        EXPECT_TRUE(GetFileInformationByHandleEx(file.Get(), FileBasicInfo, &info, sizeof(info)));
    }
    return info;
}

} // namespace

TEST_F(AppFileReplacement, NoItems_SucceedsWithoutTouchingTheDisk)
{
    m_update.SetTargetFolder(WideToAnsi(m_folder / L"never-created\\"));
    EXPECT_TRUE(m_update.UpdateAppFiles());
    EXPECT_FALSE(PathExists(m_folder / L"never-created"));
}

TEST_F(AppFileReplacement, NewFile_IsCreatedWithoutBackup)
{
    Item("new.dll", "new content");
    EXPECT_TRUE(m_update.UpdateAppFiles());
    EXPECT_EQ("new content", Bytes(L"new.dll"));
    EXPECT_FALSE(PathExists(Target(L"new.dll.old")));
}

TEST_F(AppFileReplacement, ReadOnlyTarget_IsReplacedAndBackupRemoved)
{
    ASSERT_TRUE(WriteBytes(Target(L"app.exe"), "old"));
    ASSERT_TRUE(SetFileAttributesW(Target(L"app.exe").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(WriteBytes(Target(L"readme"), "old readme"));
    Item("app.exe", "new app");
    Item("readme", "new readme");
    EXPECT_TRUE(m_update.UpdateAppFiles());
    EXPECT_EQ("new app", Bytes(L"app.exe"));
    EXPECT_EQ("new readme", Bytes(L"readme"));
    EXPECT_EQ(0u, GetFileAttributesW(Target(L"app.exe").c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(PathExists(Target(L"app.exe.old")));
    EXPECT_FALSE(PathExists(Target(L"readme.old")));
}

TEST_F(AppFileReplacement, SkippedItem_LeavesItsFileAlone)
{
    ASSERT_TRUE(WriteBytes(Target(L"keep.dll"), "kept"));
    Item("keep.dll", "replaced").doUpdate = false;
    EXPECT_TRUE(m_update.UpdateAppFiles());
    EXPECT_EQ("kept", Bytes(L"keep.dll"));
    EXPECT_FALSE(PathExists(Target(L"keep.dll.old")));
}

TEST_F(AppFileReplacement, EmptyContent_WritesAnEmptyFile)
{
    ASSERT_TRUE(WriteBytes(Target(L"found-empty.txt"), "old"));
    Item("found-empty.txt", "");
    Item("not-found-empty.txt", nullptr, 0);
    EXPECT_TRUE(m_update.UpdateAppFiles());
    EXPECT_EQ("", Bytes(L"found-empty.txt"));
    EXPECT_EQ("", Bytes(L"not-found-empty.txt"));
}

TEST_F(AppFileReplacement, FailedWrite_PutsTheOldFileBackWithItsTimesAndAttributes)
{
    // Stale backup from an earlier run: deleted before the new backup is made.
    ASSERT_TRUE(WriteBytes(Target(L"app.exe.old"), "stale"));
    ASSERT_TRUE(WriteBytes(Target(L"app.exe"), "old"));
    const FILE_BASIC_INFO before = BasicInfo(Target(L"app.exe"));
    ASSERT_TRUE(SetFileAttributesW(Target(L"app.exe").c_str(), FILE_ATTRIBUTE_READONLY));
    Item("app.exe", nullptr, 5); // download not found: nothing to write
    EXPECT_FALSE(m_update.UpdateAppFiles());
    EXPECT_EQ("old", Bytes(L"app.exe"));
    EXPECT_FALSE(PathExists(Target(L"app.exe.old")));
    const FILE_BASIC_INFO after = BasicInfo(Target(L"app.exe"));
    EXPECT_EQ(before.LastWriteTime.QuadPart, after.LastWriteTime.QuadPart);
    EXPECT_NE(0u, after.FileAttributes & FILE_ATTRIBUTE_READONLY);
}

TEST_F(AppFileReplacement, SizeOfFourGiB_NeverCompletes)
{
    ASSERT_TRUE(WriteBytes(Target(L"big.bin"), "old"));
    // The low 32 bits alone (here 3) would match what the block holds.
    Item("big.bin", "abc", (1LL << 32) + 3);
    EXPECT_FALSE(m_update.UpdateAppFiles());
    EXPECT_EQ("old", Bytes(L"big.bin"));
    EXPECT_FALSE(PathExists(Target(L"big.bin.old")));
}

TEST_F(AppFileReplacement, BackupWithoutTarget_ComesBackThenIsReplaced)
{
    const struct
    {
        const char* what;
        const char* content; // nullptr: download not found
        const char* after;
        bool result;
    } cases[] = {
        {"new content written", "new", "new", true},
        {"write fails", nullptr, "last good copy", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        m_update.Reset();
        m_update.SetTargetFolder(WideToAnsi(Target()));
        ASSERT_TRUE(WriteBytes(Target(L"lib.dll.old"), "last good copy"));
        Item("lib.dll", c.content, 3);
        EXPECT_EQ(c.result, m_update.UpdateAppFiles());
        EXPECT_EQ(c.after, Bytes(L"lib.dll"));
        EXPECT_FALSE(PathExists(Target(L"lib.dll.old")));
        DeleteFileW(Target(L"lib.dll").c_str());
    }
}

TEST_F(AppFileReplacement, FailureOfOneItem_KeepsLaterBackups)
{
    ASSERT_TRUE(WriteBytes(Target(L"one.dll"), "old one"));
    ASSERT_TRUE(CreateDirectoryW(Target(L"two.dll").c_str(), nullptr)); // a folder cannot be replaced
    ASSERT_TRUE(WriteBytes(Target(L"three.dll"), "old three"));
    Item("one.dll", "new one");
    Item("two.dll", "new two");
    Item("three.dll", "new three");
    EXPECT_FALSE(m_update.UpdateAppFiles());

    EXPECT_EQ("new one", Bytes(L"one.dll"));
    EXPECT_FALSE(PathExists(Target(L"one.dll.old")));
    // The folder is neither moved nor replaced.
    EXPECT_NE(0u, GetFileAttributesW(Target(L"two.dll").c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_FALSE(PathExists(Target(L"two.dll.old")));
    // Installed, but its backup stays because an earlier item failed.
    EXPECT_EQ("new three", Bytes(L"three.dll"));
    EXPECT_EQ("old three", Bytes(L"three.dll.old"));
}

TEST_F(AppFileReplacement, TargetHeldOpen_FailsAndKeepsOldFile)
{
    ASSERT_TRUE(WriteBytes(Target(L"busy.dll"), "old"));
    CHandle held(CreateFileW(Target(L"busy.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.IsValid());
    Item("busy.dll", "new");
    EXPECT_FALSE(m_update.UpdateAppFiles());
    held.Close();
    // The move and the delete fail on the open file, so the old one stays where it was.
    EXPECT_EQ("old", Bytes(L"busy.dll"));
    EXPECT_FALSE(PathExists(Target(L"busy.dll.old")));
}

TEST_F(AppFileReplacement, TimeStamp_SetsTheManifestTimeReadAsLocal)
{
    const struct
    {
        const char* what;
        int64_t modified;
    } cases[] = {
        {"2017-07-14 02:40 local", 1500000000},
        {"1970-01-01 00:00 local", 0},
        {"before 1970", -86400 * 365},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string name = "stamped" + std::to_string(index++) + ".dll";
        m_update.Reset();
        m_update.SetTargetFolder(WideToAnsi(Target()));
        Item(name, "x", -1, c.modified);
        EXPECT_TRUE(m_update.UpdateAppFiles());
        const FILE_BASIC_INFO info = BasicInfo(Target(AnsiToWide(name)));
        EXPECT_EQ(ExpectedFileTime(c.modified), info.LastWriteTime.QuadPart);
        EXPECT_EQ(ExpectedFileTime(c.modified), info.LastAccessTime.QuadPart);
        EXPECT_EQ(ExpectedFileTime(c.modified), info.CreationTime.QuadPart);
        // The change time is not compared: under Wine it is the Linux ctime,
        // which only the kernel sets. The attributes are those of creation.
        EXPECT_EQ(0u, info.FileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    }
}

TEST_F(AppFileReplacement, TimeStampOutOfRange_KeepsWriteTime)
{
    FILETIME before{};
    GetSystemTimeAsFileTime(&before);
    Item("far.dll", "x", -1, INT64_MAX);
    EXPECT_TRUE(m_update.UpdateAppFiles());
    EXPECT_EQ("x", Bytes(L"far.dll"));
    const LONGLONG written = BasicInfo(Target(L"far.dll")).LastWriteTime.QuadPart;
    const LONGLONG start = (static_cast<LONGLONG>(before.dwHighDateTime) << 32) | before.dwLowDateTime;
    // Within a minute of the write, not some value made from the stamp.
    EXPECT_GE(written, start - 600000000LL);
    EXPECT_LE(written, start + 600000000LL);
}

TEST_F(AppFileReplacement, PathTooLongForBackup_FailsWithoutTouchingTheFile)
{
    // 259 characters fit the runtime's path builder; the target plus ".old" does not.
    const std::wstring folder = Target();
    const size_t nameLength = 256 - folder.size();
    ASSERT_GT(nameLength, 4u);
    const std::wstring name = std::wstring(nameLength - 4, L'n') + L".dll";
    ASSERT_TRUE(WriteBytes(Target(name), "old"));
    Item(WideToAnsi(name), "new");
    Item("after.dll", "after");
    EXPECT_FALSE(m_update.UpdateAppFiles());
    EXPECT_EQ("old", Bytes(name));
    EXPECT_EQ("after", Bytes(L"after.dll"));
}
