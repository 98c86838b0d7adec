// Replacing the application files, in process: items made by hand, their
// downloads staged through the engine's own path, then swapped.
#include "update/EngineMessages.h"
#include "update/QXUpdate.h"
#include "update/UpdateMessages.h"
#include "update/ReplaceFault.h"

#include "platform/Handles.h"
#include "platform/TextConversion.h"
#include "support/LogCapture.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace {

// An engine object whose items are made by hand, and its application folder.
class AppFileReplacement : public testing::Test
{
protected:
    void SetUp() override
    {
        m_update.journalPath = JournalPath();
        m_update.updateFolder = WideToAnsi(Downloads());
        m_update.targetFolder = WideToAnsi(Target());
        ASSERT_TRUE(CreateDirectoryW(Downloads().c_str(), nullptr));
    }

    std::wstring Downloads() const { return m_folder / L"upd\\"; }

    // The run's steps after the load: stage every item's download, then the
    // swap. A run whose staging fails leaves nothing behind, as the engine's
    // object does when it goes.
    bool Update()
    {
        if (!m_update.StageFiles()) {
            m_update.AbandonTransaction();
            return false;
        }
        return m_update.UpdateAppFiles();
    }

    // The run's journal, outside the application folder as beside the executable.
    std::wstring JournalPath() const { return m_journalFolder / L"QXUpdate.journal"; }

    // Starts a case afresh: no items, the target folder set again.
    void NewRun()
    {
        m_update.Reset();
        m_update.journalPath = JournalPath();
        m_update.updateFolder = WideToAnsi(Downloads());
        m_update.targetFolder = WideToAnsi(Target());
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

    std::wstring Target(const std::wstring& name = L"") const { return m_folder.Path() + name; }

    // An item to install with the given content, its download written
    // under the item's name; nullptr content: download not found.
    CUpdateFileItem& Item(const std::string& name, const char* content, int64_t sizeBytes = -1,
                          int64_t modified = 1500000000)
    {
        m_update.files.push_back(std::make_unique<CUpdateFileItem>());
        CUpdateFileItem& item = *m_update.files.back();
        item.fileName = name;
        item.doUpdate = true;
        item.modified = modified;
        item.sizeBytes = sizeBytes >= 0 ? sizeBytes : static_cast<int64_t>(content ? std::strlen(content) : 0);
        const std::wstring download = Downloads() + AnsiToWide(name);
        DeleteFileW(download.c_str());
        if (content != nullptr) {
            for (size_t slash = download.find(L'\\', Downloads().size()); slash != std::wstring::npos;
                 slash = download.find(L'\\', slash + 1))
                CreateDirectoryW(download.substr(0, slash).c_str(), nullptr);
            EXPECT_TRUE(WriteBytes(download, content));
        }
        return item;
    }

    std::string Bytes(const std::wstring& name) const { return ReadBytes(Target(name)).value_or("<missing>"); }

    CTestFolder m_folder;
    CTestFolder m_journalFolder;
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
    m_update.targetFolder = WideToAnsi(m_folder / L"never-created\\");
    EXPECT_TRUE(Update());
    EXPECT_FALSE(PathExists(m_folder / L"never-created"));
}

TEST_F(AppFileReplacement, NewFile_IsCreatedWithoutBackup)
{
    Item("new.dll", "new content");
    EXPECT_TRUE(Update());
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
    EXPECT_TRUE(Update());
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
    EXPECT_TRUE(Update());
    EXPECT_EQ("kept", Bytes(L"keep.dll"));
    EXPECT_FALSE(PathExists(Target(L"keep.dll.old")));
}

TEST_F(AppFileReplacement, EmptyContent_WritesAnEmptyFile)
{
    ASSERT_TRUE(WriteBytes(Target(L"found-empty.txt"), "old"));
    Item("found-empty.txt", "");
    Item("not-found-empty.txt", nullptr, 0);
    EXPECT_TRUE(Update());
    EXPECT_EQ("", Bytes(L"found-empty.txt"));
    EXPECT_EQ("", Bytes(L"not-found-empty.txt"));
}

namespace {

// Fails the rename or link of a new file into place: every one, or (context:
// a name) those of the file of that name.
DWORD FailFinalRename(eReplaceStep step, const wchar_t* path, void* context)
{
    if (step != eStepFinalRename)
        return 0;
    const std::wstring target = path != nullptr ? path : L"";
    const std::wstring name = context != nullptr ? static_cast<const wchar_t*>(context) : L"";
    const bool named = target.size() >= name.size() && target.compare(target.size() - name.size(), name.size(), name) == 0;
    return named ? ERROR_IO_DEVICE : 0;
}

} // namespace

TEST_F(AppFileReplacement, FailedSwap_PutsTheOldFileBackWithItsTimesAndAttributes)
{
    // A file of the application under the old backup name is not the run's: it stays.
    ASSERT_TRUE(WriteBytes(Target(L"app.exe.old"), "the application's own"));
    ASSERT_TRUE(WriteBytes(Target(L"app.exe"), "old"));
    const FILE_BASIC_INFO before = BasicInfo(Target(L"app.exe"));
    ASSERT_TRUE(SetFileAttributesW(Target(L"app.exe").c_str(), FILE_ATTRIBUTE_READONLY));
    Item("app.exe", "new app");
    SetReplaceFaultHook(&FailFinalRename, nullptr);
    const bool updated = Update();
    SetReplaceFaultHook(nullptr, nullptr);
    EXPECT_FALSE(updated);
    EXPECT_EQ("old", Bytes(L"app.exe"));
    EXPECT_EQ("the application's own", Bytes(L"app.exe.old"));
    EXPECT_EQ(std::vector<std::wstring>(), Leftovers({L"app.exe", L"app.exe.old"}));
    const FILE_BASIC_INFO after = BasicInfo(Target(L"app.exe"));
    EXPECT_EQ(before.LastWriteTime.QuadPart, after.LastWriteTime.QuadPart);
    EXPECT_NE(0u, after.FileAttributes & FILE_ATTRIBUTE_READONLY);
}

// A download that is not there leaves the application folder as it was.
TEST_F(AppFileReplacement, DownloadNotFound_NothingTouched)
{
    ASSERT_TRUE(WriteBytes(Target(L"app.exe"), "old"));
    Item("app.exe", nullptr, 5);
    EXPECT_FALSE(Update());
    EXPECT_EQ("old", Bytes(L"app.exe"));
    EXPECT_EQ(std::vector<std::wstring>(), Leftovers({L"app.exe"}));
    EXPECT_FALSE(PathExists(JournalPath()));
}

TEST_F(AppFileReplacement, SizeOfFourGiB_NeverCompletes)
{
    ASSERT_TRUE(WriteBytes(Target(L"big.bin"), "old"));
    // The low 32 bits alone (here 3) would match what the block holds.
    Item("big.bin", "abc", (1LL << 32) + 3);
    EXPECT_FALSE(Update());
    EXPECT_EQ("old", Bytes(L"big.bin"));
    EXPECT_FALSE(PathExists(Target(L"big.bin.old")));
}

// "lib.dll.old" beside no "lib.dll", as an earlier version left it when
// killed between its two renames: part of the run, gone with its commit and
// back as it was after its undo.
TEST_F(AppFileReplacement, BackupWithoutTarget_RemovedWithTheUpdateOrLeftAsItWas)
{
    const struct
    {
        const char* what;
        const char* content; // nullptr: download not found
        const char* after;
        const char* backupAfter;
        bool result;
    } cases[] = {
        {"new content written", "new", "new", "<missing>", true},
        {"write fails", nullptr, "<missing>", "last good copy", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        NewRun();
        ASSERT_TRUE(WriteBytes(Target(L"lib.dll.old"), "last good copy"));
        Item("lib.dll", c.content, 3);
        EXPECT_EQ(c.result, Update());
        EXPECT_EQ(c.after, Bytes(L"lib.dll"));
        EXPECT_EQ(c.backupAfter, Bytes(L"lib.dll.old"));
        EXPECT_EQ(std::vector<std::wstring>{}, Leftovers({L"lib.dll", L"lib.dll.old"}));
        DeleteFileW(Target(L"lib.dll").c_str());
        DeleteFileW(Target(L"lib.dll.old").c_str());
    }
}

// A file the run planned to add whose name an application file took after
// the plan (the application wrote it while the update loaded): the swap fails
// and the undo leaves that file alone, saying so; a file the run did add is
// taken away.
TEST_F(AppFileReplacement, AddedNameTakenAfterThePlan_UndoLeavesTheOtherFile)
{
    ASSERT_TRUE(WriteBytes(Target(L"a.dll"), "old a"));
    Item("new.dll", "new");
    Item("settings.ini", "from the update");
    Item("a.dll", "new a");
    ASSERT_TRUE(m_update.StageFiles());
    ASSERT_TRUE(WriteBytes(Target(L"settings.ini"), "the user's settings"));

    CLogCapture log;
    EXPECT_FALSE(m_update.UpdateAppFiles());
    EXPECT_EQ("the user's settings", Bytes(L"settings.ini"));
    EXPECT_EQ("old a", Bytes(L"a.dll"));
    EXPECT_EQ(std::vector<std::wstring>{}, Leftovers({L"a.dll", L"settings.ini"}));
    const std::vector<std::string> lines = log.Lines();
    const std::string notOurs = Cp1251(UpdateMessages::kNotOurs + Target(L"settings.ini"));
    const std::string takenAway = Cp1251(UpdateMessages::kAddedTakenBack + Target(L"new.dll"));
    EXPECT_NE(lines.end(), std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
                  return line.find("WARNING") != std::string::npos && line.find(notOurs) != std::string::npos;
              }));
    EXPECT_NE(lines.end(), std::find_if(lines.begin(), lines.end(),
                                        [&](const std::string& line) { return line.find(takenAway) != std::string::npos; }));
    EXPECT_FALSE(PathExists(JournalPath()));
}

// A link made in the application folder after the load (where the load found
// a plain folder) is found at the swap: the run fails and is undone, and
// nothing is written where the link leads.
TEST_F(AppFileReplacement, LinkMadeAfterTheLoad_RunUndoneNothingWrittenThere)
{
    CTestFolder outside;
    ASSERT_TRUE(WriteBytes(Target(L"a.dll"), "old a"));
    ASSERT_TRUE(CreateDirectoryW(Target(L"sub").c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(Target(L"sub\\x.dll"), "old x"));
    ASSERT_TRUE(WriteBytes(outside / L"x.dll", "outside x"));
    Item("a.dll", "new a");
    Item("sub\\x.dll", "new x");
    ASSERT_TRUE(m_update.StageFiles());
    ASSERT_TRUE(MoveFileW(Target(L"sub").c_str(), Target(L"sub-moved").c_str()));
    ASSERT_TRUE(MakeHostLink(Target(L"sub"), outside.Path().substr(0, outside.Path().size() - 1)));

    CLogCapture log;
    EXPECT_FALSE(m_update.UpdateAppFiles());
    EXPECT_EQ("old a", Bytes(L"a.dll"));
    EXPECT_EQ("outside x", ReadBytes(outside / L"x.dll").value_or("<missing>"));
    EXPECT_EQ(std::vector<std::wstring>{L"x.dll"}, [&] {
        std::vector<std::wstring> names;
        for (const auto& entry : FolderContents(outside.Path()))
            names.push_back(entry.first);
        return names;
    }());
    const std::string linkLine = Cp1251(UpdateMessages::kLinkAppeared + Target(L"sub\\x.dll"));
    const std::vector<std::string> lines = log.Lines();
    EXPECT_NE(lines.end(), std::find_if(lines.begin(), lines.end(),
                                        [&](const std::string& line) { return line.find(linkLine) != std::string::npos; }))
        << ::testing::PrintToString(lines);
    EXPECT_TRUE(RemoveHostLink(Target(L"sub")));
    EXPECT_FALSE(PathExists(JournalPath()));
}

TEST_F(AppFileReplacement, FailureOfOneItem_UndoesTheWholeUpdate)
{
    ASSERT_TRUE(WriteBytes(Target(L"one.dll"), "old one"));
    ASSERT_TRUE(WriteBytes(Target(L"two.dll"), "old two"));
    ASSERT_TRUE(CreateDirectoryW(Target(L"three.dll").c_str(), nullptr)); // a folder cannot be replaced
    ASSERT_TRUE(WriteBytes(Target(L"four.dll"), "old four"));
    Item("one.dll", "new one");
    Item("added.dll", "added");
    Item("two.dll", "new two");
    Item("three.dll", "new three");
    Item("four.dll", "new four");
    std::vector<std::string> lines;
    {
        CLogCapture log;
        EXPECT_FALSE(Update());
        lines = log.Lines();
    }
    EXPECT_EQ("old one", Bytes(L"one.dll"));
    EXPECT_EQ("old two", Bytes(L"two.dll"));
    EXPECT_EQ("old four", Bytes(L"four.dll"));
    EXPECT_NE(0u, GetFileAttributesW(Target(L"three.dll").c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    // The added file is removed again, and nothing of the run is left.
    EXPECT_EQ(std::vector<std::wstring>(), Leftovers({L"one.dll", L"two.dll", L"three.dll", L"four.dll"}));
    EXPECT_FALSE(PathExists(JournalPath()));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("ERROR " + Cp1251(EngineMessages::kUndone) + "2", lines.back());
}

TEST_F(AppFileReplacement, TargetHeldOpen_FailsAndKeepsOldFile)
{
    ASSERT_TRUE(WriteBytes(Target(L"busy.dll"), "old"));
    CHandle held(CreateFileW(Target(L"busy.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.IsValid());
    Item("busy.dll", "new");
    EXPECT_FALSE(Update());
    held.Close();
    // The move fails on the open file, so the old one stays where it was.
    EXPECT_EQ("old", Bytes(L"busy.dll"));
    EXPECT_EQ(std::vector<std::wstring>(), Leftovers({L"busy.dll"}));
}

// Backups linked ahead of the swap (while the application still runs) are a
// second name of each old file: nothing the application sees changes until
// the swap, and however the run ends, no link is left behind.
TEST_F(AppFileReplacement, BackupsLinkedAhead_ChangeNothingUntilTheSwapAndNeverStay)
{
    enum class End { kCommit, kAbandon, kMiddleItemFails };
    const struct
    {
        const char* name;
        End end;
    } cases[] = {
        {"committed", End::kCommit},
        {"abandoned before the swap", End::kAbandon},
        {"an item between two linked ones fails", End::kMiddleItemFails},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        NewRun();
        RemoveTree(Target(L"blocked.dat"));
        ASSERT_TRUE(WriteBytes(Target(L"a.dll"), "old a"));
        ASSERT_TRUE(WriteBytes(Target(L"b.dll"), "old b"));
        Item("a.dll", "new a");
        if (test.end == End::kMiddleItemFails) {
            // A folder under the item's name: its rename fails in the swap.
            ASSERT_TRUE(CreateDirectoryW(Target(L"blocked.dat").c_str(), nullptr));
            Item("blocked.dat", "x");
        }
        Item("b.dll", "new b");
        Item("c.dll", "new c"); // added: nothing to link

        ASSERT_TRUE(m_update.StageFiles());
        int linked = 0;
        for (const CJournalEntry& entry : m_update.Transaction().Journal().entries) {
            if (!entry.linked)
                continue;
            ++linked;
            EXPECT_EQ(ReadBytes(entry.backup).value_or("<missing>"), ReadBytes(entry.target).value_or("<target missing>"));
        }
        EXPECT_EQ(linked, 2);
        EXPECT_EQ("old a", Bytes(L"a.dll"));
        EXPECT_EQ("old b", Bytes(L"b.dll"));

        std::vector<std::wstring> expected = {L"a.dll", L"b.dll"};
        switch (test.end) {
        case End::kCommit:
            EXPECT_TRUE(m_update.UpdateAppFiles());
            EXPECT_EQ("new a", Bytes(L"a.dll"));
            EXPECT_EQ("new b", Bytes(L"b.dll"));
            EXPECT_EQ("new c", Bytes(L"c.dll"));
            expected.push_back(L"c.dll");
            break;
        case End::kAbandon:
            m_update.AbandonTransaction();
            break;
        case End::kMiddleItemFails:
            EXPECT_FALSE(m_update.UpdateAppFiles());
            expected.push_back(L"blocked.dat");
            break;
        }
        if (test.end != End::kCommit) {
            EXPECT_EQ("old a", Bytes(L"a.dll"));
            EXPECT_EQ("old b", Bytes(L"b.dll"));
        }
        EXPECT_EQ(std::vector<std::wstring>(), Leftovers(expected));
        EXPECT_FALSE(PathExists(JournalPath()));
        ASSERT_TRUE(DeleteFileW(Target(L"a.dll").c_str()));
        ASSERT_TRUE(DeleteFileW(Target(L"b.dll").c_str()));
        DeleteFileW(Target(L"c.dll").c_str());
    }
}

TEST_F(AppFileReplacement, TargetHeldAtTheLink_LeftToTheSwapWhichFailsAndKeepsOldFile)
{
    ASSERT_TRUE(WriteBytes(Target(L"busy.dll"), "old"));
    Item("busy.dll", "new");
    CHandle held(CreateFileW(Target(L"busy.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.IsValid());
    ASSERT_TRUE(m_update.StageFiles());
    ASSERT_EQ(m_update.Transaction().Journal().entries.size(), 1u);
    EXPECT_FALSE(m_update.Transaction().Journal().entries[0].linked);
    EXPECT_FALSE(m_update.UpdateAppFiles());
    held.Close();
    EXPECT_EQ("old", Bytes(L"busy.dll"));
    EXPECT_EQ(std::vector<std::wstring>(), Leftovers({L"busy.dll"}));
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
        NewRun();
        Item(name, "x", -1, c.modified);
        EXPECT_TRUE(Update());
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
    EXPECT_TRUE(Update());
    EXPECT_EQ("x", Bytes(L"far.dll"));
    const LONGLONG written = BasicInfo(Target(L"far.dll")).LastWriteTime.QuadPart;
    const LONGLONG start = (static_cast<LONGLONG>(before.dwHighDateTime) << 32) | before.dwLowDateTime;
    // Within a minute of the write, not some value made from the stamp.
    EXPECT_GE(written, start - 600000000LL);
    EXPECT_LE(written, start + 600000000LL);
}


// ---------------------------------------------------------------------------
// Each file operation of the transaction made to fail in turn (the swap, the
// commit, the rollback, the recovery): afterwards every file is its old
// version, nothing of the run is left, and the log says exactly what happened.

namespace {

using namespace EngineMessages;

// The code the injected failures report.
const DWORD kInjected = ERROR_IO_DEVICE; // 1117

struct Fault
{
    eReplaceStep step;
    int call; // which call of the step fails, from 1
    // Only calls on a path that ends so count (staging works on several
    // files at once, in no fixed order); nullptr: every call.
    const wchar_t* pathEnd = nullptr;
};

struct FaultPlan
{
    explicit FaultPlan(const std::vector<Fault>& planned) : faults(planned), calls(planned.size(), 0) {}
    std::vector<Fault> faults;
    std::vector<int> calls; // per fault, the calls it counted
    std::mutex lock;
};

bool EndsWith(const wchar_t* path, const wchar_t* end)
{
    const std::wstring text = path != nullptr ? path : L"";
    const std::wstring tail = end;
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

DWORD InjectFault(eReplaceStep step, const wchar_t* path, void* context)
{
    FaultPlan& plan = *static_cast<FaultPlan*>(context);
    std::lock_guard<std::mutex> hold(plan.lock);
    DWORD result = 0;
    for (size_t i = 0; i < plan.faults.size(); ++i) {
        const Fault& fault = plan.faults[i];
        if (fault.step != step || (fault.pathEnd != nullptr && !EndsWith(path, fault.pathEnd)))
            continue;
        if (++plan.calls[i] == fault.call)
            result = kInjected;
    }
    return result;
}

class ReplaceFaults : public AppFileReplacement
{
protected:
    void TearDown() override { SetReplaceFaultHook(nullptr, nullptr); }

    // a.dll read-only with its own times, b.dll, no c.dll (added by the
    // update), d.dll; the application's own x.dll.new and y.dll.bak.
    void OldVersion()
    {
        for (const wchar_t* name : {L"a.dll", L"b.dll", L"c.dll", L"d.dll", L"x.dll.new", L"y.dll.bak"}) {
            SetFileAttributesW(Target(name).c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(Target(name).c_str());
        }
        ASSERT_TRUE(WriteBytes(Target(L"a.dll"), "old a"));
        ASSERT_TRUE(SetFileTimes(Target(L"a.dll"), kOldTime));
        ASSERT_TRUE(SetFileAttributesW(Target(L"a.dll").c_str(), FILE_ATTRIBUTE_READONLY));
        ASSERT_TRUE(WriteBytes(Target(L"b.dll"), "old b"));
        ASSERT_TRUE(WriteBytes(Target(L"d.dll"), "old d"));
        ASSERT_TRUE(WriteBytes(Target(L"x.dll.new"), "own x"));
        ASSERT_TRUE(WriteBytes(Target(L"y.dll.bak"), "own y"));
    }

    void NewVersionItems()
    {
        Item("a.dll", "new a");
        Item("b.dll", "new b");
        Item("c.dll", "new c");
        Item("d.dll", "new d");
    }

    void ExpectOldVersion()
    {
        EXPECT_EQ("old a", Bytes(L"a.dll"));
        const FILE_BASIC_INFO info = BasicInfo(Target(L"a.dll"));
        EXPECT_EQ(kOldTime, info.LastWriteTime.QuadPart);
        EXPECT_NE(0u, info.FileAttributes & FILE_ATTRIBUTE_READONLY);
        EXPECT_EQ("old b", Bytes(L"b.dll"));
        EXPECT_EQ("old d", Bytes(L"d.dll"));
        EXPECT_EQ("own x", Bytes(L"x.dll.new"));
        EXPECT_EQ("own y", Bytes(L"y.dll.bak"));
        EXPECT_EQ(std::vector<std::wstring>(), Leftovers({L"a.dll", L"b.dll", L"d.dll", L"x.dll.new", L"y.dll.bak"}));
    }

    void ExpectNewVersion()
    {
        for (const wchar_t* name : {L"a.dll", L"b.dll", L"c.dll", L"d.dll"})
            EXPECT_EQ("new " + WideToAnsi(name).substr(0, 1), Bytes(name)) << WideToAnsi(name);
        EXPECT_EQ(ExpectedFileTime(1500000000), BasicInfo(Target(L"a.dll")).LastWriteTime.QuadPart);
        EXPECT_EQ("own x", Bytes(L"x.dll.new"));
        EXPECT_EQ("own y", Bytes(L"y.dll.bak"));
        EXPECT_EQ(std::vector<std::wstring>(),
                  Leftovers({L"a.dll", L"b.dll", L"c.dll", L"d.dll", L"x.dll.new", L"y.dll.bak"}));
    }

    static bool SetFileTimes(const std::wstring& path, LONGLONG value)
    {
        CHandle file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
        const FILETIME time{static_cast<DWORD>(value & 0xFFFFFFFF), static_cast<DWORD>(value >> 32)};
        return file && SetFileTime(file.Get(), &time, &time, &time);
    }

    // "LEVEL message" with a file's path (or another text) after the message.
    std::string Line(const char* level, const std::wstring& message, const std::wstring& what,
                     const wchar_t* code = nullptr) const
    {
        std::wstring text = message + what;
        if (code != nullptr)
            text += std::wstring(kCode) + code;
        return std::string(level) + " " + Cp1251(text);
    }

    std::vector<std::string> Updating(int count) const
    {
        std::vector<std::string> lines;
        const char* names[] = {"a.dll", "b.dll", "c.dll", "d.dll"};
        for (int i = 0; i < count; ++i)
            lines.push_back("INFO " + Cp1251(kUpdating + Downloads()) + names[i]);
        return lines;
    }

    struct Outcome
    {
        bool result = false;
        bool journalLeft = false;
        std::vector<std::string> lines;         // of the run
        std::vector<std::string> recoveryLines; // of the next run's recovery (twice when the first fails)
    };

    // From the old version, an update to the new one with the faults, then
    // the recovery a next run makes.
    Outcome RunWithFaults(const std::vector<Fault>& faults)
    {
        NewRun();
        OldVersion();
        NewVersionItems();
        FaultPlan plan(faults);
        SetReplaceFaultHook(&InjectFault, &plan);
        Outcome outcome;
        {
            CLogCapture log;
            outcome.result = Update();
            outcome.lines = WithoutStoryLines(log.Lines());
        }
        outcome.journalLeft = PathExists(JournalPath());
        {
            CLogCapture log;
            // A recovery that fails keeps the journal; the next one finishes.
            if (!RecoverInterruptedUpdate(JournalPath())) {
                EXPECT_TRUE(RecoverInterruptedUpdate(JournalPath()));
            }
            outcome.recoveryLines = WithoutStoryLines(log.Lines());
        }
        SetReplaceFaultHook(nullptr, nullptr);
        EXPECT_FALSE(PathExists(JournalPath()));
        return outcome;
    }

    static constexpr LONGLONG kOldTime = 126256467060000000LL; // 2001-02-03 04:05:06 UTC
};

std::vector<std::string> Joined(std::vector<std::string> first, const std::vector<std::string>& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

} // namespace

TEST_F(ReplaceFaults, EachStepFailing_EveryFileStaysTheOldVersion)
{
    const std::string codeText = std::to_string(kInjected);
    const std::wstring wcode(codeText.begin(), codeText.end());
    const wchar_t* c = wcode.c_str();
    const struct
    {
        const char* what;
        std::vector<Fault> faults;
        int updating; // "Обновление файла" lines
        std::vector<std::string> lines;
        bool journalLeft; // a change could not be undone: the next run's recovery finishes the rollback
        std::vector<std::string> recoveryLines;
    } cases[] = {
        // Staging the first file (change 0): the update is refused, nothing was changed.
        {"create of the first staged file", {{eStepCreateNew, 1, L"\\0.new"}}, 0,
         {Line("ERROR", kRefused + std::wstring(kRefusedNotStaged), L"a.dll", c)}, false, {}},
        {"write of the first staged file", {{eStepWriteNew, 1, L"\\0.new"}}, 0,
         {Line("ERROR", kRefused + std::wstring(kRefusedNotStaged), L"a.dll", c)}, false, {}},
        // Later files: what was replaced and added is undone.
        {"move of the second old file aside", {{eStepMoveToBackup, 2}}, 2,
         {Line("ERROR", kMoveToBackupFailed, Target(L"b.dll"), c), Line("ERROR", kUndone, L"1")}, false, {}},
        // d.dll never left its name (the backup is a second link to it): two put back.
        {"rename of the last new file", {{eStepFinalRename, 4}}, 4,
         {Line("ERROR", kPutInPlaceFailed, Target(L"d.dll"), c), Line("ERROR", kUndone, L"2")}, false, {}},
        {"the commit", {{eStepCommit, 1}}, 4,
         {Line("ERROR", kJournalFailed, JournalPath(), c), Line("ERROR", kUndone, L"3")}, false, {}},
        // The rollback itself fails: the journal keeps what is left to undo.
        {"putting an old file back", {{eStepFinalRename, 4}, {eStepPutBack, 1}}, 4,
         {Line("ERROR", kPutInPlaceFailed, Target(L"d.dll"), c), Line("ERROR", kNotPutBack, Target(L"b.dll"), c),
          Line("ERROR", kUndone, L"1")},
         true, {Line("WARNING", kRestored, Target(L"b.dll")), Line("WARNING", kRecoveredUndone, L"1")}},
        // The added file keeps its staged name as proof that it is the run's,
        // so the recovery removes it.
        {"removing the added file", {{eStepFinalRename, 4}, {eStepRemoveAdded, 1}}, 4,
         {Line("ERROR", kPutInPlaceFailed, Target(L"d.dll"), c),
          Line("ERROR", UpdateMessages::kAddedNotRemoved, Target(L"c.dll"), c), Line("ERROR", kUndone, L"2")},
         true, {Line("WARNING", kRecoveredUndone, L"0")}},
        // The recovery fails too, once: its journal stays for the next attempt.
        {"putting back in the rollback and in the recovery", {{eStepFinalRename, 4}, {eStepPutBack, 1}, {eStepPutBack, 3}},
         4,
         {Line("ERROR", kPutInPlaceFailed, Target(L"d.dll"), c), Line("ERROR", kNotPutBack, Target(L"b.dll"), c),
          Line("ERROR", kUndone, L"1")},
         true,
         {Line("ERROR", kNotPutBack, Target(L"b.dll"), c), Line("ERROR", kRecoveryFailed, JournalPath()),
          Line("WARNING", kRestored, Target(L"b.dll")), Line("WARNING", kRecoveredUndone, L"1")}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.what);
        const Outcome outcome = RunWithFaults(testCase.faults);
        EXPECT_FALSE(outcome.result);
        EXPECT_EQ(testCase.journalLeft, outcome.journalLeft);
        ExpectOldVersion();
        EXPECT_EQ(Joined(Updating(testCase.updating), testCase.lines), outcome.lines);
        EXPECT_EQ(testCase.recoveryLines, outcome.recoveryLines);
    }
}

TEST_F(ReplaceFaults, StepsThatOnlyWarn_InstallTheNewVersion)
{
    const std::string codeText = std::to_string(kInjected);
    const std::wstring wcode(codeText.begin(), codeText.end());
    const struct
    {
        const char* what;
        std::vector<Fault> faults;
        std::vector<std::string> lines;
        bool journalLeft;
        std::vector<std::string> recoveryLines;
        bool unstamped; // b.dll keeps the time it was written at
    } cases[] = {
        {"time stamp of the second file", {{eStepStampNew, 1, L"\\1.new"}},
         {Line("WARNING", kStampFailed, Target(L"b.dll"), wcode.c_str())}, false, {}, true},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.what);
        const Outcome outcome = RunWithFaults(testCase.faults);
        EXPECT_TRUE(outcome.result);
        EXPECT_EQ(testCase.journalLeft, outcome.journalLeft);
        if (testCase.unstamped) {
            EXPECT_NE(ExpectedFileTime(1500000000), BasicInfo(Target(L"b.dll")).LastWriteTime.QuadPart);
        }
        for (const wchar_t* name : {L"a.dll", L"b.dll", L"c.dll", L"d.dll"})
            EXPECT_EQ("new " + WideToAnsi(name).substr(0, 1), Bytes(name));
        EXPECT_EQ(std::vector<std::wstring>(),
                  Leftovers({L"a.dll", L"b.dll", L"c.dll", L"d.dll", L"x.dll.new", L"y.dll.bak"}));
        std::vector<std::string> expectedLines = Updating(4);
        // A warning follows the line of its file.
        expectedLines.insert(expectedLines.begin() + 2, testCase.lines.begin(), testCase.lines.end());
        EXPECT_EQ(expectedLines, outcome.lines);
        EXPECT_EQ(testCase.recoveryLines, outcome.recoveryLines);
    }
}

// A backup that cannot be deleted after the commit (a program still runs
// from it, say) keeps no journal: the update stands, the backup waits in the
// leftovers record beside the journal with the run's folder, and a later
// run deletes both.
TEST_F(ReplaceFaults, BackupNotDeletedAfterTheCommit_LeftForLaterWithoutAJournal)
{
    const Outcome outcome = RunWithFaults({{eStepDeleteBackup, 1}});
    EXPECT_TRUE(outcome.result);
    EXPECT_FALSE(outcome.journalLeft);
    for (const wchar_t* name : {L"a.dll", L"b.dll", L"c.dll", L"d.dll"})
        EXPECT_EQ("new " + WideToAnsi(name).substr(0, 1), Bytes(name));
    ASSERT_EQ(Updating(4).size() + 1, outcome.lines.size());
    EXPECT_EQ(0u, outcome.lines.back().find("WARNING " + Cp1251(UpdateMessages::kLeftoverKept)))
        << outcome.lines.back();
    EXPECT_EQ(std::vector<std::string>(), outcome.recoveryLines);
    const std::vector<std::wstring> left = Leftovers({L"a.dll", L"b.dll", L"c.dll", L"d.dll", L"x.dll.new", L"y.dll.bak"});
    ASSERT_EQ(1u, left.size());
    EXPECT_EQ(0u, left[0].find(L".~qx"));

    const std::wstring record = LeftoversPathFor(JournalPath());
    EXPECT_TRUE(PathExists(record));
    {
        CLogCapture log;
        EXPECT_TRUE(DeleteLeftovers(record));
        ASSERT_EQ(1u, log.Lines().size());
        EXPECT_EQ(0u, log.Lines()[0].find("INFO " + Cp1251(UpdateMessages::kLeftoverDeleted))) << log.Lines()[0];
    }
    EXPECT_FALSE(PathExists(record));
    EXPECT_EQ(std::vector<std::wstring>(),
              Leftovers({L"a.dll", L"b.dll", L"c.dll", L"d.dll", L"x.dll.new", L"y.dll.bak"}));
}

// What a run killed at some point leaves, as its journal and the folder
// record it, and what the recovery makes of it: the old version where the run
// had not committed, the new one where it had; names the journal does not
// record are never touched, nor is a file under the name of one the run adds
// unless it is the very file the run staged (its staged name a second name
// of it).
TEST_F(ReplaceFaults, JournalOfAKilledRun_RecoveryLeavesOneVersion)
{
    enum class Version { kOld, kNew };
    // cStaged: a second name of c.dll, as the swap leaves an added file.
    static const char kLinkedToC[] = "<link to c.dll>";
    const struct
    {
        const char* what;
        const char* journalTail; // after the entries
        const char* a;           // a.dll; nullptr: absent
        const char* aBackup;     // a.dll's backup
        const char* aStaged;     // a.dll's staged file
        const char* c;           // c.dll (added by the run)
        const char* cStaged;
        Version after;
        int restored;        // old versions put back; -1: the run had committed
        const char* cAfter;  // c.dll after the recovery; nullptr: absent
    } cases[] = {
        {"cut short while written", "", "old a", nullptr, nullptr, nullptr, nullptr, Version::kOld, -2, nullptr},
        {"killed while staging", "end\r\n", "old a", nullptr, "ne", nullptr, "new c", Version::kOld, 0, nullptr},
        {"killed between the two renames", "end\r\n", nullptr, "old a", "new a", nullptr, "new c", Version::kOld, 1,
         nullptr},
        {"killed after the swap of both", "end\r\n", "new a", "old a", nullptr, "new c", kLinkedToC, Version::kOld, 1,
         nullptr},
        {"commit line cut short", "end\r\ncomm", "new a", "old a", nullptr, "new c", kLinkedToC, Version::kOld, 1,
         nullptr},
        {"killed after the commit", "end\r\ncommit\r\n", "new a", "old a", nullptr, "new c", kLinkedToC,
         Version::kNew, -1, "new c"},
        {"killed while deleting backups", "end\r\ncommit\r\n", "new a", nullptr, nullptr, "new c", nullptr,
         Version::kNew, -1, "new c"},
        // The application wrote a file under the name after the load: the
        // swap could not add c.dll, and the file stays whatever the journal says.
        {"name taken before the swap, killed staging", "end\r\n", "old a", nullptr, "ne", "user c", "new c",
         Version::kOld, 0, "user c"},
        {"name taken before the swap, killed after the swap of a", "end\r\n", "new a", "old a", nullptr, "user c",
         "new c", Version::kOld, 1, "user c"},
        // Taken after a kill that came before the staging.
        {"name taken, nothing staged", "end\r\n", "old a", nullptr, nullptr, "user c", nullptr, Version::kOld, 0,
         "user c"},
    };
    const std::wstring aBackup = Target(L"a.dll.~qx0badf00d.0.old");
    const std::wstring aStaged = Target(L"a.dll.~qx0badf00d.0.new");
    const std::wstring cStaged = Target(L"c.dll.~qx0badf00d.1.new");
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.what);
        OldVersion();
        SetFileAttributesW(Target(L"a.dll").c_str(), FILE_ATTRIBUTE_NORMAL);
        const std::pair<std::wstring, const char*> files[] = {{Target(L"a.dll"), testCase.a},
                                                              {aBackup, testCase.aBackup},
                                                              {aStaged, testCase.aStaged},
                                                              {Target(L"c.dll"), testCase.c},
                                                              {cStaged, testCase.cStaged}};
        for (const auto& file : files)
            DeleteFileW(file.first.c_str());
        for (const auto& file : files) {
            if (file.second == kLinkedToC) {
                ASSERT_TRUE(CreateHardLinkW(file.first.c_str(), Target(L"c.dll").c_str(), nullptr));
            } else if (file.second != nullptr) {
                ASSERT_TRUE(WriteBytes(file.first, file.second));
            }
        }
        std::string journal = "QXUpdateJournal 1\r\n";
        if (testCase.journalTail[0] != '\0') {
            journal += "R\t" + WideToUtf8(Target(L"a.dll")) + "\t" + WideToUtf8(aStaged) + "\t" + WideToUtf8(aBackup) +
                       "\r\nA\t" + WideToUtf8(Target(L"c.dll")) + "\t" + WideToUtf8(cStaged) + "\t\r\n";
        } else {
            journal += "R\t" + WideToUtf8(Target(L"a.dll")); // cut short mid-line
        }
        journal += testCase.journalTail;
        ASSERT_TRUE(WriteBytes(JournalPath(), journal));

        std::vector<std::string> lines;
        {
            CLogCapture log;
            EXPECT_TRUE(RecoverInterruptedUpdate(JournalPath()));
            lines = WithoutStoryLines(log.Lines());
        }
        EXPECT_FALSE(PathExists(JournalPath()));
        EXPECT_EQ(testCase.after == Version::kOld ? "old a" : "new a", Bytes(L"a.dll"));
        EXPECT_EQ(testCase.cAfter != nullptr ? testCase.cAfter : "<missing>", Bytes(L"c.dll"));
        EXPECT_EQ("own x", Bytes(L"x.dll.new"));
        EXPECT_EQ("own y", Bytes(L"y.dll.bak"));
        std::vector<std::wstring> expected = {L"a.dll", L"b.dll", L"d.dll", L"x.dll.new", L"y.dll.bak"};
        if (testCase.cAfter != nullptr)
            expected.push_back(L"c.dll");
        EXPECT_EQ(std::vector<std::wstring>(), Leftovers(expected));
        std::vector<std::string> expectedLines;
        if (testCase.restored == -1)
            expectedLines.push_back(Line("WARNING", kRecoveredFinished, L""));
        if (testCase.restored >= 0) {
            // Undone in reverse order: c.dll first.
            if (testCase.c != nullptr && testCase.cAfter != nullptr)
                expectedLines.push_back(Line("WARNING", UpdateMessages::kNotOurs, Target(L"c.dll")));
            if (testCase.restored == 1)
                expectedLines.push_back(Line("WARNING", kRestored, Target(L"a.dll")));
            expectedLines.push_back(Line("WARNING", kRecoveredUndone, std::to_wstring(testCase.restored)));
        }
        EXPECT_EQ(expectedLines, lines);
    }
}

// Removals and new folders are changes of the transaction: made when every
// item succeeds (with the folders that removals leave empty), all undone when
// one fails.
TEST_F(AppFileReplacement, RemovalsAndNewFolders_MadeTogetherOrNotAtAll)
{
    const struct
    {
        const char* what;
        bool lastFails;
    } cases[] = {
        {"every item succeeds", false},
        {"the last item fails", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        NewRun();
        RemoveTree(Target(L"old"));
        RemoveTree(Target(L"new"));
        DeleteFileW(Target(L"last.dll").c_str());
        ASSERT_TRUE(CreateDirectoryW(Target(L"old").c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(Target(L"old\\deep").c_str(), nullptr));
        ASSERT_TRUE(WriteBytes(Target(L"old\\deep\\gone.dll"), "removed"));
        ASSERT_TRUE(WriteBytes(Target(L"old\\kept.txt"), "the application's own"));
        ASSERT_TRUE(WriteBytes(Target(L"last.dll"), "old last"));
        Item("new\\nested\\added.dll", "added");
        CUpdateFileItem& removal = Item("old\\deep\\gone.dll", nullptr);
        removal.doUpdate = false;
        removal.doRemove = true;
        CUpdateFileItem& absent = Item("never-there.dll", nullptr);
        absent.doUpdate = false;
        absent.doRemove = true;
        Item("last.dll", "new last", 8);
        // The last item fails in the swap, after the removals and the new folders.
        static const wchar_t kLast[] = L"\\last.dll";
        SetReplaceFaultHook(c.lastFails ? &FailFinalRename : nullptr, const_cast<wchar_t*>(kLast));
        EXPECT_EQ(!c.lastFails, Update());
        SetReplaceFaultHook(nullptr, nullptr);
        if (c.lastFails) {
            EXPECT_EQ("removed", Bytes(L"old\\deep\\gone.dll"));
            EXPECT_EQ("old last", Bytes(L"last.dll"));
            EXPECT_FALSE(PathExists(Target(L"new")));
        } else {
            EXPECT_FALSE(PathExists(Target(L"old\\deep")));
            EXPECT_EQ("added", Bytes(L"new\\nested\\added.dll"));
            EXPECT_EQ("new last", Bytes(L"last.dll"));
        }
        // A folder that still holds a file of the application stays.
        EXPECT_EQ("the application's own", Bytes(L"old\\kept.txt"));
        EXPECT_FALSE(PathExists(Target(L"never-there.dll")));
        std::vector<std::wstring> expected = {L"old", L"last.dll"};
        if (!c.lastFails)
            expected.push_back(L"new");
        EXPECT_EQ(std::vector<std::wstring>(), Leftovers(expected));
        EXPECT_FALSE(PathExists(JournalPath()));
    }
}
