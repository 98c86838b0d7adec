// The rules for names from a manifest and the comparison of paths as the
// file system resolves them.
#include "platform/PathRules.h"

#include "platform/FileHelpers.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

TEST(PathRules, NamesThatStayInsideAndDeviceNames)
{
    const struct
    {
        const wchar_t* name;
        bool inside;
        bool device;
    } cases[] = {
        {L"a.dll", true, false},
        {L"sub\\a.dll", true, false},
        {L"sub/a.dll", true, false},
        {L".\\a.dll", true, false},
        {L"sub\\..\\a.dll", false, false},
        {L"sub\\..\\..\\x.dll", false, false},
        {L"sub/../../x.dll", false, false},
        {L"sub\\.. \\..\\..\\x.dll", false, false},
        {L"..", false, false},
        {L"..\\x", false, false},
        {L"\\x.dll", false, false},
        {L"/x.dll", false, false},
        {L"C:\\x.dll", false, false},
        {L"a.dll:stream", false, false},
        {L"", false, false},
        {L"...dll", true, false},
        {L"..a", true, false},
        // Device names: any letter case, any extension, trailing dots or
        // blanks, anywhere on the path.
        {L"aux.txt", true, true},
        {L"NUL", true, true},
        {L"nul.tar.gz", true, true},
        {L"Con", true, true},
        {L"prn.", true, true},
        {L"COM1", true, true},
        {L"com9.log", true, true},
        {L"LPT1 .log", true, true},
        {L"lpt5", true, true},
        {L"sub\\con\\x.dll", true, true},
        {L"sub/aux/x.dll", true, true},
        {L"conin$", true, true},
        {L"CONOUT$.txt", true, true},
        {L"COM\x00B9", true, true},
        {L"com0", true, false},
        {L"lpt10", true, false},
        {L"console.txt", true, false},
        {L"auxiliary.dll", true, false},
        {L"nulls\\x.dll", true, false},
        {L"xcon", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Cp1251(c.name));
        EXPECT_EQ(c.inside, StaysInside(c.name));
        EXPECT_EQ(c.device, NamesDevice(c.name));
    }
}

TEST(PathRules, BelowAndComparableText)
{
    EXPECT_TRUE(IsBelow(L"C:\\App\\x.dll", L"C:\\app\\"));
    EXPECT_TRUE(IsBelow(L"c:\\APP\\sub\\x.dll", L"C:\\app\\"));
    EXPECT_FALSE(IsBelow(L"C:\\app\\", L"C:\\app\\"));
    EXPECT_FALSE(IsBelow(L"C:\\apple\\x.dll", L"C:\\app\\"));
    EXPECT_FALSE(IsBelow(L"C:\\ap", L"C:\\app\\"));
    EXPECT_EQ(ComparableText(L"App.DLL"), ComparableText(L"app.dll"));
    EXPECT_EQ(ComparableText(L"Приложение.exe"), ComparableText(L"пРИЛОЖЕНИЕ.EXE"));
    EXPECT_EQ(ComparableText(L"Ωμέγα"), ComparableText(L"ΩΜΈΓΑ"));
    EXPECT_NE(ComparableText(L"a.dll"), ComparableText(L"b.dll"));
}

// A short 8.3 name and the long one are one file; names that do not exist
// are kept as written below the part that does.
TEST(PathRules, ShortAndLongNamesCompareEqual)
{
    CTestFolder folder;
    ASSERT_TRUE(CreateDirectoryW((folder / L"LongFolderName").c_str(), nullptr));
    const std::wstring file = folder / L"LongFolderName\\longfilename.dll";
    ASSERT_TRUE(WriteBytes(file, "x"));
    wchar_t shortName[MAX_PATH] = {};
    ASSERT_NE(0u, GetShortPathNameW(file.c_str(), shortName, MAX_PATH));
    ASSERT_NE(std::wstring(shortName), file) << "the volume gives no short names";

    EXPECT_EQ(ComparablePath(file), ComparablePath(shortName));
    EXPECT_EQ(FullPathOf(file), LongPathOf(shortName));
    const std::wstring shortFolder = std::wstring(shortName).substr(0, std::wstring(shortName).find_last_of(L'\\'));
    EXPECT_EQ(folder / L"LongFolderName\\new~1.dll", LongPathOf(shortFolder + L"\\new~1.dll"));
    EXPECT_EQ(ComparablePath(folder / L"LongFolderName\\x.dll"), ComparablePath(shortFolder + L"\\X.DLL"));
    EXPECT_EQ(L"C:\\no~such\\x", LongPathOf(L"C:\\no~such\\x"));

    // The name as the folder lists it: its letter case on the disk.
    CFolderListing listing;
    EXPECT_EQ(folder / L"LongFolderName\\longfilename.dll", listing.AsListed(folder / L"LongFolderName\\LONGFILENAME.DLL"));
    EXPECT_EQ(folder / L"LongFolderName\\absent.dll", listing.AsListed(folder / L"LongFolderName\\absent.dll"));
}

// Each path checked from the folder down: links, files on the way and a
// folder in the file's place are found, answered from listings or asked at
// the moment.
TEST(PathRules, PathCheckFindsLinksFilesAndFolders)
{
    CTestFolder folder;
    CTestFolder outside;
    const std::wstring root = folder / L"app\\";
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((root + L"sub").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((root + L"plug").c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(root + L"sub\\a.dll", "a"));
    ASSERT_TRUE(WriteBytes(root + L"file", "f"));
    ASSERT_TRUE(WriteBytes(outside / L"x.dll", "outside"));
    ASSERT_TRUE(MakeHostLink(root + L"link", outside.Path().substr(0, outside.Path().size() - 1)));
    ASSERT_TRUE(MakeHostLink(root + L"sub\\inner", outside.Path().substr(0, outside.Path().size() - 1)));

    const struct
    {
        const wchar_t* name;
        ePathCheck expected;
        const wchar_t* where; // below root; empty for a plain path
    } cases[] = {
        {L"sub\\a.dll", ePathPlain, L""},
        {L"sub\\new.dll", ePathPlain, L""},
        {L"new\\deeper\\x.dll", ePathPlain, L""},
        {L"SUB\\A.DLL", ePathPlain, L""},
        {L"link\\x.dll", ePathThroughLink, L"link"},
        {L"link\\newdir\\planted.dll", ePathThroughLink, L"link"},
        {L"link", ePathThroughLink, L"link"},
        {L"sub\\inner\\x.dll", ePathThroughLink, L"sub\\inner"},
        {L"file\\x.dll", ePathThroughFile, L"file"},
        {L"plug", ePathIsFolder, L"plug"},
    };
    for (bool listed : {true, false}) {
        CPathChecker checker(listed);
        for (const auto& c : cases) {
            SCOPED_TRACE(Cp1251(c.name) + (listed ? " (listed)" : " (asked)"));
            std::wstring where;
            EXPECT_EQ(c.expected, checker.Check(root, root + c.name, &where));
            if (c.expected != ePathPlain) {
                EXPECT_EQ(ComparableText(root + c.where), ComparableText(where));
            }
        }
    }
    EXPECT_TRUE(RemoveHostLink(root + L"link"));
    EXPECT_TRUE(RemoveHostLink(root + L"sub\\inner"));
    EXPECT_EQ("outside", ReadBytes(outside / L"x.dll").value_or("<missing>"));
}
