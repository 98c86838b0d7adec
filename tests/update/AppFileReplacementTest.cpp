// Replacing the application files from content in memory, in process.
#include "update/EngineMessages.h"
#include "update/QXUpdate.h"
#include "update/ReplaceFault.h"

#include "platform/Handles.h"
#include "platform/TextConversion.h"
#include "support/LogCapture.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

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

// ---------------------------------------------------------------------------
// Each file operation of an item made to fail in turn, and what a killed run
// leaves behind: the old file must survive every single failure.

namespace {

using namespace EngineMessages;

// The code the injected failures report.
const DWORD kInjected = ERROR_IO_DEVICE; // 1117

struct Fault
{
    eReplaceStep step;
    int call; // which call of the step fails, from 1
};

struct FaultPlan
{
    std::vector<Fault> faults;
    std::map<eReplaceStep, int> calls;
};

DWORD InjectFault(eReplaceStep step, void* context)
{
    FaultPlan& plan = *static_cast<FaultPlan*>(context);
    const int call = ++plan.calls[step];
    for (const Fault& fault : plan.faults) {
        if (fault.step == step && fault.call == call)
            return kInjected;
    }
    return 0;
}

class ReplaceFaults : public AppFileReplacement
{
protected:
    void TearDown() override { SetReplaceFaultHook(nullptr, nullptr); }

    // app.dll, read-only, with its own times, as every case starts.
    void OldFile()
    {
        ASSERT_TRUE(WriteBytes(Target(L"app.dll"), "old"));
        ASSERT_TRUE(SetFileTimes(Target(L"app.dll"), kOldTime));
        ASSERT_TRUE(SetFileAttributesW(Target(L"app.dll").c_str(), FILE_ATTRIBUTE_READONLY));
    }

    static bool SetFileTimes(const std::wstring& path, LONGLONG value)
    {
        CHandle file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
        const FILETIME time{static_cast<DWORD>(value & 0xFFFFFFFF), static_cast<DWORD>(value >> 32)};
        return file && SetFileTime(file.Get(), &time, &time, &time);
    }

    // "LEVEL message" with the application file's path after the message.
    std::string Line(const char* level, const std::wstring& message, const wchar_t* code = nullptr) const
    {
        std::wstring text = message + Target(L"app.dll");
        if (code != nullptr)
            text += std::wstring(kCode) + code;
        return std::string(level) + " " + Cp1251(text);
    }

    // What the folder holds besides the files the case expects: leftovers.
    std::vector<std::wstring> Leftovers(const std::vector<std::wstring>& expected) const
    {
        std::vector<std::wstring> found;
        WIN32_FIND_DATAW data{};
        CFindHandle find(FindFirstFileW(Target(L"*").c_str(), &data));
        if (!find)
            return found;
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L".." || name == L"upd")
                continue;
            if (std::find(expected.begin(), expected.end(), name) == expected.end())
                found.push_back(name);
        } while (FindNextFileW(find.Get(), &data));
        return found;
    }

    static constexpr LONGLONG kOldTime = 126256467060000000LL; // 2001-02-03 04:05:06 UTC
};

} // namespace

TEST_F(ReplaceFaults, EachStepFailing_OldFileSurvivesWholeAndTheLogSaysSo)
{
    const std::string code = std::to_string(kInjected);
    const std::wstring wcode(code.begin(), code.end());
    const wchar_t* c = wcode.c_str();
    enum class After { kOld, kNew, kNewUnstamped };
    const struct
    {
        const char* what;
        std::vector<Fault> faults;
        bool result;
        After after;
        bool backupKept; // the old version stays under app.dll.old as well
        std::vector<std::string> lines;
    } cases[] = {
        // Before the swap: the old file is never touched.
        {"create of the new file", {{eStepCreateNew, 1}}, false, After::kOld, false,
         {Line("ERROR", kCreateFailed, c), Line("ERROR", kRestored)}},
        {"write of the new file", {{eStepWriteNew, 1}}, false, After::kOld, false,
         {Line("ERROR", kWriteFailed, c), Line("WARNING", kStampFailed, L"2"), Line("ERROR", kRestored)}},
        {"time stamp", {{eStepStampNew, 1}}, true, After::kNewUnstamped, false,
         {Line("WARNING", kStampFailed, c)}},
        // The swap: while no item has failed, a rename over the old file.
        {"rename over the old file, then the two renames", {{eStepReplaceOld, 1}}, true, After::kNew, false, {}},
        {"every rename of the new file: the old file goes back", {{eStepReplaceOld, 1}, {eStepFinalRename, 1}},
         false, After::kOld, false, {Line("ERROR", kCreateFailed, c), Line("ERROR", kRestored)}},
        {"backup delete: it stays beside the new file", {{eStepReplaceOld, 1}, {eStepDeleteBackup, 1}}, true,
         After::kNew, true, {}},
        // The old file cannot be moved aside: replaced under its own name from a copy.
        {"move to backup: replaced by a rename over it", {{eStepReplaceOld, 1}, {eStepMoveToBackup, 1}}, true,
         After::kNew, false, {}},
        {"move to backup and copy: nothing touched", {{eStepReplaceOld, 1}, {eStepMoveToBackup, 1}, {eStepCopyOld, 1}},
         false, After::kOld, false, {Line("ERROR", kCreateFailed, c)}},
        {"rename over it fails: written in place",
         {{eStepReplaceOld, 1}, {eStepMoveToBackup, 1}, {eStepFinalRename, 1}}, true, After::kNew, false, {}},
        {"in-place open fails: nothing touched",
         {{eStepReplaceOld, 1}, {eStepMoveToBackup, 1}, {eStepFinalRename, 1}, {eStepWriteInPlace, 1}}, false,
         After::kOld, false, {Line("ERROR", kCreateFailed, c)}},
        {"in-place write fails: the copy comes back",
         {{eStepReplaceOld, 1}, {eStepMoveToBackup, 1}, {eStepFinalRename, 1}, {eStepWriteInPlace, 2}}, false,
         After::kOld, false, {Line("ERROR", kWriteFailed, c), Line("ERROR", kRestored)}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.what);
        m_update.Reset();
        m_update.SetTargetFolder(WideToAnsi(Target()));
        SetFileAttributesW(Target(L"app.dll").c_str(), FILE_ATTRIBUTE_NORMAL);
        SetFileAttributesW(Target(L"app.dll.old").c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(Target(L"app.dll.old").c_str());
        OldFile();
        Item("app.dll", "new");
        FaultPlan plan{testCase.faults, {}};
        SetReplaceFaultHook(&InjectFault, &plan);
        std::vector<std::string> lines;
        {
            CLogCapture log;
            EXPECT_EQ(testCase.result, m_update.UpdateAppFiles());
            lines = log.Lines();
        }
        SetReplaceFaultHook(nullptr, nullptr);

        const FILE_BASIC_INFO info = BasicInfo(Target(L"app.dll"));
        switch (testCase.after) {
        case After::kOld:
            EXPECT_EQ("old", Bytes(L"app.dll"));
            EXPECT_EQ(kOldTime, info.LastWriteTime.QuadPart);
            EXPECT_NE(0u, info.FileAttributes & FILE_ATTRIBUTE_READONLY);
            break;
        case After::kNew:
            EXPECT_EQ("new", Bytes(L"app.dll"));
            EXPECT_EQ(ExpectedFileTime(1500000000), info.LastWriteTime.QuadPart);
            break;
        case After::kNewUnstamped:
            EXPECT_EQ("new", Bytes(L"app.dll"));
            EXPECT_NE(ExpectedFileTime(1500000000), info.LastWriteTime.QuadPart);
            break;
        }
        std::vector<std::wstring> expected = {L"app.dll"};
        if (testCase.backupKept) {
            EXPECT_EQ("old", Bytes(L"app.dll.old"));
            expected.push_back(L"app.dll.old");
        }
        EXPECT_EQ(std::vector<std::wstring>(), Leftovers(expected));
        std::vector<std::string> expectedLines = {"INFO " + Cp1251(kUpdating) + "app.dll"};
        expectedLines.insert(expectedLines.end(), testCase.lines.begin(), testCase.lines.end());
        EXPECT_EQ(expectedLines, lines);
    }
}

// A run killed at any point of an item leaves names that the next run
// recognises before it touches the file again.
TEST_F(ReplaceFaults, LeftoversOfAKilledRun_RecoveredBeforeTheItem)
{
    const struct
    {
        const char* what;
        const char* target;  // nullptr: absent
        const char* backup;  // app.dll.old
        const char* partial; // app.dll.new
        const char* copy;    // app.dll.bak
        const char* copyNew; // app.dll.bak.new
        const char* content; // the new content; nullptr: its download is missing
        const char* after;
        bool restoredLine;
    } cases[] = {
        {"killed while writing the new file", "old", nullptr, "ne", nullptr, nullptr, nullptr, "old", false},
        {"killed between the two renames", nullptr, "old", "new", nullptr, nullptr, nullptr, "old", true},
        {"killed before the backup was deleted", "new", "old", nullptr, nullptr, nullptr, nullptr, "new", false},
        {"killed while copying for an overwrite in place", "old", nullptr, "new", nullptr, "ol", nullptr, "old",
         false},
        {"killed while overwriting in place", "ne", nullptr, "new", "old", nullptr, nullptr, "old", true},
        {"killed while overwriting in place, then installed", "ne", "stale", nullptr, "old", nullptr, "new", "new",
         true},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.what);
        m_update.Reset();
        m_update.SetTargetFolder(WideToAnsi(Target()));
        const std::pair<const wchar_t*, const char*> files[] = {{L"app.dll", testCase.target},
                                                                {L"app.dll.old", testCase.backup},
                                                                {L"app.dll.new", testCase.partial},
                                                                {L"app.dll.bak", testCase.copy},
                                                                {L"app.dll.bak.new", testCase.copyNew}};
        for (const auto& file : files) {
            DeleteFileW(Target(file.first).c_str());
            if (file.second != nullptr) {
                ASSERT_TRUE(WriteBytes(Target(file.first), file.second));
            }
        }
        Item("app.dll", testCase.content, 3);
        std::vector<std::string> lines;
        {
            CLogCapture log;
            EXPECT_EQ(testCase.content != nullptr, m_update.UpdateAppFiles());
            lines = log.Lines();
        }
        EXPECT_EQ(testCase.after, Bytes(L"app.dll"));
        EXPECT_EQ(std::vector<std::wstring>(), Leftovers({L"app.dll"}));
        const std::string restored = Line("WARNING", kRestored);
        EXPECT_EQ(testCase.restoredLine, std::find(lines.begin(), lines.end(), restored) != lines.end());
    }
}

// A folder stands under the backup name, so the old file cannot be moved
// aside: without its download the old file survives, with it the new one is
// installed under its own name and the folder is left alone.
TEST_F(ReplaceFaults, FolderUnderBackupName_OldFileSurvivesOrNewInstalledInPlace)
{
    const struct
    {
        const char* what;
        const char* content; // nullptr: download missing
        bool result;
        const char* after;
    } cases[] = {
        {"download missing", nullptr, false, "old"},
        {"download present", "new", true, "new"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.what);
        m_update.Reset();
        m_update.SetTargetFolder(WideToAnsi(Target()));
        ASSERT_TRUE(CreateDirectoryW(Target(L"x.dll.old").c_str(), nullptr) ||
                    GetLastError() == ERROR_ALREADY_EXISTS);
        ASSERT_TRUE(WriteBytes(Target(L"x.dll"), "old"));
        Item("x.dll", testCase.content, 3);
        EXPECT_EQ(testCase.result, m_update.UpdateAppFiles());
        EXPECT_EQ(testCase.after, Bytes(L"x.dll"));
        EXPECT_NE(0u, GetFileAttributesW(Target(L"x.dll.old").c_str()) & FILE_ATTRIBUTE_DIRECTORY);
        EXPECT_FALSE(PathExists(Target(L"x.dll.bak")));
        EXPECT_FALSE(PathExists(Target(L"x.dll.new")));
    }
}
