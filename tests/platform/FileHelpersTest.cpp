#include "platform/FileHelpers.h"
#include "platform/FileWriter.h"
#include "platform/Handles.h"
#include "platform/PathParts.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>

TEST(FileWriter, OpenEmptiesExistingFile)
{
    CTestFolder folder;
    const std::wstring path = folder / L"a.bin";
    ASSERT_TRUE(WriteBytes(path, "old content"));
    CFileWriter writer;
    writer.path = path;
    ASSERT_TRUE(writer.Open());
    // CREATE_ALWAYS on an existing file leaves ERROR_ALREADY_EXISTS, kept on success.
    EXPECT_EQ(writer.lastError, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    // Each write goes on where the last one ended.
    ASSERT_TRUE(writer.Write("ne", 2));
    EXPECT_EQ(writer.bytesWritten, 2u);
    ASSERT_TRUE(writer.Write("w", 1));
    EXPECT_EQ(writer.bytesWritten, 1u);
    writer.Close();
    EXPECT_FALSE(writer.handle.IsValid());
    EXPECT_EQ(*ReadBytes(path), "new");
}

TEST(FileWriter, CreatesMissingFileAndWritesZeroBytes)
{
    CTestFolder folder;
    CFileWriter writer;
    writer.path = folder / L"new.bin";
    ASSERT_TRUE(writer.Open());
    EXPECT_TRUE(writer.Write("", 0));
    EXPECT_EQ(writer.bytesWritten, 0u);
    writer.Close();
    EXPECT_EQ(*ReadBytes(folder / L"new.bin"), "");
}

TEST(FileWriter, OpenFailsOnFileHeldWithoutSharing)
{
    CTestFolder folder;
    const std::wstring path = folder / L"held.bin";
    ASSERT_TRUE(WriteBytes(path, "x"));
    CHandle held(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.IsValid());
    CFileWriter writer;
    writer.path = path;
    EXPECT_FALSE(writer.Open());
    EXPECT_EQ(writer.lastError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(writer.handle.IsValid());
}

TEST(FileWriter, OpenMissingFolderFails)
{
    CTestFolder folder;
    CFileWriter writer;
    writer.path = folder / L"no\\such\\file.bin";
    EXPECT_FALSE(writer.Open());
    EXPECT_EQ(writer.lastError, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(FileWriter, SecondOpenResetsParameters)
{
    CTestFolder folder;
    const std::wstring path = folder / L"twice.bin";
    ASSERT_TRUE(WriteBytes(path, "keep"));
    CFileWriter writer;
    writer.path = path;
    writer.creationDisposition = OPEN_EXISTING;
    writer.shareMode = FILE_SHARE_READ;
    ASSERT_TRUE(writer.Open());
    EXPECT_EQ(*ReadBytes(path), "keep"); // OPEN_EXISTING kept the content
    // The second open closes the first handle and uses the defaults again (CREATE_ALWAYS).
    ASSERT_TRUE(writer.Open());
    EXPECT_EQ(writer.creationDisposition, static_cast<DWORD>(CREATE_ALWAYS));
    EXPECT_EQ(writer.shareMode, 0u);
    EXPECT_EQ(writer.lastError, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    writer.Close();
    EXPECT_EQ(*ReadBytes(path), "");
}

TEST(FileWriter, ClosesItsFileAndTemplate_HeldUntilThen)
{
    CTestFolder folder;
    const std::wstring templatePath = folder / L"template.bin";
    const std::wstring path = folder / L"new.bin";
    ASSERT_TRUE(WriteBytes(templatePath, "t"));
    CFileWriter writer;
    writer.path = path;
    // Both opened without sharing: while the writer holds them, nobody else can open them.
    writer.templateFile.Reset(CreateFileW(templatePath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(writer.templateFile.IsValid());
    ASSERT_TRUE(writer.Open());
    ASSERT_TRUE(writer.Write("x", 1));
    const auto openable = [](const std::wstring& name) {
        return CHandle(CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)).IsValid();
    };
    EXPECT_FALSE(openable(templatePath));
    EXPECT_FALSE(openable(path));
    writer.Close();
    EXPECT_TRUE(openable(templatePath));
    EXPECT_TRUE(openable(path));
    EXPECT_FALSE(writer.templateFile.IsValid());
    EXPECT_EQ(*ReadBytes(path), "x");
}

TEST(PathParts, SplitAndComposeRoundTrip)
{
    const struct
    {
        const wchar_t* path;
        const wchar_t* drive;
        const wchar_t* dir;
        const wchar_t* fname;
        const wchar_t* ext;
    } cases[] = {
        {L"C:\\dir\\name.ext", L"C:", L"\\dir\\", L"name", L".ext"},
        {L"C:\\dir\\readme", L"C:", L"\\dir\\", L"readme", L""},
        {L"C:\\a\\b.c\\app.exe", L"C:", L"\\a\\b.c\\", L"app", L".exe"},
        {L"relative\\x.y", L"", L"relative\\", L"x", L".y"},
        {L"C:\\", L"C:", L"\\", L"", L""},
    };
    for (const auto& c : cases) {
        CPathParts parts;
        parts.fullPath = c.path;
        errno = 0;
        parts.Split();
        EXPECT_EQ(errno, 0) << "the runtime was asked to reject the path";
        EXPECT_EQ(parts.drive, c.drive) << c.path;
        EXPECT_EQ(parts.GetDir(), c.dir) << c.path;
        EXPECT_EQ(parts.fname, c.fname) << c.path;
        EXPECT_EQ(parts.GetExt(), c.ext) << c.path;
        parts.fullPath.clear();
        parts.Compose();
        EXPECT_EQ(parts.GetFullPath(), c.path);
    }
}

TEST(PathParts, BackupNameAppendsOld)
{
    const struct
    {
        const char* path;
        const wchar_t* backup;
    } cases[] = {
        {"C:\\App\\app.exe", L"C:\\App\\app.exe.old"},
        {"C:\\App\\readme", L"C:\\App\\readme.old"},
    };
    for (const auto& c : cases) {
        CPathParts parts;
        parts.SetFullPath(c.path);
        parts.Split();
        parts.ext = parts.GetExt() + L".old";
        parts.Compose();
        EXPECT_EQ(parts.GetFullPath(), c.backup);
    }
}

TEST(PathParts, SplitLimits_PartsUpTo255Characters)
{
    // Folder, name and extension hold 255 characters each; a longer one
    // leaves all four parts empty. The runtime rejects an overlong part
    // through its invalid-parameter handler, which on Windows may end the
    // process, so it must never see one: its errno stays untouched.
    const auto n = [](size_t count) { return std::wstring(count, L'n'); };
    const struct
    {
        const char* part;
        std::wstring CPathParts::*measured;
        size_t length;
        std::wstring path;
        bool splits;
    } cases[] = {
        // folder: "\" + 252..254 characters + "\"
        {"folder", &CPathParts::dir, 254, L"C:\\" + n(252) + L"\\x.y", true},
        {"folder", &CPathParts::dir, 255, L"C:\\" + n(253) + L"\\x.y", true},
        {"folder", &CPathParts::dir, 256, L"C:\\" + n(254) + L"\\x.y", false},
        {"folder with forward slashes", &CPathParts::dir, 256, L"C:/" + n(254) + L"/x.y", false},
        {"name", &CPathParts::fname, 254, L"C:\\d\\" + n(254) + L".y", true},
        {"name", &CPathParts::fname, 255, L"C:\\d\\" + n(255) + L".y", true},
        {"name", &CPathParts::fname, 256, L"C:\\d\\" + n(256) + L".y", false},
        {"name without drive or folder", &CPathParts::fname, 256, n(256), false},
        // extension: the dot and 253..255 characters
        {"extension", &CPathParts::ext, 254, L"C:\\d\\x." + n(253), true},
        {"extension", &CPathParts::ext, 255, L"C:\\d\\x." + n(254), true},
        {"extension", &CPathParts::ext, 256, L"C:\\d\\x." + n(255), false},
        // Only the last dot after the last separator starts the extension.
        {"name after a folder with a dot", &CPathParts::fname, 250, L"C:\\d." + n(10) + L"\\" + n(250) + L".y", true},
        {"name with two dots", &CPathParts::fname, 255, L"C:\\d\\a." + n(253) + L".y", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.part << " of " << c.length);
        CPathParts parts;
        parts.drive = L"X:";
        parts.dir = L"\\stale\\";
        parts.fullPath = c.path;
        errno = 0;
        parts.Split();
        EXPECT_EQ(errno, 0) << "the runtime was asked to reject the path";
        if (c.splits) {
            EXPECT_EQ(parts.drive, L"C:");
            EXPECT_EQ(parts.drive + parts.dir + parts.fname + parts.ext, c.path);
            EXPECT_EQ((parts.*c.measured).size(), c.length);
        } else {
            EXPECT_TRUE(parts.drive.empty() && parts.dir.empty() && parts.fname.empty() && parts.ext.empty());
            EXPECT_EQ(parts.fullPath, c.path) << "the path itself is kept";
        }
    }
}

TEST(PathParts, ComposeLimits_PathUpTo259Characters)
{
    // The composed path holds 259 characters; a longer one leaves fullPath
    // empty, without the runtime being asked to reject it. The backslash and
    // dot that composing adds count too.
    const struct
    {
        const char* name;
        std::wstring dir;
        std::wstring ext;
        size_t length; // of the composed path
        bool fits;
    } cases[] = {
        {"name and extension", L"\\", L".ab", 258, true},
        {"name and extension", L"\\", L".ab", 259, true},
        {"name and extension", L"\\", L".ab", 260, false},
        {"folder without its last backslash", L"\\d", L".ab", 259, true},
        {"folder without its last backslash", L"\\d", L".ab", 260, false},
        {"extension without its dot", L"\\", L"ab", 259, true},
        {"extension without its dot", L"\\", L"ab", 260, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.name << ", " << c.length);
        CPathParts parts;
        parts.drive = L"C:";
        parts.dir = c.dir;
        parts.ext = c.ext;
        const size_t added = (c.dir.back() == L'\\' ? 0 : 1) + (c.ext[0] == L'.' ? 0 : 1);
        parts.fname = std::wstring(c.length - 2 - c.dir.size() - c.ext.size() - added, L'n');
        parts.fullPath = L"previous";
        errno = 0;
        parts.Compose();
        EXPECT_EQ(errno, 0) << "the runtime was asked to reject the path";
        if (c.fits) {
            EXPECT_EQ(parts.fullPath.size(), c.length);
            EXPECT_EQ(parts.fullPath.substr(0, 3), L"C:\\");
        } else {
            EXPECT_TRUE(parts.fullPath.empty());
        }
    }
}

TEST(PathParts, EmptyFullPathChangesNothing)
{
    CPathParts parts;
    parts.drive = L"D:";
    parts.Split();
    EXPECT_EQ(parts.drive, L"D:");
}

TEST(FileSize, AcrossFourGibBoundary)
{
    CTestFolder folder;
    const struct
    {
        uint64_t size;
    } cases[] = {{0}, {1}, {0xFFFFFFFFULL}, {0x100000000ULL}, {0x100000001ULL}};
    for (const auto& c : cases) {
        const std::wstring path = folder / L"sparse.bin";
        {
            // Sparse on the host file system: setting the end costs no disk space.
            CHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
            ASSERT_TRUE(file.IsValid());
            LARGE_INTEGER end{};
            end.QuadPart = static_cast<LONGLONG>(c.size);
            ASSERT_TRUE(SetFilePointerEx(file.Get(), end, nullptr, FILE_BEGIN));
            ASSERT_TRUE(SetEndOfFile(file.Get()));
        }
        EXPECT_EQ(GetFileSizeByName(path), c.size);
        DeleteFileW(path.c_str());
    }
    EXPECT_EQ(GetFileSizeByName(folder / L"missing.bin"), 0u);
}

TEST(FileSize, WildcardTakesFirstMatch)
{
    // Three matches of different sizes and one that does not match: the size
    // is that of the match the system lists first, not another, nor a sum.
    CTestFolder folder;
    ASSERT_TRUE(WriteBytes(folder / L"b.dat", "12345"));
    ASSERT_TRUE(WriteBytes(folder / L"a.dat", "123"));
    ASSERT_TRUE(WriteBytes(folder / L"c.dat", "1234567"));
    ASSERT_TRUE(WriteBytes(folder / L"d.txt", "123456789"));
    WIN32_FIND_DATAW first{};
    ASSERT_TRUE(CFindHandle(FindFirstFileW((folder / L"*.dat").c_str(), &first)).IsValid());
    const std::map<std::wstring, uint64_t> sizes = {{L"a.dat", 3}, {L"b.dat", 5}, {L"c.dat", 7}};
    ASSERT_EQ(sizes.count(first.cFileName), 1u);
    EXPECT_EQ(GetFileSizeByName(folder / L"*.dat"), sizes.at(first.cFileName));
    EXPECT_EQ(GetFileSizeByName(folder / L"*.none"), 0u);
}

TEST(TimeStamp, LocalWallClockToUtc)
{
    // Runs with TZ=NOV-7 (UTC+7, no daylight saving): local midnight of
    // 1970-01-01 is 17:00 UTC on 1969-12-31.
    TIME_ZONE_INFORMATION zone{};
    GetTimeZoneInformation(&zone);
    ASSERT_EQ(zone.Bias, -420) << "tests expect TZ=NOV-7";

    const ULONGLONG epoch1601To1970 = 116444736000000000ULL;
    const ULONGLONG sevenHours = 7ULL * 3600 * 10000000ULL;
    const struct
    {
        int64_t stamp;
        ULONGLONG expected;
    } cases[] = {
        {0, epoch1601To1970 - sevenHours},
        {1485779696, epoch1601To1970 + 1485779696ULL * 10000000ULL - sevenHours}, // 2017-01-30 12:34:56 local
    };
    for (const auto& c : cases) {
        FILETIME out{};
        ASSERT_TRUE(TimeStampToFileTime(c.stamp, &out));
        EXPECT_EQ((static_cast<ULONGLONG>(out.dwHighDateTime) << 32) | out.dwLowDateTime, c.expected) << c.stamp;
    }
}

TEST(TimeStamp, OutOfRangeLeavesOutputUntouched)
{
    const int64_t cases[] = {INT64_MAX, INT64_MIN, -11644473601LL, 1000000000000000LL};
    for (int64_t stamp : cases) {
        FILETIME out{0x12345678, 0x9ABCDEF};
        EXPECT_FALSE(TimeStampToFileTime(stamp, &out)) << stamp;
        EXPECT_EQ(out.dwLowDateTime, 0x12345678u);
        EXPECT_EQ(out.dwHighDateTime, 0x9ABCDEFu);
    }
}

TEST(TimeStamp, UtcBackToLocalWallClockSecondsRoundedDown)
{
    TIME_ZONE_INFORMATION zone{};
    GetTimeZoneInformation(&zone);
    ASSERT_EQ(zone.Bias, -420) << "tests expect TZ=NOV-7";

    const LONGLONG epoch1601To1970 = 116444736000000000LL;
    const LONGLONG second = 10000000LL;
    const LONGLONG sevenHours = 7LL * 3600 * second;
    const struct
    {
        const char* what;
        LONGLONG utc; // 100-ns units since 1601
        int64_t stamp;
    } cases[] = {
        {"1970-01-01 00:00:00 local", epoch1601To1970 - sevenHours, 0},
        {"2017-01-30 12:34:56 local", epoch1601To1970 + 1485779696LL * second - sevenHours, 1485779696},
        {"a fraction of a second is dropped", epoch1601To1970 + 1485779696LL * second + second - 1 - sevenHours,
         1485779696},
        // Before 1970 the rounding still goes down, not towards zero.
        {"half a second before local 1970", epoch1601To1970 - second / 2 - sevenHours, -1},
        {"1601-01-02 00:00:00 local", 86400LL * second - sevenHours, 86400 - 11644473600LL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const FILETIME time{static_cast<DWORD>(c.utc & 0xFFFFFFFF), static_cast<DWORD>(c.utc >> 32)};
        int64_t stamp = 12345;
        ASSERT_TRUE(FileTimeToTimeStamp(time, &stamp));
        EXPECT_EQ(c.stamp, stamp);
        // And back: the same time to the second.
        FILETIME back{};
        ASSERT_TRUE(TimeStampToFileTime(stamp, &back));
        const LONGLONG backValue = (static_cast<LONGLONG>(back.dwHighDateTime) << 32) | back.dwLowDateTime;
        EXPECT_EQ(c.utc - c.utc % second, backValue);
    }
}

TEST(TrailingBackslash, AddsOneWhenMissing)
{
    EXPECT_EQ(AddTrailingBackslash(L"C:\\dir"), L"C:\\dir\\");
    EXPECT_EQ(AddTrailingBackslash(L"C:\\dir\\"), L"C:\\dir\\");
    EXPECT_EQ(AddTrailingBackslash(L""), L"");
}
