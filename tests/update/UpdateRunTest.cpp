// Update runs of the real executable: a manifest and downloads in, the
// application folder and the update-run log out.
#include "update/EngineMessages.h"
#include "update/ManifestText.h"

#include "platform/Handles.h"
#include "platform/Md5.h"
#include "support/TestSupport.h"
#include "support/UpdateRunFolder.h"

#include "update/UpdateMessages.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using namespace EngineMessages;
using namespace ManifestText;

namespace {

const wchar_t kLogStart[] = L"Начало логирования";
// Logged by RunUpdatedApp when the manifest's program cannot be started; the
// runs below name one that does not exist, so the line shows that it was called.
const wchar_t* const kStartFailed = UpdateMessages::kStartFailed;
const wchar_t kAppToRun[] = L"after-update.exe";

// Time stamp of the manifests below: 2017-07-14 02:40:00 local wall-clock time.
const int64_t kModified = 1500000000;

// The creation, last-access and last-write times as kernel32 reads them. The
// change time is left out: under Wine it is the Linux ctime, which only the
// kernel sets.
struct FileTimes
{
    LONGLONG creation = 0;
    LONGLONG access = 0;
    LONGLONG write = 0;
};

LONGLONG Value(const FILETIME& time)
{
    return (static_cast<LONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FileTimes TimesOf(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return FileTimes{};
    return FileTimes{Value(data.ftCreationTime), Value(data.ftLastAccessTime), Value(data.ftLastWriteTime)};
}

bool SetTimes(const std::wstring& path, LONGLONG value)
{
    CHandle file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const FILETIME time{static_cast<DWORD>(value & 0xFFFFFFFF), static_cast<DWORD>(value >> 32)};
    return file && SetFileTime(file.Get(), &time, &time, &time);
}

// The UTC file time that a manifest time stamp stands for: local wall-clock
// seconds since 1970 with the zone's bias (the test zone has no daylight saving).
LONGLONG ManifestFileTime(int64_t modified)
{
    TIME_ZONE_INFORMATION zone{};
    GetTimeZoneInformation(&zone);
    return (modified + 11644473600LL + static_cast<LONGLONG>(zone.Bias) * 60) * 10000000LL;
}

// 2001-02-03 04:05:06 UTC: the times that files present before a run carry.
const LONGLONG kOldTime = 126256467060000000LL;

// The shared update-run folder, with what the engine wrote, as the scenarios
// compare it.
class CRunFolder : public CUpdateRunFolder
{
public:
    // "LEVEL message" of every line of the logger, in order.
    std::vector<std::string> LevelAndMessageLines() const
    {
        std::vector<std::string> lines;
        for (const std::string& line : m_log) {
            const size_t marker = line.find(" [default] ");
            if (marker == std::string::npos)
                continue;
            const size_t levelStart = line.rfind(' ', marker - 1) + 1;
            lines.push_back(line.substr(levelStart, marker - levelStart) + " " + line.substr(marker + 11));
        }
        return lines;
    }

    // "LEVEL message" of every line, in order, without the first line, the
    // start of the manifest's program and the run's account of itself: what
    // the update engine wrote about the files.
    std::vector<std::string> EngineLines() const
    {
        std::vector<std::string> lines;
        for (const std::string& line : LevelAndMessageLines()) {
            const std::string message = line.substr(line.find(' ') + 1);
            if (message == Cp1251(kLogStart) ||
                message.compare(0, Cp1251(kStartFailed).size(), Cp1251(kStartFailed)) == 0 || IsStoryLine(line))
                continue;
            lines.push_back(line);
        }
        return lines;
    }

    // True when RunUpdatedApp tried to start the manifest's program.
    bool StartedApp() const { return LogText().find(Cp1251(kStartFailed)) != std::string::npos; }
};

std::string Narrow(const std::wstring& text)
{
    return Cp1251(text);
}

// A copy of the stand-in program (tests/helpers) that opens a file without
// sharing and keeps it open until it is ended; ended on destruction.
class CFileHolder
{
public:
    CFileHolder() = default;
    ~CFileHolder() { End(); }
    CFileHolder(const CFileHolder&) = delete;
    CFileHolder& operator=(const CFileHolder&) = delete;

    // Starts the holder from folder and waits until the file is held.
    bool Hold(const std::wstring& folder, const std::wstring& path)
    {
        const std::wstring program = folder + L"QXStandIn.exe";
        const std::wstring record = folder + L"QXStandIn.log";
        if (!CopyFileW((TestBinaryFolder() + L"QXStandIn.exe").c_str(), program.c_str(), FALSE))
            return false;
        // The record file tells when the file has been opened; its name is
        // fixed here, whatever the environment of this process holds.
        if (!m_process.Start(QuoteArgument(program) + L" --hold " + QuoteArgument(path), folder,
                             {{L"QX_STANDIN_RECORD", record}}))
            return false;
        for (int attempt = 0; attempt < 400; ++attempt) {
            if (ReadBytes(record).value_or("").find("start\t") == 0)
                return IsHeld(path);
            Sleep(25);
        }
        return false;
    }

    void End() { m_process.Terminate(); }
    DWORD Id() const { return m_process.Id(); }

private:
    static bool IsHeld(const std::wstring& path)
    {
        CHandle probe(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
        return !probe.IsValid() && GetLastError() == ERROR_SHARING_VIOLATION;
    }

    CChildProcess m_process;
};

// ---------------------------------------------------------------------------
// Scenarios: the application folder before, the downloads, the items; the
// application folder after, the engine's log lines and the run's result.

enum class Stamp
{
    kOwn,      // the times it had before the run (kOldTime)
    kManifest, // the manifest's time stamp of its item
    kRecent,   // the moment of the write: no stamp was applied
    kNone,     // a folder: not checked
};

struct AppFile
{
    std::wstring name;
    const char* content; // nullptr: a folder
    Stamp stamp = Stamp::kOwn;
    DWORD attributes = 0; // read-only or not, before and after
    int64_t modified = kModified;
};

struct Download
{
    std::wstring path; // below the run folder, e.g. upd\a.dll
    std::string content;
};

struct LogLine
{
    const char* level;
    std::wstring text; // {upd} and {app} stand for the manifest's folders
};

enum class Encoding
{
    kUtf8Declared,
    kUtf8Bare,
    kUtf16Bom,
};

struct Scenario
{
    const char* name;
    std::vector<AppFile> before;
    std::vector<Download> downloads;
    std::wstring items;
    std::wstring count;
    std::vector<AppFile> after; // the whole application folder
    std::vector<LogLine> lines; // every line of the engine, in order
    bool startsApp;             // the run went on to RunUpdatedApp
    bool updateFolderWithoutBackslash = false;
    Encoding encoding = Encoding::kUtf8Declared;
};

std::wstring Item(int index, const std::wstring& name, size_t size, const std::wstring& isUpdate = L"1",
                  const std::wstring& tempName = L"", const std::wstring& modified = std::to_wstring(kModified))
{
    return ItemElement(index, name, size, isUpdate, modified, tempName);
}

std::wstring Replace(std::wstring text, const std::wstring& what, const std::wstring& with)
{
    for (size_t at = text.find(what); at != std::wstring::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
    return text;
}

std::string ManifestBytes(const std::wstring& xml, Encoding encoding)
{
    switch (encoding) {
    case Encoding::kUtf8Bare:
        return Utf8(xml);
    case Encoding::kUtf16Bom: {
        const std::wstring text = L"\xFEFF<?xml version=\"1.0\" encoding=\"utf-16\"?>" + xml;
        return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    }
    case Encoding::kUtf8Declared:
    default:
        return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n" + Utf8(xml);
    }
}

const Scenario kScenarios[] = {
    {"NewReadOnlyStaleSkippedAndTempName_InstalledAndStamped",
     {{L"app.exe", "old app", Stamp::kOwn, FILE_ATTRIBUTE_READONLY},
      {L"app.exe.old", "stale backup"},
      {L"settings.cfg", "kept"}},
     {{L"upd\\app.exe", "new app"}, {L"upd\\lib.dll.part", "new library"}, {L"upd\\settings.cfg", "replaced"}},
     Item(0, L"app.exe", 7) + Item(1, L"lib.dll", 11, L"yes", L"lib.dll.part") + Item(2, L"settings.cfg", 8, L"0"),
     L"3",
     {{L"app.exe", "new app", Stamp::kManifest},
      // A file under the old backup name is the application's own: it stays.
      {L"app.exe.old", "stale backup", Stamp::kOwn},
      {L"lib.dll", "new library", Stamp::kManifest},
      {L"settings.cfg", "kept", Stamp::kOwn}},
     {{"INFO", kUpdating + std::wstring(L"{upd}app.exe")},
      {"INFO", kUpdating + std::wstring(L"{upd}lib.dll")},
      {"INFO", kSkipped + std::wstring(L"settings.cfg")}},
     true},

    {"SizeOneByteShort_NothingReplaced",
     {{L"a.dll", "old a"}, {L"b.dll", "old b"}},
     {{L"upd\\a.dll", "1234"}, {L"upd\\b.dll", "new b"}},
     Item(0, L"a.dll", 5) + Item(1, L"b.dll", 5),
     L"2",
     {{L"a.dll", "old a"}, {L"b.dll", "old b"}},
     {{"ERROR", kDiscrepancy + std::wstring(L"a.dll: размер 4 байт вместо 5")}},
     true},

    {"CountWithGaps_PresentItemsInIndexOrder",
     {},
     {{L"upd\\a.dll", "a"}, {L"upd\\c.dll", "c"}, {L"upd\\e.dll", "e"}, {L"upd\\beyond.dll", "b"}},
     Item(4, L"e.dll", 1) + Item(0, L"a.dll", 1) + Item(7, L"beyond.dll", 1) + Item(2, L"c.dll", 1),
     L"5",
     {{L"a.dll", "a", Stamp::kManifest}, {L"c.dll", "c", Stamp::kManifest}, {L"e.dll", "e", Stamp::kManifest}},
     {{"INFO", kUpdating + std::wstring(L"{upd}a.dll")},
      {"INFO", kUpdating + std::wstring(L"{upd}c.dll")},
      {"INFO", kUpdating + std::wstring(L"{upd}e.dll")}},
     true},

    {"HugeCount_PresentItemsInstalled",
     {},
     {{L"upd\\a.dll", "a"}, {L"upd\\b.dll", "b"}, {L"upd\\z.dll", "z"}},
     Item(0, L"a.dll", 1) + Item(2147483646, L"z.dll", 1) + Item(1, L"b.dll", 1),
     L"2147483647",
     {{L"a.dll", "a", Stamp::kManifest}, {L"b.dll", "b", Stamp::kManifest}, {L"z.dll", "z", Stamp::kManifest}},
     {{"INFO", kUpdating + std::wstring(L"{upd}a.dll")},
      {"INFO", kUpdating + std::wstring(L"{upd}b.dll")},
      {"INFO", kUpdating + std::wstring(L"{upd}z.dll")}},
     true},

    {"NegativeCount_NoItems",
     {{L"a.dll", "old"}},
     {{L"upd\\a.dll", "new"}},
     Item(0, L"a.dll", 3),
     L"-1",
     {{L"a.dll", "old"}},
     {},
     true},

    {"NonNumericCount_NoItems",
     {{L"a.dll", "old"}},
     {{L"upd\\a.dll", "new"}},
     Item(0, L"a.dll", 3),
     L"three",
     {{L"a.dll", "old"}},
     {},
     true},

    // "...\upd" and "a.dll" name "...\upda.dll".
    {"UpdateFolderWithoutBackslash_JoinedByPlainConcatenation",
     {},
     {{L"upda.dll", "joined"}, {L"upd\\a.dll", "inside"}},
     Item(0, L"a.dll", 6),
     L"1",
     {{L"a.dll", "joined", Stamp::kManifest}},
     {{"INFO", kUpdating + std::wstring(L"{upd}a.dll")}},
     true,
     true},

    // The second cannot take its name (a folder stands there): the first is put back.
    {"SecondOfThreeFails_WholeUpdateUndone",
     {{L"one.dll", "old one"}, {L"two.dll", nullptr}, {L"three.dll", "old three"}},
     {{L"upd\\one.dll", "new one"}, {L"upd\\two.dll", "new two"}, {L"upd\\three.dll", "new three"}},
     Item(0, L"one.dll", 7) + Item(1, L"two.dll", 7) + Item(2, L"three.dll", 9),
     L"3",
     {{L"one.dll", "old one", Stamp::kOwn}, {L"two.dll", nullptr, Stamp::kNone}, {L"three.dll", "old three", Stamp::kOwn}},
     {{"INFO", kUpdating + std::wstring(L"{upd}one.dll")},
      {"INFO", kUpdating + std::wstring(L"{upd}two.dll")},
      {"ERROR", kPutInPlaceFailed + std::wstring(L"{app}two.dll") + kCode + L"183"},
      {"ERROR", kUndone + std::wstring(L"1")}},
     false},

    {"FolderUnderTargetName_ItemFailsFolderKept",
     {{L"data", nullptr}},
     {{L"upd\\data", "file"}, {L"upd\\next.dll", "next"}},
     Item(0, L"data", 4) + Item(1, L"next.dll", 4),
     L"2",
     {{L"data", nullptr, Stamp::kNone}},
     {{"INFO", kUpdating + std::wstring(L"{upd}data")},
      {"ERROR", kPutInPlaceFailed + std::wstring(L"{app}data") + kCode + L"183"},
      {"ERROR", kUndone + std::wstring(L"0")}},
     false},

    {"SizeZero_EmptyFilesWritten",
     {{L"empty.txt", "old"}},
     {{L"upd\\empty.txt", ""}},
     Item(0, L"empty.txt", 0) + Item(1, L"never-downloaded.txt", 0),
     L"2",
     {{L"empty.txt", "", Stamp::kManifest}, {L"never-downloaded.txt", "", Stamp::kManifest}},
     {{"INFO", kUpdating + std::wstring(L"{upd}empty.txt")},
      {"INFO", kUpdating + std::wstring(L"{upd}never-downloaded.txt")}},
     true},

    // Names with capital letters, as the disk has them or in another case:
    // the file is replaced, never added beside itself.
    {"NameWithCapitals_Replaced",
     {{L"App.dll", "old"}},
     {{L"upd\\App.dll", "new"}},
     Item(0, L"App.dll", 3),
     L"1",
     {{L"App.dll", "new", Stamp::kManifest}},
     {{"INFO", kUpdating + std::wstring(L"{upd}App.dll")}},
     true},

    {"NameInAnotherCaseThanOnDisk_Replaced",
     {{L"App.dll", "old"}, {L"Sub", nullptr}, {L"Sub\\Lib.DLL", "old lib"}},
     {{L"upd\\app.DLL", "new"}, {L"upd\\lib.dll", "new lib"}},
     Item(0, L"app.DLL", 3) + Item(1, L"SUB\\lib.dll", 7, L"1", L"lib.dll"),
     L"2",
     {{L"App.dll", "new", Stamp::kManifest}, {L"Sub", nullptr, Stamp::kNone}},
     {{"INFO", kUpdating + std::wstring(L"{upd}app.DLL")}, {"INFO", kUpdating + std::wstring(L"{upd}SUB\\lib.dll")}},
     true},

    // An earlier version was killed between its move and its write: its
    // whole old version "a.dll.old" goes with the update that installs a.dll.
    {"BackupWithoutTarget_RemovedWithTheUpdate",
     {{L"a.dll.old", "old a"}},
     {{L"upd\\a.dll", "new a"}},
     Item(0, L"a.dll", 5),
     L"1",
     {{L"a.dll", "new a", Stamp::kManifest}},
     {{"WARNING", UpdateMessages::kLegacyBackup + std::wstring(L"{app}a.dll.old")},
      {"INFO", UpdateMessages::kRemoving + std::wstring(L"{app}a.dll.old")},
      {"INFO", kUpdating + std::wstring(L"{upd}a.dll")}},
     true},

    // Refused: nothing is touched, the old version's copy included.
    {"BackupWithoutTargetAndNoDownload_RefusedNothingTouched",
     {{L"b.dll.old", "old b"}},
     {},
     Item(0, L"b.dll", 5),
     L"1",
     {{L"b.dll.old", "old b", Stamp::kOwn}},
     {{"ERROR", kRefused + std::wstring(L"файл для установки не найден: b.dll")}},
     true},

    // Opening a device name would block on it or write to it.
    {"DeviceNames_Refused",
     {{L"a.dll", "old"}},
     {{L"upd\\a.dll", "new"}},
     Item(0, L"a.dll", 3) + Item(1, L"aux.txt", 0) + Item(2, L"NUL", 0) + Item(3, L"sub\\con\\x.dll", 3) +
         Item(4, L"Lpt1 .log", 3) + Item(5, L"x.dll", 3, L"1", L"com9.tmp") + Item(6, L"prn", 0, L"0") +
         XmlElement(L"I7", {{L"FileName", L"CONOUT$"}, {L"isUpdate", L"0"}, {L"isRemove", L"1"}}),
     L"8",
     {{L"a.dll", "old"}},
     {{"ERROR", kRefused + std::wstring(UpdateMessages::kRefusedDevice) + L"aux.txt"},
      {"ERROR", kRefused + std::wstring(UpdateMessages::kRefusedDevice) + L"NUL"},
      {"ERROR", kRefused + std::wstring(UpdateMessages::kRefusedDevice) + L"sub\\con\\x.dll"},
      {"ERROR", kRefused + std::wstring(UpdateMessages::kRefusedDevice) + L"Lpt1 .log"},
      {"ERROR", kRefused + std::wstring(UpdateMessages::kRefusedDevice) + L"x.dll"},
      {"ERROR", kRefused + std::wstring(UpdateMessages::kRefusedDevice) + L"CONOUT$"}},
     true},

    // The run's own folders in the application folder are not the manifest's.
    {"RunFolderName_Refused",
     {{L"a.dll", "old"}},
     {{L"upd\\a.dll", "new"}},
     Item(0, L"a.dll", 3) + Item(1, L".~qx0badf00d\\0\\0.new", 0) +
         XmlElement(L"I2", {{L"FileName", L".~QX12345678"}, {L"isUpdate", L"0"}, {L"isRemove", L"1"}}),
     L"3",
     {{L"a.dll", "old"}},
     {{"ERROR", kRefused + std::wstring(UpdateMessages::kRefusedOwnName) + L".~qx0badf00d\\0\\0.new"},
      {"ERROR", kRefused + std::wstring(UpdateMessages::kRefusedOwnName) + L".~QX12345678"}},
     true},

    // Folders are not removed as files; the rest of the update goes on.
    {"RemovalOfAFolder_LeftWithAWarning",
     {{L"plug", nullptr}, {L"a.dll", "old"}},
     {{L"upd\\a.dll", "new"}},
     Item(0, L"a.dll", 3) + XmlElement(L"I1", {{L"FileName", L"plug"}, {L"isUpdate", L"0"}, {L"isRemove", L"1"}}),
     L"2",
     {{L"plug", nullptr, Stamp::kNone}, {L"a.dll", "new", Stamp::kManifest}},
     {{"WARNING", UpdateMessages::kRemoveIsFolder + std::wstring(L"{app}plug")},
      {"INFO", kUpdating + std::wstring(L"{upd}a.dll")}},
     true},

    // A file where a new file's folder must be: the item fails, saying why.
    {"FileWhereAFolderMustBe_FailsSayingSo",
     {{L"sub", "a file"}},
     {{L"upd\\x.dll", "new"}},
     Item(0, L"sub\\x.dll", 3, L"1", L"x.dll"),
     L"1",
     {{L"sub", "a file"}},
     {{"ERROR", UpdateMessages::kFolderNotCreated + std::wstring(L"{app}sub: ") +
                    UpdateMessages::kFileInPlaceOfFolder + kCode + L"183"},
      {"ERROR", kUndone + std::wstring(L"0")}},
     false},

    // Marked for update, but its download is missing: there is nothing to write.
    {"DownloadMissing_RefusedNothingTouched",
     {{L"app.exe", "old app"}},
     {},
     Item(0, L"app.exe", 5),
     L"1",
     {{L"app.exe", "old app", Stamp::kOwn}},
     {{"ERROR", kRefused + std::wstring(L"файл для установки не найден: app.exe")}},
     true},

    {"DownloadMissingUnderBothNames_RefusedNothingTouched",
     {{L"app.dll", "old", Stamp::kOwn, FILE_ATTRIBUTE_READONLY}},
     {},
     Item(0, L"app.dll", 3, L"1", L"app.tmp"),
     L"1",
     {{L"app.dll", "old", Stamp::kOwn, FILE_ATTRIBUTE_READONLY}},
     {{"ERROR", kRefused + std::wstring(L"файл для установки не найден: app.dll")}},
     true},

    // Updates that could only fail half-way, refused at the load: nothing is
    // touched, and only the failed load's start of the program follows.
    {"SameFileTwiceByCaseAndDotSlash_Refused",
     {{L"a.dll", "old"}},
     {{L"upd\\a.dll", "new"}, {L"upd\\A.DLL", "new"}},
     Item(0, L"a.dll", 3) + Item(1, L".\\A.DLL", 3),
     L"2",
     {{L"a.dll", "old"}},
     {{"ERROR", kRefused + std::wstring(L"файл указан в обновлении дважды: .\\A.DLL")}},
     true},

    {"SameFileTwiceByTrailingDot_Refused",
     {{L"a.dll", "old"}},
     {{L"upd\\a.dll", "new"}},
     Item(0, L"a.dll", 3) + Item(1, L"a.dll.", 3),
     L"2",
     {{L"a.dll", "old"}},
     {{"ERROR", kRefused + std::wstring(L"файл указан в обновлении дважды: a.dll.")}},
     true},

    {"NameLeavingTheFolder_Refused",
     {{L"a.dll", "old"}},
     {{L"upd\\a.dll", "new"}},
     Item(0, L"a.dll", 3) + Item(1, L"..\\outside.dll", 3) + Item(2, L"C:\\x.dll", 3) +
         Item(3, L"a.dll:stream", 3) + Item(4, L"sub\\..\\..\\up.dll", 3) + Item(5, L"sub/../../up2.dll", 3),
     L"6",
     {{L"a.dll", "old"}},
     {{"ERROR", kRefused + std::wstring(L"имя файла выходит за пределы папки: ..\\outside.dll")},
      {"ERROR", kRefused + std::wstring(L"имя файла выходит за пределы папки: C:\\x.dll")},
      {"ERROR", kRefused + std::wstring(L"имя файла выходит за пределы папки: a.dll:stream")},
      {"ERROR", kRefused + std::wstring(L"имя файла выходит за пределы папки: sub\\..\\..\\up.dll")},
      {"ERROR", kRefused + std::wstring(L"имя файла выходит за пределы папки: sub/../../up2.dll")}},
     true},

    // An empty file needs no download, but a digest that names other content is a discrepancy.
    {"EmptyFileWithoutDownloadButOtherDigest_Refused",
     {{L"a.dll", "old"}},
     {},
     XmlElement(L"I0", {{L"FileName", L"a.dll"}, {L"SizeByte", L"0"}, {L"isUpdate", L"1"},
                        {L"MD5", L"3793ea52a7be2d7deafd858fda50775c"}}),
     L"1",
     {{L"a.dll", "old"}},
     {{"ERROR", kDiscrepancy + std::wstring(L"a.dll: MD5 d41d8cd98f00b204e9800998ecf8427e вместо "
                                            L"3793ea52a7be2d7deafd858fda50775c")}},
     true},

    {"NegativeSize_CountsAsDiscrepancy",
     {{L"a.dll", "old"}},
     {{L"upd\\a.dll", "new"}},
     XmlElement(L"I0", {{L"FileName", L"a.dll"}, {L"SizeByte", L"-1"}, {L"isUpdate", L"1"}}),
     L"1",
     {{L"a.dll", "old"}},
     {{"ERROR", kDiscrepancy + std::wstring(L"a.dll: размер 3 байт вместо -1")}},
     true},

    // Only the low 32 bits of the size would match the 3-byte download.
    {"SizeAboveFourGiBWithMatchingLowBits_Refused",
     {{L"a.dll", "old"}},
     {{L"upd\\a.dll", "new"}},
     Item(0, L"a.dll", 4294967299u),
     L"1",
     {{L"a.dll", "old"}},
     {{"ERROR", kRefused + std::wstring(L"размер файла 4 ГиБ или больше: a.dll")}},
     true},

    {"NonNumericModified_StampedAsZero",
     {},
     {{L"upd\\a.dll", "new"}},
     Item(0, L"a.dll", 3, L"1", L"", L"soon"),
     L"1",
     {{L"a.dll", "new", Stamp::kManifest, 0, 0}},
     {{"INFO", kUpdating + std::wstring(L"{upd}a.dll")}},
     true},

    // Beyond what the time conversions accept: the times stay, without a message.
    {"UnconvertibleModified_TimesOfTheWriteKept",
     {{L"a.dll", "old"}},
     {{L"upd\\a.dll", "new"}},
     Item(0, L"a.dll", 3, L"1", L"", L"99999999999999999"),
     L"1",
     {{L"a.dll", "new", Stamp::kRecent}},
     {{"INFO", kUpdating + std::wstring(L"{upd}a.dll")}},
     true},

    {"Utf16ManifestWithByteOrderMark_Installed",
     {},
     {{L"upd\\a.dll", "a"}},
     Item(0, L"a.dll", 1),
     L"1",
     {{L"a.dll", "a", Stamp::kManifest}},
     {{"INFO", kUpdating + std::wstring(L"{upd}a.dll")}},
     true,
     false,
     Encoding::kUtf16Bom},

    {"Utf8ManifestWithoutDeclaration_Installed",
     {},
     {{L"upd\\a.dll", "a"}},
     Item(0, L"a.dll", 1),
     L"1",
     {{L"a.dll", "a", Stamp::kManifest}},
     {{"INFO", kUpdating + std::wstring(L"{upd}a.dll")}},
     true,
     false,
     Encoding::kUtf8Bare},
};

class UpdateRunScenario : public testing::TestWithParam<Scenario>
{
};

std::string ScenarioName(const testing::TestParamInfo<Scenario>& info)
{
    return info.param.name;
}

} // namespace

TEST_P(UpdateRunScenario, FilesTimesAndLog)
{
    const Scenario& scenario = GetParam();
    CRunFolder run;
    const std::wstring app = run.TargetFolder();
    std::wstring updateFolder = run.UpdateFolder();
    if (scenario.updateFolderWithoutBackslash)
        updateFolder.pop_back();

    for (const AppFile& file : scenario.before) {
        if (file.content == nullptr) {
            ASSERT_TRUE(CreateDirectoryW((app + file.name).c_str(), nullptr));
            continue;
        }
        ASSERT_TRUE(WriteBytes(app + file.name, file.content));
        ASSERT_TRUE(SetTimes(app + file.name, kOldTime));
        if (file.attributes != 0) {
            ASSERT_TRUE(SetFileAttributesW((app + file.name).c_str(), file.attributes));
        }
    }
    for (const Download& download : scenario.downloads)
        ASSERT_TRUE(WriteBytes(run.Root(download.path), download.content));
    const std::wstring xml = XmlElement(
        L"update", {},
        InfoElement(updateFolder, app, {{L"AppToRun", kAppToRun}}) + FilesElement(scenario.items, scenario.count));
    ASSERT_TRUE(WriteBytes(run.ManifestPath(), ManifestBytes(xml, scenario.encoding)));

    FILETIME start{};
    GetSystemTimeAsFileTime(&start);
    ASSERT_TRUE(run.Run(run.ManifestPath()));

    // Time stamps under a zone other than UTC, so that a bias applied the wrong
    // way or not at all shows.
    TIME_ZONE_INFORMATION zone{};
    GetTimeZoneInformation(&zone);
    EXPECT_NE(0, zone.Bias) << "run the tests in a zone other than UTC (scripts/env sets TZ=NOV-7)";
    for (const AppFile& file : scenario.after) {
        SCOPED_TRACE(Narrow(file.name));
        const FileTimes times = TimesOf(app + file.name);
        switch (file.stamp) {
        case Stamp::kOwn:
        case Stamp::kManifest: {
            const LONGLONG want = file.stamp == Stamp::kOwn ? kOldTime : ManifestFileTime(file.modified);
            EXPECT_EQ(want, times.creation);
            EXPECT_EQ(want, times.access);
            EXPECT_EQ(want, times.write);
            break;
        }
        case Stamp::kRecent:
            EXPECT_GE(times.write, Value(start) - 600000000LL);
            EXPECT_LE(times.write, Value(start) + 6000000000LL);
            break;
        case Stamp::kNone:
            break;
        }
        if (file.content != nullptr) {
            EXPECT_EQ(file.attributes, GetFileAttributesW((app + file.name).c_str()) & FILE_ATTRIBUTE_READONLY);
        }
    }

    // The whole application folder: contents, names, no stray backups. Read
    // after the times, since reading a file moves its last-access time.
    std::map<std::wstring, std::string> expected;
    for (const AppFile& file : scenario.after)
        expected[file.name] = file.content != nullptr ? file.content : "<folder>";
    EXPECT_EQ(expected, FolderContents(app)) << run.LogText();

    // Every line the engine wrote, as Windows-1251 bytes, in order.
    std::vector<std::string> lines;
    for (const LogLine& line : scenario.lines)
        lines.push_back(std::string(line.level) + " " +
                        Cp1251(Replace(Replace(line.text, L"{upd}", updateFolder), L"{app}", app)));
    EXPECT_EQ(lines, run.EngineLines()) << run.LogText();
    EXPECT_EQ(scenario.startsApp, run.StartedApp()) << run.LogText();
}

INSTANTIATE_TEST_SUITE_P(Installs, UpdateRunScenario, testing::ValuesIn(kScenarios), ScenarioName);

// A manifest that cannot be loaded: no file is touched, the load says why in
// error lines that name the manifest, and only RunUpdatedApp follows (which
// starts nothing when the manifest named no program).
TEST(UpdateRunLoad, UnusableManifest_NothingTouchedAndOnlyTheProgramStarted)
{
    const std::wstring lacksInfo = std::wstring(kManifestLacks) + L"update/info: ";
    const std::wstring lacksFiles = std::wstring(kManifestLacks) + L"update/files: ";
    const struct
    {
        const char* what;
        const wchar_t* manifest; // below the run folder
        std::wstring xml;        // {info} stands for a complete info element
        const char* raw;         // written when xml is empty; nullptr: nothing written
        // The start of each error line, the manifest's path and {rest} following it.
        std::vector<std::wstring> errors;
        bool startsApp;
    } cases[] = {
        {"missing manifest", L"missing.xml", L"", nullptr, {kManifestMissing + std::wstring(L"{path}: ")}, false},
        {"folder given as manifest", L"app", L"", nullptr, {kManifestIsFolder + std::wstring(L"{path}")}, false},
        {"malformed XML", L"update.xml", L"", "<update><info UpdateFolder=\"{upd}\"></update>",
         {kManifestNotParsed + std::wstring(L"{path}: ")}, false},
        {"no update element", L"update.xml",
         XmlElement(L"manifest", {}, L"{info}" + FilesElement(Item(0, L"a.dll", 3), 1)), nullptr,
         {lacksInfo + L"{path}", lacksFiles + L"{path}"}, false},
        {"no files element", L"update.xml", XmlElement(L"update", {}, L"{info}"), nullptr, {lacksFiles + L"{path}"},
         true},
        {"no info element", L"update.xml", XmlElement(L"update", {}, FilesElement(Item(0, L"a.dll", 3), 1)), nullptr,
         {lacksInfo + L"{path}"}, false},
        {"empty file", L"update.xml", L"", "", {kManifestNotParsed + std::wstring(L"{path}: ")}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CRunFolder run;
        const std::wstring app = run.TargetFolder();
        ASSERT_TRUE(WriteBytes(app + L"a.dll", "old"));
        ASSERT_TRUE(SetTimes(app + L"a.dll", kOldTime));
        ASSERT_TRUE(WriteBytes(run.UpdateFolder() + L"a.dll", "new"));
        const std::wstring info = InfoElement(run.UpdateFolder(), app, {{L"AppToRun", kAppToRun}});
        if (!c.xml.empty()) {
            ASSERT_TRUE(WriteBytes(run.Root(c.manifest), Utf8(Replace(c.xml, L"{info}", info))));
        } else if (c.raw != nullptr) {
            ASSERT_TRUE(WriteBytes(run.Root(c.manifest), c.raw));
        }
        ASSERT_TRUE(run.Run(run.Root(c.manifest)));

        const std::map<std::wstring, std::string> expected = {{L"a.dll", "old"}};
        EXPECT_EQ(expected, FolderContents(app));
        EXPECT_EQ(kOldTime, TimesOf(app + L"a.dll").write);
        const std::vector<std::string> lines = run.EngineLines();
        ASSERT_EQ(c.errors.size(), lines.size()) << run.LogText();
        for (size_t i = 0; i < lines.size(); ++i) {
            const std::string expected = "ERROR " + Cp1251(Replace(c.errors[i], L"{path}", run.Root(c.manifest)));
            EXPECT_EQ(expected, lines[i].substr(0, expected.size())) << run.LogText();
        }
        EXPECT_EQ(c.startsApp, run.StartedApp()) << run.LogText();
    }
}

// A name too long for the run's names beside it fails its item before its
// file is touched, and the whole update is undone; a file named ".old" in the
// application folder is the application's own.
TEST(UpdateRunLoad, NameBeyondLimits_WholeUpdateUndoneAndNothingElseTouched)
{
    CRunFolder run;
    const std::wstring app = run.TargetFolder();
    // Longer than the 255 characters a name part may have.
    const std::wstring overlongName = std::wstring(300, L'x') + L".dll";
    ASSERT_TRUE(WriteBytes(app + L"first.dll", "old"));
    ASSERT_TRUE(SetTimes(app + L"first.dll", kOldTime));
    ASSERT_TRUE(WriteBytes(app + L".old", "not a backup"));
    ASSERT_TRUE(WriteBytes(run.UpdateFolder() + L"first.dll", "new"));
    ASSERT_TRUE(WriteBytes(run.UpdateFolder() + L"next.dll", "next"));
    // Its download lies under a temporary name of ordinary length.
    ASSERT_TRUE(WriteBytes(run.UpdateFolder() + L"long.tmp", "new"));
    ASSERT_TRUE(WriteManifest(run.ManifestPath(),
                              InfoElement(run.UpdateFolder(), app, {{L"AppToRun", kAppToRun}}) +
                                  FilesElement(Item(0, L"first.dll", 3) + Item(1, overlongName, 3, L"1", L"long.tmp") +
                                                   Item(2, L"next.dll", 4),
                                               3)));
    ASSERT_TRUE(run.Run(run.ManifestPath()));

    const std::map<std::wstring, std::string> expected = {{L"first.dll", "old"}, {L".old", "not a backup"}};
    EXPECT_EQ(expected, FolderContents(app));
    EXPECT_EQ(kOldTime, TimesOf(app + L"first.dll").write);
    // Which step refuses the name, and its code, are the system's.
    const std::vector<std::string> lines = run.EngineLines();
    ASSERT_LE(4u, lines.size()) << run.LogText();
    EXPECT_EQ("INFO " + Cp1251(kUpdating + run.UpdateFolder() + L"first.dll"), lines[0]);
    EXPECT_EQ("INFO " + Cp1251(kUpdating + run.UpdateFolder() + overlongName), lines[1]);
    EXPECT_EQ(0u, lines[2].find("ERROR ")) << lines[2];
    EXPECT_NE(std::string::npos, lines[2].find(Cp1251(app + overlongName + kCode))) << lines[2];
    EXPECT_EQ("ERROR " + Cp1251(kUndone + std::wstring(L"1")), lines.back());
    EXPECT_FALSE(run.StartedApp());
}

// Another process holds one of twenty changed files open without sharing: it
// can be neither moved nor replaced, so the whole update is undone and every
// file stays the old version; once the file is released, the next run of the
// same manifest installs all twenty.
// A link in the application folder to a folder elsewhere: no change may go
// through it, whether it replaces, adds or removes; the rest of the update is
// refused with it, and the folder it leads to is left as it was.
TEST(UpdateRunLoad, LinkToAFolderElsewhere_RefusedNothingTouchedOnEitherSide)
{
    CRunFolder run;
    CTestFolder outside;
    const std::wstring app = run.TargetFolder();
    const std::wstring target = outside.Path().substr(0, outside.Path().size() - 1);
    ASSERT_TRUE(WriteBytes(app + L"a.dll", "old a"));
    ASSERT_TRUE(CreateDirectoryW((app + L"sub").c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(outside / L"x.dll", "outside x"));
    ASSERT_TRUE(WriteBytes(outside / L"victim.dll", "outside victim"));
    ASSERT_TRUE(MakeHostLink(app + L"link", target));
    ASSERT_TRUE(MakeHostLink(app + L"sub\\deep", target));
    for (const wchar_t* name : {L"a.dll", L"x.dll", L"planted.dll", L"y.dll"})
        ASSERT_TRUE(WriteBytes(run.UpdateFolder() + name, "new"));
    ASSERT_TRUE(WriteManifest(
        run.ManifestPath(),
        InfoElement(run.UpdateFolder(), app, {{L"AppToRun", kAppToRun}}) +
            FilesElement(ItemElement(0, L"a.dll", 3, L"1", L"1500000000") +
                             ItemElement(1, L"link\\x.dll", 3, L"1", L"1500000000", L"x.dll") +
                             ItemElement(2, L"link\\newdir\\planted.dll", 3, L"1", L"1500000000", L"planted.dll") +
                             RemovalElement(3, L"link\\victim.dll") +
                             ItemElement(4, L"sub\\deep\\y.dll", 3, L"1", L"1500000000", L"y.dll"),
                         5)));
    ASSERT_TRUE(run.Run(run.ManifestPath()));

    const std::map<std::wstring, std::string> outsideAfter = {{L"x.dll", "outside x"},
                                                              {L"victim.dll", "outside victim"}};
    EXPECT_EQ(outsideAfter, FolderContents(outside.Path()));
    EXPECT_EQ("old a", ReadBytes(app + L"a.dll").value_or("<missing>"));
    const std::vector<std::string> expected = {
        "ERROR " + Cp1251(kRefused + std::wstring(UpdateMessages::kRefusedLink) + L"link\\x.dll (" + app + L"link)"),
        "ERROR " + Cp1251(kRefused + std::wstring(UpdateMessages::kRefusedLink) + L"link\\newdir\\planted.dll (" +
                          app + L"link)"),
        "ERROR " + Cp1251(kRefused + std::wstring(UpdateMessages::kRefusedLink) + L"link\\victim.dll (" + app +
                          L"link)"),
        "ERROR " + Cp1251(kRefused + std::wstring(UpdateMessages::kRefusedLink) + L"sub\\deep\\y.dll (" + app +
                          L"sub\\deep)"),
    };
    EXPECT_EQ(expected, run.EngineLines()) << run.LogText();
    EXPECT_TRUE(RemoveHostLink(app + L"link"));
    EXPECT_TRUE(RemoveHostLink(app + L"sub\\deep"));
}

// A short 8.3 name of an application file is that file: replaced in place
// (not added beside it), and named twice with its long name it is a duplicate.
TEST(UpdateRunLoad, ShortNameOfAnApplicationFile_IsThatFile)
{
    // The system makes the same short name in every folder for the first long name.
    std::wstring shortName;
    {
        CTestFolder probe;
        ASSERT_TRUE(WriteBytes(probe / L"longfilename.dll", "x"));
        wchar_t shortPath[MAX_PATH] = {};
        ASSERT_NE(0u, GetShortPathNameW((probe / L"longfilename.dll").c_str(), shortPath, MAX_PATH));
        shortName = std::wstring(shortPath).substr(std::wstring(shortPath).find_last_of(L'\\') + 1);
        ASSERT_NE(L"longfilename.dll", shortName) << "the volume gives no short names";
    }
    const struct
    {
        const char* what;
        std::wstring items;
        int count;
        const char* after;
        std::vector<std::wstring> lines; // "LEVEL message"; {upd}: the download folder
    } cases[] = {
        {"short name alone", ItemElement(0, shortName, 3, L"1", L"1500000000"), 1, "new",
         {L"INFO " + std::wstring(kUpdating) + L"{upd}" + shortName}},
        {"short and long name", ItemElement(0, L"longfilename.dll", 3, L"1", L"1500000000", shortName) +
                                    ItemElement(1, shortName, 3, L"1", L"1500000000"),
         2, "old",
         {L"ERROR " + std::wstring(kRefused) + UpdateMessages::kRefusedTwice + shortName}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CRunFolder run;
        const std::wstring app = run.TargetFolder();
        ASSERT_TRUE(WriteBytes(app + L"longfilename.dll", "old"));
        ASSERT_TRUE(WriteBytes(run.UpdateFolder() + shortName, "new"));
        ASSERT_TRUE(WriteManifest(run.ManifestPath(), InfoElement(run.UpdateFolder(), app, {{L"AppToRun", kAppToRun}}) +
                                                          FilesElement(c.items, c.count)));
        ASSERT_TRUE(run.Run(run.ManifestPath()));
        const std::map<std::wstring, std::string> expected = {{L"longfilename.dll", c.after}};
        EXPECT_EQ(expected, FolderContents(app)) << run.LogText();
        std::vector<std::string> lines;
        for (const std::wstring& line : c.lines)
            lines.push_back(Cp1251(Replace(line, L"{upd}", run.UpdateFolder())));
        EXPECT_EQ(lines, run.EngineLines()) << run.LogText();
    }
}

// A manifest whose folder is the executable's own names the run's journal,
// the list of leftovers and the executable as a removal: each refused, and
// nothing in the folder changes.
TEST(UpdateRunLoad, NamesOfTheRunItself_Refused)
{
    CRunFolder run;
    const std::wstring bin = run.Root(L"bin\\");
    ASSERT_TRUE(WriteBytes(bin + L"a.dll", "old"));
    for (const wchar_t* name : {L"a.dll", L"QXUpdate.journal", L"qxupdate.LEFTOVERS"})
        ASSERT_TRUE(WriteBytes(run.UpdateFolder() + name, "new"));
    ASSERT_TRUE(WriteManifest(run.ManifestPath(),
                              InfoElement(run.UpdateFolder(), bin, {{L"AppToRun", kAppToRun}}) +
                                  FilesElement(ItemElement(0, L"a.dll", 3, L"1", L"1500000000") +
                                                   ItemElement(1, L"QXUpdate.journal", 3, L"1", L"1500000000") +
                                                   ItemElement(2, L"qxupdate.LEFTOVERS", 3, L"1", L"1500000000") +
                                                   RemovalElement(3, L"QXClientUpdSvc.exe"),
                                               4)));
    const std::map<std::wstring, std::string> before = FolderContents(bin);
    ASSERT_TRUE(run.Run(run.ManifestPath()));
    std::map<std::wstring, std::string> after = FolderContents(bin);
    after.erase(L"Log");
    std::map<std::wstring, std::string> expected = before;
    expected.erase(L"Log");
    EXPECT_EQ(expected, after);
    const std::vector<std::string> lines = {
        "ERROR " + Cp1251(kRefused + std::wstring(UpdateMessages::kRefusedOwnName) + L"QXUpdate.journal"),
        "ERROR " + Cp1251(kRefused + std::wstring(UpdateMessages::kRefusedOwnName) + L"qxupdate.LEFTOVERS"),
        "ERROR " + Cp1251(kRefused + std::wstring(UpdateMessages::kRefusedOwnName) + L"QXClientUpdSvc.exe"),
    };
    EXPECT_EQ(lines, run.EngineLines()) << run.LogText();
}

// An update made from one version applied to another: the files it relies
// on (the base record) are checked before anything is touched; the base
// version installs; a manifest without the record installs as before.
TEST(UpdateRunLoad, BaseVersionRecord_AnotherInstallationRefusedTheBaseInstalls)
{
    const auto md5 = [](const std::string& bytes) {
        CMd5 hash;
        hash.Update(bytes.data(), bytes.size());
        return FromUtf8(hash.FinishHex());
    };
    const auto baseFile = [&](const std::wstring& name, const std::string& bytes) {
        return XmlElement(L"F", {{L"FileName", name}, {L"SizeByte", std::to_wstring(bytes.size())}, {L"MD5", md5(bytes)}});
    };
    std::wstring manyFiles;
    for (int i = 0; i < 7; ++i)
        manyFiles += baseFile(L"gone" + std::to_wstring(i) + L".dll", "x");
    const std::wstring base10 = baseFile(L"a.dll", "a 1.0") + baseFile(L"sub\\b.dll", "b 1.0");
    const struct
    {
        const char* what;
        const char* b;          // sub\b.dll installed; nullptr: absent
        std::wstring base;      // the base element's content; empty: no base element
        bool installed;
        std::vector<std::wstring> lines; // the engine's error lines
    } cases[] = {
        {"the base version", "b 1.0", base10, true, {}},
        {"no base record", "b 1.5", L"", true, {}},
        {"another version, same size", "b 1.5", base10, false,
         {UpdateMessages::kBaseDiffers + std::wstring(L"sub\\b.dll: MD5 ") + md5("b 1.5") + L" вместо " +
              md5("b 1.0"),
          kRefused + std::wstring(UpdateMessages::kRefusedOtherVersion) + L"1.0.0.0, не совпадает файлов: 1"}},
        {"a file missing and one of another size", nullptr,
         baseFile(L"a.dll", "a 1.0 longer") + baseFile(L"sub\\b.dll", "b 1.0"), false,
         {UpdateMessages::kBaseDiffers + std::wstring(L"a.dll: размер 5 байт вместо 12"),
          UpdateMessages::kBaseDiffers + std::wstring(L"sub\\b.dll: файл отсутствует"),
          kRefused + std::wstring(UpdateMessages::kRefusedOtherVersion) + L"1.0.0.0, не совпадает файлов: 2"}},
        {"many files differ: a handful named, then a count", "b 1.0", manyFiles, false,
         {UpdateMessages::kBaseDiffers + std::wstring(L"gone0.dll: файл отсутствует"),
          UpdateMessages::kBaseDiffers + std::wstring(L"gone1.dll: файл отсутствует"),
          UpdateMessages::kBaseDiffers + std::wstring(L"gone2.dll: файл отсутствует"),
          UpdateMessages::kBaseDiffers + std::wstring(L"gone3.dll: файл отсутствует"),
          UpdateMessages::kBaseDiffers + std::wstring(L"gone4.dll: файл отсутствует"),
          UpdateMessages::kBaseDiffersMore + std::wstring(L"2"),
          kRefused + std::wstring(UpdateMessages::kRefusedOtherVersion) + L"1.0.0.0, не совпадает файлов: 7"}},
        {"a name the engine never opens", "b 1.0", baseFile(L"aux.dll", "x") + baseFile(L"..\\x.dll", "x"), false,
         {UpdateMessages::kBaseDiffers + std::wstring(L"aux.dll: недопустимое имя"),
          UpdateMessages::kBaseDiffers + std::wstring(L"..\\x.dll: недопустимое имя"),
          kRefused + std::wstring(UpdateMessages::kRefusedOtherVersion) + L"1.0.0.0, не совпадает файлов: 2"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CRunFolder run;
        const std::wstring app = run.TargetFolder();
        ASSERT_TRUE(WriteBytes(app + L"a.dll", "a 1.0"));
        ASSERT_TRUE(CreateDirectoryW((app + L"sub").c_str(), nullptr));
        if (c.b != nullptr) {
            ASSERT_TRUE(WriteBytes(app + L"sub\\b.dll", c.b));
        }
        ASSERT_TRUE(WriteBytes(run.UpdateFolder() + L"c.dll", "c 2.0"));
        const std::wstring base =
            c.base.empty() ? std::wstring() : XmlElement(L"base", {{L"Version", L"1.0.0.0"}, {L"count", L"2"}}, c.base);
        ASSERT_TRUE(WriteManifest(run.ManifestPath(), InfoElement(run.UpdateFolder(), app, {{L"AppToRun", kAppToRun}}) +
                                                          FilesElement(Item(0, L"c.dll", 5), 1) + base));
        ASSERT_TRUE(run.Run(run.ManifestPath()));
        EXPECT_EQ(c.installed ? "c 2.0" : "<missing>", ReadBytes(app + L"c.dll").value_or("<missing>"));
        std::vector<std::string> errors;
        for (const std::string& line : run.EngineLines()) {
            if (line.compare(0, 6, "ERROR ") == 0)
                errors.push_back(line);
        }
        std::vector<std::string> expected;
        for (const std::wstring& line : c.lines)
            expected.push_back("ERROR " + Cp1251(line));
        EXPECT_EQ(expected, errors) << run.LogText();
        const std::string closing = Cp1251(L"обновление не выполнено: оно сделано для другой версии приложения");
        EXPECT_EQ(!c.installed, run.LogText().find(closing) != std::string::npos) << run.LogText();
    }
}

TEST(UpdateRunLoad, TargetHeldOpenByAnotherProcess_AllOldThenAllNewOnceReleased)
{
    CRunFolder run;
    const std::wstring app = run.TargetFolder();
    std::wstring items;
    std::map<std::wstring, std::string> oldVersion;
    std::map<std::wstring, std::string> newVersion;
    for (int i = 0; i < 20; ++i) {
        const std::wstring name = L"f" + std::to_wstring(100 + i) + L".dll";
        oldVersion[name] = "old " + std::to_string(i);
        newVersion[name] = "new " + std::to_string(i);
        ASSERT_TRUE(WriteBytes(app + name, oldVersion[name]));
        ASSERT_TRUE(WriteBytes(run.UpdateFolder() + name, newVersion[name]));
        items += Item(i, name, newVersion[name].size());
    }
    ASSERT_TRUE(WriteManifest(run.ManifestPath(), InfoElement(run.UpdateFolder(), app, {{L"AppToRun", kAppToRun}}) +
                                                      FilesElement(items, 20)));

    // The stand-in program opens the file without sharing and keeps it open.
    CFileHolder holder;
    ASSERT_TRUE(holder.Hold(run.Root(), app + L"f110.dll"));
    const DWORD holderId = holder.Id();
    const bool ran = run.Run(run.ManifestPath());
    holder.End();
    ASSERT_TRUE(ran);

    EXPECT_EQ(oldVersion, FolderContents(app));
    const std::vector<std::string> lines = run.EngineLines();
    ASSERT_GE(lines.size(), 4u);
    // Tried again for a moment, then given up; the holder is named each time.
    const std::wstring heldBy = L"; " + std::wstring(UpdateMessages::kHeldBy) + L"QXStandIn.exe (ID " +
                                std::to_wstring(holderId) + L")";
    EXPECT_EQ("WARNING " + Cp1251(UpdateMessages::kRetrying + app + L"f110.dll" + heldBy), lines[lines.size() - 4]);
    EXPECT_EQ("ERROR " + Cp1251(kMoveToBackupFailed + app + L"f110.dll" + kCode + L"32"), lines[lines.size() - 3]);
    EXPECT_EQ("WARNING " + Cp1251(UpdateMessages::kFileHeld + app + L"f110.dll" + heldBy), lines[lines.size() - 2]);
    EXPECT_EQ("ERROR " + Cp1251(kUndone + std::wstring(L"10")), lines.back()) << run.LogText();
    EXPECT_FALSE(run.StartedApp());

    ASSERT_TRUE(run.Run(run.ManifestPath()));
    EXPECT_EQ(newVersion, FolderContents(app)) << run.LogText();
}

// ---------------------------------------------------------------------------
// Names in the 1251 code page (run under that ANSI code page).

TEST(UpdateRun, CyrillicNames_InstalledAndLoggedCp1251)
{
    CRunFolder run;
    const std::wstring name = L"Отчёт.txt";
    ASSERT_TRUE(WriteBytes(run.TargetFolder() + name, "старый"));
    ASSERT_TRUE(WriteBytes(run.UpdateFolder() + name, "new report"));
    ASSERT_TRUE(WriteBytes(run.TargetFolder() + L"Справка.chm", "справка"));
    ASSERT_TRUE(WriteManifest(run.ManifestPath(),
                              InfoElement(run.UpdateFolder(), run.TargetFolder()) +
                                  FilesElement(ItemElement(0, name, 10, L"1") + ItemElement(1, L"Справка.chm", 3, L"0"),
                                               2)));
    ASSERT_TRUE(run.Run(run.ManifestPath()));

    EXPECT_EQ("new report", ReadBytes(run.TargetFolder() + name).value_or("<missing>"));
    EXPECT_FALSE(PathExists(run.TargetFolder() + name + L".old"));
    EXPECT_GE(run.FindLine("INFO", kUpdating + run.UpdateFolder() + name), 0) << run.LogText();
    EXPECT_GE(run.FindLine("INFO", kSkipped + std::wstring(L"Справка.chm")), 0) << run.LogText();
}

// A download that has the declared size but cannot be read (another process
// holds it without sharing) counts as a discrepancy: nothing is replaced.
TEST(UpdateRunLoad, DownloadHeldByAnotherProcess_CountsAsDiscrepancy)
{
    CRunFolder run;
    const std::wstring app = run.TargetFolder();
    ASSERT_TRUE(WriteBytes(app + L"a.dll", "old a"));
    ASSERT_TRUE(WriteBytes(app + L"b.dll", "old b"));
    ASSERT_TRUE(WriteBytes(run.UpdateFolder() + L"a.dll", "new a"));
    ASSERT_TRUE(WriteBytes(run.UpdateFolder() + L"b.dll", "new b"));
    ASSERT_TRUE(WriteManifest(run.ManifestPath(),
                              InfoElement(run.UpdateFolder(), app, {{L"AppToRun", kAppToRun}}) +
                                  FilesElement(Item(0, L"a.dll", 5) + Item(1, L"b.dll", 5), 2)));
    CFileHolder holder;
    ASSERT_TRUE(holder.Hold(run.Root(), run.UpdateFolder() + L"a.dll"));
    const bool ran = run.Run(run.ManifestPath());
    holder.End();
    ASSERT_TRUE(ran);

    const std::map<std::wstring, std::string> expected = {{L"a.dll", "old a"}, {L"b.dll", "old b"}};
    EXPECT_EQ(expected, FolderContents(app));
    const std::vector<std::string> lines = {
        "ERROR " + Cp1251(kDiscrepancy + std::wstring(L"a.dll: не удалось прочитать: файл занят другим процессом"))};
    EXPECT_EQ(lines, run.EngineLines()) << run.LogText();
}

// ---------------------------------------------------------------------------
// The run's account of itself: what it worked on, what became of each file
// and program, and how it ended, with its counts.

namespace {

// The "LEVEL message" lines of the run's account, in order.
std::vector<std::string> StoryLines(const CRunFolder& run)
{
    std::vector<std::string> lines;
    for (const std::string& line : run.LevelAndMessageLines()) {
        if (IsStoryLine(line))
            lines.push_back(line);
    }
    return lines;
}

// The closing line up to its duration, which must follow as "N мс".
void ExpectRunEnd(const std::vector<std::string>& lines, const std::string& levelAndCounts, const std::string& log)
{
    ASSERT_FALSE(lines.empty()) << log;
    const std::string& last = lines.back();
    const std::string expected = levelAndCounts + Cp1251(L"; длительность ");
    ASSERT_EQ(expected, last.substr(0, expected.size())) << log;
    const std::string duration = last.substr(expected.size());
    const std::string units = Cp1251(L" мс");
    ASSERT_GT(duration.size(), units.size()) << last;
    EXPECT_EQ(units, duration.substr(duration.size() - units.size())) << last;
    EXPECT_EQ(std::string::npos, duration.substr(0, duration.size() - units.size()).find_first_not_of("0123456789"))
        << last;
}

// A process that has ended, its handle still held: its id names no running process.
class CEndedProcess
{
public:
    explicit CEndedProcess(const std::wstring& program)
    {
        if (m_process.Start(QuoteArgument(program) + L" --exit-code 0"))
            m_process.Ended(30000);
    }
    DWORD Id() const { return m_process.Id(); }

private:
    CChildProcess m_process;
};

} // namespace

TEST(UpdateRunLog, SuccessfulRun_TellsManifestEachFileProgramsAndCounts)
{
    CRunFolder run;
    const std::wstring app = run.TargetFolder();
    const std::wstring upd = run.UpdateFolder();
    ASSERT_TRUE(WriteBytes(app + L"a.dll", "old a"));
    ASSERT_TRUE(WriteBytes(app + L"c.dll", "old c"));
    ASSERT_TRUE(WriteBytes(upd + L"a.dll", "new a"));
    ASSERT_TRUE(WriteBytes(upd + L"b.dll", "new b"));
    // The manifest's program: the stand-in, which exits at once.
    ASSERT_TRUE(CopyFileW((TestBinaryFolder() + L"QXStandIn.exe").c_str(), (app + L"QXStandIn.exe").c_str(), FALSE));
    ASSERT_TRUE(WriteManifest(
        run.ManifestPath(),
        InfoElement(upd, app, {{L"AppToRun", L"QXStandIn.exe"}, {L"Params", L"--exit-code 0"},
                               {L"AssignedVersion", L"2.5.0.17"}}) +
            // c.dll and e.dll are to be removed (e.dll is not there); d.dll is left alone.
            FilesElement(Item(0, L"a.dll", 5) + Item(1, L"b.dll", 5) + RemovalElement(2, L"c.dll") +
                             Item(3, L"d.dll", 0, L"0") + RemovalElement(4, L"e.dll"),
                         5)));
    CEndedProcess requester(TestBinaryFolder() + L"QXStandIn.exe");
    ASSERT_NE(0u, requester.Id());
    ASSERT_TRUE(run.Run(run.ManifestPath(), 60000, L" pid:" + std::to_wstring(requester.Id())));

    const std::vector<std::string> lines = StoryLines(run);
    const std::string log = run.LogText();
    ASSERT_EQ(11u, lines.size()) << log;
    const std::wstring pid = std::to_wstring(requester.Id());
    EXPECT_EQ("INFO " + Cp1251(kRunStart + run.ManifestPath() + kRunAwaits + pid), lines[0]);
    EXPECT_EQ("INFO " + Cp1251(kManifestLoaded + std::wstring(L"2.5.0.17, папка загрузки ") + upd +
                               L", папка приложения " + app + L", файлов 5 (установить 2, удалить 2, пропустить 1)"),
              lines[1]);
    EXPECT_EQ("INFO " + Cp1251(kStaging + std::wstring(L"файлов 2, байт 10")), lines[2]);
    EXPECT_EQ(0u, lines[3].find("INFO " + Cp1251(kStaged + std::wstring(L"2 из 2 за ")))) << lines[3];
    // The requester has ended: found gone at once, or seen to end.
    const std::string awaited = "INFO " + Cp1251(kAwaited + pid);
    EXPECT_EQ(0u, lines[4].find(awaited)) << lines[4];
    EXPECT_TRUE(lines[4] == awaited + Cp1251(kWaitNotFound) ||
                lines[4].find(Cp1251(kWaitEnded)) == awaited.size())
        << lines[4];
    // Removals come first: a file the new version drops may stand where one of its folders goes.
    EXPECT_EQ("INFO " + Cp1251(kRemoved + app + L"c.dll"), lines[5]);
    EXPECT_EQ("INFO " + Cp1251(kAlreadyAbsent + app + L"e.dll"), lines[6]);
    EXPECT_EQ("INFO " + Cp1251(kReplaced + app + L"a.dll"), lines[7]);
    EXPECT_EQ("INFO " + Cp1251(kAdded + app + L"b.dll"), lines[8]);
    const std::string started =
        "INFO " + Cp1251(kStarted + (L"\"" + app + L"QXStandIn.exe\" --exit-code 0") + kStartedProcess);
    EXPECT_EQ(0u, lines[9].find(started)) << lines[9];
    EXPECT_NE(std::string::npos, lines[9].find_first_of("0123456789", started.size())) << lines[9];
    ExpectRunEnd(lines,
                 "INFO " + Cp1251(kRunEnd + std::wstring(L"обновление выполнено; заменено 1, добавлено 1, удалено 1, "
                                                         L"пропущено 1, ошибок 0, возвращено прежних версий 0")),
                 log);
    EXPECT_EQ("new a", ReadBytes(app + L"a.dll").value_or(""));
    EXPECT_FALSE(PathExists(app + L"c.dll"));
}

// A manifest the run refuses, one it cannot find, and an item that fails:
// the reason, what was undone, and the closing line with its counts.
TEST(UpdateRunLog, RefusedMissingAndFailedRuns_SayWhyAndHowTheyEnded)
{
    const std::wstring notDone = L"обновление не выполнено, файлы не изменялись; ";
    const struct
    {
        const char* what;
        bool writeManifest;
        bool folderUnderName; // a folder stands where c.dll is to be added
        bool missingDownload; // b.dll's download is not there
        // Story lines expected between the start line and the closing line
        // ({app} for the application folder, {path} for the manifest).
        std::vector<std::wstring> lines;
        std::wstring end;
    } cases[] = {
        // The error count is that of the ERROR lines above the closing line.
        {"missing manifest", false, false, false,
         {kNoAppToRun},
         notDone + L"заменено 0, добавлено 0, удалено 0, пропущено 0, ошибок 1, возвращено прежних версий 0"},
        // The refusal, and the program that cannot be started (two lines).
        {"refused: a download is missing", true, false, true,
         {L"{manifest}", UpdateMessages::kProgramAfterRefusal + std::wstring(kAppToRun),
          kStartFailedCommand + std::wstring(L"\"{app}after-update.exe\" ")},
         notDone + L"заменено 0, добавлено 0, удалено 0, пропущено 0, ошибок 3, возвращено прежних версий 0"},
        {"an item fails", true, true, false,
         {L"{manifest}", L"{staging}", L"{staged}", kReplaced + std::wstring(L"{app}a.dll"),
          kAdded + std::wstring(L"{app}b.dll"), kNotUpdated + std::wstring(L"{app}c.dll: на месте файла находится папка"),
          kAddedTakenBack + std::wstring(L"{app}b.dll"), kPutBack + std::wstring(L"{app}a.dll"),
          UpdateMessages::kProgramNotStarted + std::wstring(kAppToRun)},
         L"обновление отменено, файлы в прежнем состоянии; заменено 1, добавлено 1, удалено 0, пропущено 0, ошибок 3, "
         L"возвращено прежних версий 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CRunFolder run;
        const std::wstring app = run.TargetFolder();
        const std::wstring upd = run.UpdateFolder();
        ASSERT_TRUE(WriteBytes(app + L"a.dll", "old a"));
        ASSERT_TRUE(WriteBytes(upd + L"a.dll", "new a"));
        if (!c.missingDownload) {
            ASSERT_TRUE(WriteBytes(upd + L"b.dll", "new b"));
        }
        ASSERT_TRUE(WriteBytes(upd + L"c.dll", "new c"));
        if (c.folderUnderName) {
            ASSERT_TRUE(CreateDirectoryW((app + L"c.dll").c_str(), nullptr));
        }
        if (c.writeManifest) {
            ASSERT_TRUE(WriteManifest(run.ManifestPath(),
                                      InfoElement(upd, app, {{L"AppToRun", kAppToRun}}) +
                                          FilesElement(Item(0, L"a.dll", 5) + Item(1, L"b.dll", 5) + Item(2, L"c.dll", 5),
                                                       3)));
        }
        ASSERT_TRUE(run.Run(run.ManifestPath()));

        const std::vector<std::string> lines = StoryLines(run);
        const std::string log = run.LogText();
        ASSERT_EQ(c.lines.size() + 2, lines.size()) << log;
        EXPECT_EQ("INFO " + Cp1251(kRunStart + run.ManifestPath()), lines[0]);
        for (size_t i = 0; i < c.lines.size(); ++i) {
            const std::string& line = lines[i + 1];
            if (c.lines[i] == L"{manifest}") {
                // The manifest gives no version.
                EXPECT_EQ(0u, line.find("INFO " + Cp1251(kManifestLoaded + std::wstring(L"не указана, ")))) << line;
                EXPECT_NE(std::string::npos, line.find(Cp1251(L"файлов 3 (установить 3, удалить 0, пропустить 0)")))
                    << line;
            } else if (c.lines[i] == L"{staging}") {
                EXPECT_EQ("INFO " + Cp1251(kStaging + std::wstring(L"файлов 3, байт 15")), line);
            } else if (c.lines[i] == L"{staged}") {
                EXPECT_EQ(0u, line.find("INFO " + Cp1251(kStaged + std::wstring(L"3 из 3 за ")))) << line;
            } else {
                const std::string expected = Cp1251(Replace(c.lines[i], L"{app}", app));
                EXPECT_NE(std::string::npos, line.find(expected)) << line;
            }
        }
        ExpectRunEnd(lines, "ERROR " + Cp1251(kRunEnd + c.end), log);
        size_t errorLines = 0;
        for (const std::string& line : run.LevelAndMessageLines())
            errorLines += line.compare(0, 6, "ERROR ") == 0 ? 1 : 0;
        EXPECT_NE(std::string::npos,
                  c.end.find(L"ошибок " + std::to_wstring(errorLines - 1) + L","))
            << "the closing line counts the ERROR lines above it\n" << log;
        EXPECT_EQ("old a", ReadBytes(app + L"a.dll").value_or(""));
        EXPECT_FALSE(PathExists(app + L"b.dll"));
    }
}

// Folders the run creates for new files and those its removals leave empty
// are logged as they are created and removed, and so are the created ones an
// undo removes again.
TEST(UpdateRunLog, FoldersCreatedAndRemoved_Logged)
{
    const struct
    {
        const char* what;
        bool blocked; // a folder stands where the last new file goes: the run is undone
        std::vector<std::wstring> folderLines;
    } cases[] = {
        {"committed", false,
         {std::wstring(UpdateMessages::kFolderCreated) + L"{app}sub", UpdateMessages::kFolderCreated + std::wstring(L"{app}sub\\new"),
          UpdateMessages::kFolderRemoved + std::wstring(L"{app}old")}},
        {"undone", true,
         {std::wstring(UpdateMessages::kFolderCreated) + L"{app}sub", UpdateMessages::kFolderCreated + std::wstring(L"{app}sub\\new"),
          UpdateMessages::kFolderRemoved + std::wstring(L"{app}sub\\new"),
          UpdateMessages::kFolderRemoved + std::wstring(L"{app}sub")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CRunFolder run;
        const std::wstring app = run.TargetFolder();
        ASSERT_TRUE(CreateDirectoryW((app + L"old").c_str(), nullptr));
        ASSERT_TRUE(WriteBytes(app + L"old\\y.dll", "old y"));
        ASSERT_TRUE(WriteBytes(run.UpdateFolder() + L"x.dll", "new x"));
        ASSERT_TRUE(WriteBytes(run.UpdateFolder() + L"z.dll", "new z"));
        if (c.blocked) {
            ASSERT_TRUE(CreateDirectoryW((app + L"z.dll").c_str(), nullptr));
        }
        ASSERT_TRUE(WriteManifest(run.ManifestPath(),
                                  InfoElement(run.UpdateFolder(), app) +
                                      FilesElement(Item(0, L"sub\\new\\x.dll", 5, L"1", L"x.dll") +
                                                       RemovalElement(1, L"old\\y.dll") + Item(2, L"z.dll", 5),
                                                   3)));
        ASSERT_TRUE(run.Run(run.ManifestPath()));
        std::vector<std::string> folderLines;
        for (const std::string& line : StoryLines(run)) {
            for (const wchar_t* text : {UpdateMessages::kFolderCreated, UpdateMessages::kFolderRemoved}) {
                if (line.find(Cp1251(text)) != std::string::npos)
                    folderLines.push_back(line);
            }
        }
        std::vector<std::string> expected;
        for (const std::wstring& line : c.folderLines)
            expected.push_back("INFO " + Cp1251(Replace(line, L"{app}", app)));
        EXPECT_EQ(expected, folderLines) << run.LogText();
        EXPECT_EQ(!c.blocked, PathExists(app + L"sub\\new\\x.dll")) << run.LogText();
        EXPECT_EQ(c.blocked, PathExists(app + L"old\\y.dll")) << run.LogText();
    }
}

// A download folder that does not exist is named once, as the run resolved
// it, with the count of downloads it would have held.
TEST(UpdateRunLog, MissingDownloadFolder_NamedOnceWithTheCount)
{
    CRunFolder run;
    const std::wstring app = run.TargetFolder();
    ASSERT_TRUE(WriteBytes(app + L"a.dll", "old a"));
    // Joined by plain concatenation: the downloads of "no-such\..\gone\" lie in "gone\".
    const std::wstring folder = run.Root(L"no-such\\..\\gone\\");
    ASSERT_TRUE(WriteManifest(run.ManifestPath(),
                              InfoElement(folder, app) +
                                  FilesElement(Item(0, L"a.dll", 5) + Item(1, L"b.dll", 5) + Item(2, L"empty.txt", 0), 3)));
    ASSERT_TRUE(run.Run(run.ManifestPath()));
    const std::vector<std::string> expected = {"ERROR " + Cp1251(kRefused + std::wstring(UpdateMessages::kRefusedNoDownloadFolder) +
                                                                 run.Root(L"gone\\") + UpdateMessages::kFolderMissingCount + L"2")};
    EXPECT_EQ(expected, run.EngineLines()) << run.LogText();
    EXPECT_EQ("old a", ReadBytes(app + L"a.dll").value_or("<missing>"));
}

namespace {

// Every file and folder below folder (with a trailing backslash): relative
// name -> content, "<folder>" for a folder.
std::map<std::wstring, std::string> TreeOf(const std::wstring& folder, const std::wstring& prefix = L"")
{
    std::map<std::wstring, std::string> tree;
    for (const auto& entry : FolderContents(folder + prefix)) {
        tree[prefix + entry.first] = entry.second;
        if (entry.second == "<folder>") {
            for (const auto& inner : TreeOf(folder, prefix + entry.first + L"\\"))
                tree[inner.first] = inner.second;
        }
    }
    return tree;
}

} // namespace

// The folders of the new version are part of the transaction: an empty one
// created, one it drops removed, a file that becomes a folder and a folder
// that becomes a file; undone with the rest when a file is held.
TEST(UpdateRun, FoldersOfTheNewVersion_MadeWithTheFilesOrUndoneWithThem)
{
    const std::map<std::wstring, std::string> before = {
        {L"a.dll", "old a"},          {L"data", "a file that becomes a folder"},
        {L"gone", "<folder>"},        {L"plug", "<folder>"},
        {L"plug\\p.dll", "old p"},    {L"keep", "<folder>"},
    };
    const std::map<std::wstring, std::string> after = {
        {L"a.dll", "new a"},          {L"data", "<folder>"},  {L"data\\x.dll", "new x"},
        {L"plug", "a file now"},      {L"keep", "<folder>"},  {L"cache", "<folder>"},
        {L"cache\\empty", "<folder>"},
    };
    for (bool held : {false, true}) {
        SCOPED_TRACE(held ? "a file held: undone" : "committed");
        CRunFolder run;
        const std::wstring app = run.TargetFolder();
        for (const auto& entry : before) {
            if (entry.second == "<folder>") {
                ASSERT_TRUE(CreateDirectoryW((app + entry.first).c_str(), nullptr));
            } else {
                ASSERT_TRUE(WriteBytes(app + entry.first, entry.second));
            }
        }
        ASSERT_TRUE(WriteBytes(run.UpdateFolder() + L"a.dll", "new a"));
        ASSERT_TRUE(WriteBytes(run.UpdateFolder() + L"x.dll", "new x"));
        ASSERT_TRUE(WriteBytes(run.UpdateFolder() + L"plug", "a file now"));
        const std::wstring folders = XmlElement(
            L"folders", {{L"count", L"3"}},
            XmlElement(L"D", {{L"Name", L"cache\\empty"}, {L"isRemove", L"0"}}) +
                XmlElement(L"D", {{L"Name", L"gone"}, {L"isRemove", L"1"}}) +
                XmlElement(L"D", {{L"Name", L"plug"}, {L"isRemove", L"1"}}));
        ASSERT_TRUE(WriteManifest(
            run.ManifestPath(),
            InfoElement(run.UpdateFolder(), app) +
                FilesElement(RemovalElement(0, L"data") + Item(1, L"data\\x.dll", 5, L"1", L"x.dll") +
                                 RemovalElement(2, L"plug\\p.dll") + Item(3, L"plug", 10) + Item(4, L"a.dll", 5),
                             5) +
                folders));
        CFileHolder holder;
        if (held) {
            ASSERT_TRUE(holder.Hold(run.Root(), app + L"a.dll"));
        }
        ASSERT_TRUE(run.Run(run.ManifestPath()));
        holder.End();
        EXPECT_EQ(held ? before : after, TreeOf(app)) << run.LogText();
    }
}
