// Loading the update manifest and the new files' content, in process.
#include "update/ManifestText.h"
#include "update/QXUpdate.h"
#include "update/UpdateJournal.h"

#include "platform/FileHelpers.h"
#include "platform/Handles.h"
#include "platform/Md5.h"
#include "platform/TextConversion.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace ManifestText;

namespace {

// A test folder with the download folder "upd\" and the application folder "app\".
class ManifestLoad : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CreateDirectoryW(UpdateFolder().c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(TargetFolder().c_str(), nullptr));
    }

    std::wstring UpdateFolder() const { return m_folder / L"upd\\"; }
    std::wstring TargetFolder() const { return m_folder / L"app\\"; }
    std::wstring ManifestPath() const { return m_folder / L"update.xml"; }

    void Download(const std::wstring& name, const std::string& bytes)
    {
        ASSERT_TRUE(WriteBytes(UpdateFolder() + name, bytes));
    }

    bool Load(const std::wstring& items, int count, const XmlAttributes& info = {})
    {
        EXPECT_TRUE(WriteManifest(ManifestPath(), InfoElement(UpdateFolder(), TargetFolder(), info) +
                                                      FilesElement(items, count)));
        return m_update.LoadUpdateInfoFromXmlFile(ManifestPath());
    }

    // The item's new content, staged in the run's folder.
    static std::string Content(const CUpdateFileItem& item)
    {
        if (!item.staged.IsStaged())
            return "<none>";
        std::string bytes(static_cast<size_t>(item.sizeBytes), '\0');
        LARGE_INTEGER start{};
        DWORD read = 0;
        if (!SetFilePointerEx(item.staged.Get(), start, nullptr, FILE_BEGIN) ||
            !ReadFile(item.staged.Get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) ||
            read != bytes.size())
            return "<unreadable>";
        return bytes;
    }

    CTestFolder m_folder;
    CQXUpdate m_update;
};

} // namespace

TEST_F(ManifestLoad, InfoAttributes_AreStoredAsRead)
{
    const bool loaded = Load(L"", 0,
                             {
                                 {L"Key", L"0102"},
                                 {L"xKey", L"511"}, // low 8 bits: 0xFF
                                 {L"AssignedVersion", L"10.0.586.1"},
                                 {L"ForceUpdateDate", L"0x10"},
                                 {L"PerformDbBackup", L"yes"},
                                 {L"RestartQuoteBench", L"True"},
                                 {L"AppToRun", L"bin\\app.exe"},
                                 {L"Params", L"/x \"quoted arg\""},
                             });
    EXPECT_TRUE(loaded);
    EXPECT_TRUE(m_update.files.empty());
    EXPECT_EQ(WideToAnsi(UpdateFolder()), m_update.updateFolder);
    EXPECT_EQ(WideToAnsi(TargetFolder()), m_update.targetFolder);
    EXPECT_EQ(0xFF, m_update.xKey);
    // 01 and 02, each XOR 0xFF, inverted, then rotated left by 7 and by 6.
    EXPECT_EQ(std::string("\x80\x80"), m_update.key);
    EXPECT_EQ(10, m_update.assignedVersion.major);
    EXPECT_EQ(0, m_update.assignedVersion.minor);
    EXPECT_EQ(586, m_update.assignedVersion.build);
    EXPECT_EQ(1, m_update.assignedVersion.revision);
    EXPECT_EQ(16, m_update.forceUpdateDate);
    EXPECT_TRUE(m_update.performDbBackup);
    EXPECT_TRUE(m_update.restartQuoteBench);
    EXPECT_EQ("bin\\app.exe", m_update.appToRun);
    EXPECT_EQ("/x \"quoted arg\"", m_update.params);
    EXPECT_EQ("files-key", m_update.filesKey);
}

TEST_F(ManifestLoad, OddLengthKey_KeepsWholePairsOnly)
{
    // "0A1": one whole pair; 0x0A XOR 0xFF inverted is 0x0A, rotated left by 7 is 0x05.
    EXPECT_TRUE(Load(L"", 0, {{L"Key", L"0A1"}, {L"xKey", L"255"}}));
    EXPECT_EQ(std::string("\x05"), m_update.key);
}

TEST_F(ManifestLoad, ItemElements_MissingIndexesSkippedInIndexOrder)
{
    Download(L"a.bin", "aaa");
    Download(L"c.bin", "c");
    const std::wstring items = ItemElement(2, L"c.bin", 1, L"1") + // document order differs from index order
                               ItemElement(0, L"a.bin", 3, L"1") +
                               ItemElement(3, L"beyond-count.bin", 1, L"1") +
                               XmlElement(L"I02", {{L"FileName", L"leading-zero.bin"}}) +
                               XmlElement(L"I0", {{L"FileName", L"second-of-a-name.bin"}}) +
                               XmlElement(L"i1", {{L"FileName", L"lower-case.bin"}});
    EXPECT_TRUE(Load(items, 3));
    ASSERT_EQ(2u, m_update.files.size());
    EXPECT_EQ("a.bin", m_update.files[0]->fileName);
    EXPECT_EQ("aaa", Content(*m_update.files[0]));
    EXPECT_EQ("c.bin", m_update.files[1]->fileName);
    EXPECT_EQ("c", Content(*m_update.files[1]));
}

TEST_F(ManifestLoad, ItemAttributes_AreStoredAsRead)
{
    Download(L"a.bin", "12345");
    const std::wstring item = XmlElement(L"I0", {
                                                    {L"FileName", L"a.bin"},
                                                    {L"TempFileName", L"a.tmp"},
                                                    {L"MD5", L"abc"},
                                                    {L"Attr", L"4294967295"},
                                                    {L"SizeByte", L"5"},
                                                    {L"Modified", L"-86400"},
                                                    {L"isDownloadCopmplete", L"t"},
                                                    {L"isUpdate", L"Y"},
                                                });
    EXPECT_TRUE(Load(item + XmlElement(L"I1", {}), 2));
    ASSERT_EQ(2u, m_update.files.size());
    const CUpdateFileItem& a = *m_update.files[0];
    EXPECT_EQ("a.tmp", a.tempFileName);
    EXPECT_EQ("abc", a.md5);
    EXPECT_EQ(0xFFFFFFFFu, a.attributes);
    EXPECT_EQ(5, a.sizeBytes);
    EXPECT_EQ(-86400, a.modified);
    EXPECT_TRUE(a.downloadComplete);
    EXPECT_TRUE(a.doUpdate);
    EXPECT_EQ("12345", Content(a));
    // Absent attributes: empty, 0 and false (Attr too, not the record's 128).
    const CUpdateFileItem& empty = *m_update.files[1];
    EXPECT_EQ("", empty.fileName);
    EXPECT_EQ(0u, empty.attributes);
    EXPECT_EQ(0, empty.sizeBytes);
    EXPECT_FALSE(empty.doUpdate);
    EXPECT_FALSE(empty.HasContent());
}

TEST_F(ManifestLoad, IsUpdate_TrueOnlyForLeadingOneTOrY)
{
    const struct
    {
        const wchar_t* value; // nullptr: attribute absent
        bool doUpdate;
    } cases[] = {
        {L"yes", true}, {L"True", true}, {L"1", true},  {L"t", true},
        {L"no", false}, {L"0", false},   {L"", false},  {L"false", false}, {nullptr, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value != nullptr ? c.value : L"(absent)");
        Download(L"a.bin", "a");
        XmlAttributes attributes = {{L"FileName", L"a.bin"}, {L"SizeByte", L"1"}};
        if (c.value != nullptr)
            attributes.push_back({L"isUpdate", c.value});
        CQXUpdate update;
        ASSERT_TRUE(WriteManifest(ManifestPath(), InfoElement(UpdateFolder(), TargetFolder()) +
                                                      FilesElement(XmlElement(L"I0", attributes), 1)));
        EXPECT_TRUE(update.LoadUpdateInfoFromXmlFile(ManifestPath()));
        ASSERT_EQ(1u, update.files.size());
        EXPECT_EQ(c.doUpdate, update.files[0]->doUpdate);
        // The download is read only for items to install.
        EXPECT_EQ(c.doUpdate, update.files[0]->HasContent());
    }
}

TEST_F(ManifestLoad, Downloads_FoundUnderFileNameOrTempName)
{
    Download(L"both.bin", "by file name");
    Download(L"both.tmp", "by temp name");
    Download(L"temp-only.tmp", "temp");
    const std::wstring items = ItemElement(0, L"both.bin", 12, L"1", L"0", L"both.tmp") +
                               ItemElement(1, L"temp-only.bin", 4, L"1", L"0", L"temp-only.tmp") +
                               ItemElement(2, L"nowhere.bin", 0, L"1", L"0", L"nowhere.tmp") +
                               ItemElement(3, L"skipped.bin", 7, L"0");
    // A missing download of an empty file, or of a skipped item, does not fail the load.
    EXPECT_TRUE(Load(items, 4));
    ASSERT_EQ(4u, m_update.files.size());
    EXPECT_EQ("by file name", Content(*m_update.files[0]));
    EXPECT_EQ("temp-only.bin", m_update.files[1]->fileName);
    EXPECT_EQ("temp", Content(*m_update.files[1]));
    // An empty file is staged empty; a skipped item stages nothing.
    EXPECT_EQ("", Content(*m_update.files[2]));
    EXPECT_FALSE(m_update.files[3]->HasContent());
}

TEST_F(ManifestLoad, SizeDiscrepancy_FailsButLaterItemsAreRead)
{
    const struct
    {
        const char* what;
        std::string bytes;
        size_t sizeBytes;
    } cases[] = {
        {"one byte short", "1234", 5},
        {"one byte long", "123456", 5},
        {"empty download", "", 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Download(L"bad.bin", c.bytes);
        Download(L"good.bin", "good");
        CQXUpdate update;
        ASSERT_TRUE(WriteManifest(ManifestPath(), InfoElement(UpdateFolder(), TargetFolder()) +
                                                      FilesElement(ItemElement(0, L"bad.bin", c.sizeBytes, L"1") +
                                                                       ItemElement(1, L"good.bin", 4, L"1"),
                                                                   2)));
        EXPECT_FALSE(update.LoadUpdateInfoFromXmlFile(ManifestPath()));
        ASSERT_EQ(2u, update.files.size());
        EXPECT_FALSE(update.files[0]->HasContent());
        EXPECT_FALSE(update.files[0]->downloadComplete);
        EXPECT_EQ("good", Content(*update.files[1]));
        EXPECT_TRUE(update.files[1]->downloadComplete);
    }
}

TEST_F(ManifestLoad, EmptyDownload_WithSizeZeroLoads)
{
    Download(L"empty.bin", "");
    EXPECT_TRUE(Load(ItemElement(0, L"empty.bin", 0, L"1"), 1));
    ASSERT_EQ(1u, m_update.files.size());
    EXPECT_TRUE(m_update.files[0]->HasContent());
}

TEST_F(ManifestLoad, DownloadHeldWithoutSharing_CountsAsDiscrepancy)
{
    Download(L"held.bin", "held");
    HANDLE held = CreateFileW((UpdateFolder() + L"held.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    const bool loaded = Load(ItemElement(0, L"held.bin", 4, L"1"), 1);
    CloseHandle(held);
    EXPECT_FALSE(loaded);
    ASSERT_EQ(1u, m_update.files.size());
    EXPECT_FALSE(m_update.files[0]->HasContent());
    EXPECT_FALSE(m_update.files[0]->downloadComplete);
}

TEST_F(ManifestLoad, UpdateFolder_JoinedByPlainConcatenation)
{
    // "...\upd" without its backslash and "a.dll" name the file "...\upda.dll".
    ASSERT_TRUE(WriteBytes(m_folder / L"upda.dll", "joined"));
    Download(L"a.dll", "inside");
    std::wstring folder = UpdateFolder();
    folder.pop_back();
    ASSERT_TRUE(WriteManifest(ManifestPath(),
                              InfoElement(folder, TargetFolder()) + FilesElement(ItemElement(0, L"a.dll", 6, L"1"), 1)));
    EXPECT_TRUE(m_update.LoadUpdateInfoFromXmlFile(ManifestPath()));
    ASSERT_EQ(1u, m_update.files.size());
    EXPECT_EQ("joined", Content(*m_update.files[0]));
}

TEST_F(ManifestLoad, MissingInfo_FailsButItemsAreLoaded)
{
    Download(L"a.bin", "a");
    // Without info the update folder is empty: the download is looked for in
    // the current directory, so it is not found and the item keeps no content.
    ASSERT_TRUE(WriteManifest(ManifestPath(), FilesElement(ItemElement(0, L"a.bin", 1, L"1"), 1)));
    EXPECT_FALSE(m_update.LoadUpdateInfoFromXmlFile(ManifestPath()));
    ASSERT_EQ(1u, m_update.files.size());
    EXPECT_EQ("a.bin", m_update.files[0]->fileName);
    EXPECT_EQ("", m_update.appToRun);
    EXPECT_EQ("", m_update.updateFolder);
}

TEST_F(ManifestLoad, UnusableManifest_FailsWithNothingLoaded)
{
    CreateDirectoryW((m_folder / L"folder.xml").c_str(), nullptr);
    ASSERT_TRUE(WriteBytes(m_folder / L"broken.xml", "<update><info UpdateFolder=\"x\"></update>"));
    ASSERT_TRUE(WriteBytes(m_folder / L"other-root.xml",
                           Utf8(XmlElement(L"manifest", {}, InfoElement(L"C:\\u\\", L"C:\\t\\") + FilesElement(L"", 0)))));
    const struct
    {
        const char* what;
        std::wstring path;
    } cases[] = {
        {"missing file", m_folder / L"missing.xml"},
        {"missing folder", m_folder / L"missing\\update.xml"},
        {"a folder", m_folder / L"folder.xml"},
        {"not well-formed", m_folder / L"broken.xml"},
        {"no update element", m_folder / L"other-root.xml"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CQXUpdate update;
        EXPECT_FALSE(update.LoadUpdateInfoFromXmlFile(c.path));
        EXPECT_TRUE(update.files.empty());
        EXPECT_EQ("", update.targetFolder);
    }
}

TEST_F(ManifestLoad, MissingFiles_FailsAndKeepsInfo)
{
    ASSERT_TRUE(WriteManifest(ManifestPath(), InfoElement(UpdateFolder(), TargetFolder(), {{L"AppToRun", L"a.exe"}})));
    EXPECT_FALSE(m_update.LoadUpdateInfoFromXmlFile(ManifestPath()));
    EXPECT_EQ("a.exe", m_update.appToRun);
    EXPECT_EQ(WideToAnsi(TargetFolder()), m_update.targetFolder);
}

TEST_F(ManifestLoad, Utf16Manifest_IsReadThroughEncodingDetection)
{
    Download(L"a.bin", "a");
    const std::wstring text = L"\xFEFF<?xml version=\"1.0\" encoding=\"utf-16\"?>" +
                              XmlElement(L"update", {},
                                         InfoElement(UpdateFolder(), TargetFolder(), {{L"AppToRun", L"u16.exe"}}) +
                                             FilesElement(ItemElement(0, L"a.bin", 1, L"1"), 1));
    ASSERT_TRUE(WriteBytes(ManifestPath(), std::string(reinterpret_cast<const char*>(text.data()),
                                                       text.size() * sizeof(wchar_t))));
    EXPECT_TRUE(m_update.LoadUpdateInfoFromXmlFile(ManifestPath()));
    EXPECT_EQ("u16.exe", m_update.appToRun);
    ASSERT_EQ(1u, m_update.files.size());
    EXPECT_EQ("a", Content(*m_update.files[0]));
}

TEST_F(ManifestLoad, HugeCount_LoadsPresentItemsQuickly)
{
    Download(L"a.bin", "a");
    Download(L"b.bin", "b");
    const DWORD start = GetTickCount();
    EXPECT_TRUE(Load(ItemElement(0, L"a.bin", 1, L"1") + ItemElement(2147483646, L"b.bin", 1, L"1"), 2147483647));
    EXPECT_EQ(2u, m_update.files.size());
    // Generous: looking up two billion names one by one would take minutes.
    EXPECT_LT(GetTickCount() - start, 20000u);
}

// That the items are freed shows only to a leak checker; what is checked here
// is that nothing of them is left.
TEST(QXUpdate, Reset_EmptiesItemsAndStrings)
{
    CQXUpdate update;
    update.updateFolder = "u";
    update.targetFolder = "t";
    update.key = "k";
    update.appToRun = "a";
    update.params = "p";
    update.filesKey = "f";
    update.files.push_back(std::make_unique<CUpdateFileItem>());
    update.Reset();
    EXPECT_TRUE(update.files.empty());
    EXPECT_EQ("", update.updateFolder + update.targetFolder + update.key + update.appToRun +
                      update.params + update.filesKey);
}

TEST(UnmaskKey, CombinesEveryByteWithTheMask)
{
    const struct
    {
        const char* what;
        std::string data;
        std::string mask;
        std::string expected;
    } cases[] = {
        {"empty data", "", "\x5A", ""},
        {"empty mask leaves data", "\x01\x02", "", "\x01\x02"},
        // ~0x01 = 0xFE: its one clear bit lands at the rotation count, which
        // runs 7, 6, 5, 4, 3, 2, 1 and then 7 again.
        {"mask 0 still inverts and rotates", std::string(8, '\x01'), std::string(1, '\0'),
         "\x7F\xBF\xDF\xEF\xF7\xFB\xFD\x7F"},
        {"mask equal to data", "\xA5", "\xA5", "\xFF"},
        // The mask index wraps: bytes 0 and 2 meet 0xFF, byte 1 meets 0x00.
        {"mask repeats", "\xFF\xFF\xFF", std::string("\xFF\x00", 2), std::string("\xFF\x00\xFF", 3)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.expected, UnmaskKey(c.data, c.mask));
    }
}

TEST_F(ManifestLoad, NumbersThatAreNotPlainDecimals_ReadAsTheConversionsDefine)
{
    Download(L"three.bin", "abc");
    Download(L"empty.bin", "");
    const struct
    {
        const char* what;
        std::wstring count;
        const wchar_t* fileName;
        const wchar_t* sizeBytes;
        const wchar_t* modified;
        const wchar_t* xKey;
        bool result;
        size_t items;
        int64_t wantSize;
        int64_t wantModified;
        int wantXKey;
    } cases[] = {
        // No items at all, so nothing is read and the result stays true.
        {"count not a number", L"two", L"three.bin", L"3", L"0", L"0", true, 0, 0, 0, 0},
        {"count negative", L"-2", L"three.bin", L"3", L"0", L"0", true, 0, 0, 0, 0},
        // A size that no file has: a discrepancy, not a huge allocation.
        {"size negative", L"1", L"three.bin", L"-1", L"0", L"0", false, 1, -1, 0, 0},
        {"size not a number reads 0", L"1", L"empty.bin", L"n/a", L"0", L"0", true, 1, 0, 0, 0},
        {"modified not a number reads 0", L"1", L"three.bin", L"3", L"later", L"0", true, 1, 3, 0, 0},
        {"modified negative", L"1", L"three.bin", L"3", L"-86400", L"0", true, 1, 3, -86400, 0},
        {"xKey negative keeps its low 8 bits", L"0", L"three.bin", L"3", L"0", L"-1", true, 0, 0, 0, 0xFF},
        {"xKey not a number reads 0", L"0", L"three.bin", L"3", L"0", L"x1", true, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CQXUpdate update;
        const std::wstring item = XmlElement(
            L"I0", {{L"FileName", c.fileName}, {L"SizeByte", c.sizeBytes}, {L"Modified", c.modified}, {L"isUpdate", L"1"}});
        ASSERT_TRUE(WriteManifest(ManifestPath(), InfoElement(UpdateFolder(), TargetFolder(), {{L"xKey", c.xKey}}) +
                                                      FilesElement(item, c.count)));
        EXPECT_EQ(c.result, update.LoadUpdateInfoFromXmlFile(ManifestPath()));
        EXPECT_EQ(c.wantXKey, update.xKey);
        ASSERT_EQ(c.items, update.files.size());
        if (c.items == 1) {
            EXPECT_EQ(c.wantSize, update.files[0]->sizeBytes);
            EXPECT_EQ(c.wantModified, update.files[0]->modified);
            EXPECT_EQ(c.result, update.files[0]->HasContent());
        }
    }
}

TEST_F(ManifestLoad, SizeOfFourGiBOrMore_RefusedBeforeAnythingIsStaged)
{
    // The write of such a file could never complete: refused at the load,
    // before any download is read or staged.
    Download(L"huge.bin", "h");
    Download(L"good.bin", "good");
    const bool loaded = Load(ItemElement(0, L"good.bin", 4, L"1") +
                                 ItemElement(1, L"huge.bin", static_cast<size_t>((4ULL << 30) + 1), L"1"),
                             2);
    EXPECT_FALSE(loaded);
    ASSERT_EQ(2u, m_update.files.size());
    EXPECT_FALSE(m_update.files[0]->HasContent());
    EXPECT_FALSE(m_update.files[1]->HasContent());
    // No run folder was made: nothing was staged.
    WIN32_FIND_DATAW data{};
    EXPECT_FALSE(CFindHandle(FindFirstFileW((TargetFolder() + L".~qx*").c_str(), &data)).IsValid());
}

TEST_F(ManifestLoad, Md5_ADigestIsCheckedAnythingElseIsStoredAsRead)
{
    // MD5 of "content" and of "contenT", which has the same size.
    const std::wstring right = L"9a0364b9e99bb480dd25e1f0284c8555";
    const std::wstring wrong = L"25842d4e3fd01181ca1375cb569fe4c1";
    const struct
    {
        const char* what;
        std::wstring md5;
        bool loaded;
    } cases[] = {
        {"digest of the content", right, true},
        {"upper-case digits", L"9A0364B9E99BB480DD25E1F0284C8555", true},
        {"mixed case", L"9a0364B9e99bb480dd25e1f0284c8555", true},
        {"another content's digest", wrong, false},
        {"one digit changed", L"9a0364b9e99bb480dd25e1f0284c8556", false},
        // Not 32 hexadecimal digits: not checked, so the wrong digit in them does not matter.
        {"empty", L"", true},
        {"31 digits", L"9a0364b9e99bb480dd25e1f0284c855", true},
        {"33 digits", L"9a0364b9e99bb480dd25e1f0284c85560", true},
        {"32 characters, one not hexadecimal", L"9a0364b9e99bb480dd25e1f0284c855g", true},
        {"blank around a digest", L" 25842d4e3fd01181ca1375cb569fe4c1", true},
        {"another format", L"md5:25842d4e3fd01181ca1375cb569fe4c1", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Download(L"a.bin", "content");
        Download(L"later.bin", "later");
        CQXUpdate update;
        ASSERT_TRUE(WriteManifest(ManifestPath(),
                                  InfoElement(UpdateFolder(), TargetFolder()) +
                                      FilesElement(ItemElement(0, L"a.bin", 7, L"1", L"0", L"", c.md5) +
                                                       ItemElement(1, L"later.bin", 5, L"1"),
                                                   2)));
        EXPECT_EQ(c.loaded, update.LoadUpdateInfoFromXmlFile(ManifestPath()));
        ASSERT_EQ(2u, update.files.size());
        const CUpdateFileItem& item = *update.files[0];
        EXPECT_EQ(WideToAnsi(c.md5), item.md5); // stored as read either way
        EXPECT_EQ(c.loaded ? "content" : "<none>", Content(item));
        // Refused exactly like a size discrepancy.
        EXPECT_EQ(c.loaded, item.downloadComplete);
        // A refused item does not stop the later ones.
        EXPECT_EQ("later", Content(*update.files[1]));
    }
}

TEST_F(ManifestLoad, Md5_CheckedOnTheDownloadUnderItsTempName)
{
    Download(L"a.part", "content");
    EXPECT_FALSE(Load(ItemElement(0, L"a.bin", 7, L"1", L"0", L"a.part", L"00000000000000000000000000000000"), 1));
    EXPECT_EQ("<none>", Content(*m_update.files[0]));
    CQXUpdate update;
    ASSERT_TRUE(WriteManifest(ManifestPath(), InfoElement(UpdateFolder(), TargetFolder()) +
                                                  FilesElement(ItemElement(0, L"a.bin", 7, L"1", L"0", L"a.part",
                                                                           L"9a0364b9e99bb480dd25e1f0284c8555"),
                                                               1)));
    EXPECT_TRUE(update.LoadUpdateInfoFromXmlFile(ManifestPath()));
    EXPECT_EQ("content", Content(*update.files[0]));
}

TEST_F(ManifestLoad, Md5_ManyItemsOfEveryKind_EachCheckedAndStagedOnItsOwn)
{
    // Small checked files are staged four at a time with their digests taken
    // side by side, larger ones alone, hashed on a thread of their own;
    // whatever their mix, each item must
    // come out with exactly its own bytes or be refused on its own.
    enum class Kind { kGood, kWrongDigest, kNoDigest, kWrongSize, kNoDownload, kInNewFolder };
    const struct
    {
        size_t size;
        Kind kind;
    } items[] = {
        {0, Kind::kGood},
        {1, Kind::kGood},
        {63, Kind::kGood},
        {64, Kind::kWrongDigest},
        {65, Kind::kGood},
        {(256 << 10) - 1, Kind::kGood},
        {256 << 10, Kind::kNoDigest},
        {(256 << 10) + 1, Kind::kGood},
        {(1 << 20) + 3, Kind::kWrongDigest},
        {5000, Kind::kWrongSize},
        {0, Kind::kNoDownload}, // an empty file: nothing to download
        {(33 << 20) + 5, Kind::kGood}, // above the size staged side by side
        {(33 << 20) + 7, Kind::kWrongDigest}, // staged alone, and its digest still checked
        {33 << 20, Kind::kGood}, // staged alone, a whole number of blocks
        {3000, Kind::kInNewFolder},
        {(2 << 20) + 11, Kind::kGood},
        {100, Kind::kGood},
    };
    std::wstring elements;
    std::vector<std::string> contents;
    for (size_t i = 0; i < sizeof(items) / sizeof(items[0]); ++i) {
        // One file goes to a folder the application lacks (its install then fails).
        const std::wstring name =
            (items[i].kind == Kind::kInNewFolder ? L"absent\\" : L"") + (L"f" + std::to_wstring(i) + L".bin");
        std::string bytes(items[i].size, '\0');
        for (size_t j = 0; j < bytes.size(); ++j)
            bytes[j] = static_cast<char>((j * 131 + i * 7919) >> 3);
        CMd5 md5;
        ASSERT_TRUE(md5.Update(bytes.data(), bytes.size()));
        std::string digest = md5.FinishHex();
        switch (items[i].kind) {
        case Kind::kWrongDigest:
            bytes[bytes.size() / 2] ^= 1; // same size, other bytes
            break;
        case Kind::kNoDigest:
            digest.clear();
            break;
        case Kind::kWrongSize:
            bytes.push_back('x');
            break;
        case Kind::kInNewFolder:
            ASSERT_TRUE(CreateDirectoryW((UpdateFolder() + L"absent").c_str(), nullptr));
            break;
        default:
            break;
        }
        if (items[i].kind != Kind::kNoDownload)
            Download(name, bytes);
        contents.push_back(bytes);
        elements += ItemElement(static_cast<int>(i), name, items[i].size, L"1", L"0", L"", AnsiToWide(digest));
    }
    EXPECT_FALSE(Load(elements, static_cast<int>(contents.size())));
    ASSERT_EQ(contents.size(), m_update.files.size());
    for (size_t i = 0; i < contents.size(); ++i) {
        SCOPED_TRACE("item " + std::to_string(i));
        const CUpdateFileItem& item = *m_update.files[i];
        const bool refused = items[i].kind == Kind::kWrongDigest || items[i].kind == Kind::kWrongSize;
        EXPECT_EQ(!refused, item.downloadComplete);
        if (refused) {
            EXPECT_EQ("<none>", Content(item));
            EXPECT_FALSE(item.staged.IsStaged());
            continue;
        }
        EXPECT_TRUE(Content(item) == contents[i]) << "the installed bytes differ from the download";
        // Staged in the run's folder, also for a file whose own folder the
        // application lacks yet.
        EXPECT_TRUE(item.staged.IsStaged());
    }
    // Nothing of a refused item is left in the application folder: the
    // run's folder holds the staged files of the items still staged.
    WIN32_FIND_DATAW data{};
    CFindHandle runFolder(FindFirstFileW((TargetFolder() + L".~qx*").c_str(), &data));
    ASSERT_TRUE(runFolder.IsValid());
    // The first subfolder holds the names of the first changes, all of them here.
    const std::wstring folder = TargetFolder() + data.cFileName + L"\\0\\";
    int stagedNames = 0;
    CFindHandle find(FindFirstFileW((folder + L"*.new").c_str(), &data));
    ASSERT_TRUE(find.IsValid());
    do {
        ++stagedNames;
    } while (FindNextFileW(find.Get(), &data));
    int stagedItems = 0;
    for (const auto& item : m_update.files)
        stagedItems += item->staged.IsStaged() ? 1 : 0;
    EXPECT_EQ(stagedItems, stagedNames);
}

// What was checked is what is installed: from the load to the swap the
// staged file is held without sharing, so no program can write to it, delete
// it or rename it.
TEST_F(ManifestLoad, StagedFile_NoWriterWhileTheRunHoldsIt)
{
    CTestFolder journalFolder;
    m_update.journalPath = journalFolder / L"QXUpdate.journal";
    ASSERT_TRUE(WriteBytes(TargetFolder() + L"a.dll", "old"));
    Download(L"a.dll", "new");
    ASSERT_TRUE(Load(ItemElement(0, L"a.dll", 3, L"1"), 1));
    const CUpdateFileItem& item = *m_update.files[0];
    ASSERT_TRUE(item.staged.IsStaged());
    const std::wstring staged = m_update.Transaction().StagedPath(0);
    ASSERT_FALSE(staged.empty());
    for (const DWORD access : {static_cast<DWORD>(GENERIC_WRITE), static_cast<DWORD>(DELETE),
                               static_cast<DWORD>(FILE_APPEND_DATA)}) {
        SCOPED_TRACE(access);
        CHandle writer(CreateFileW(staged.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_FALSE(writer.IsValid());
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    }
    EXPECT_EQ("new", Content(item));
    m_update.Reset();
}

// The journal is on the disk before anything in the application folder
// changes, and its commit line before the old versions are deleted: each
// written out (a kill never loses what the system accepted; a power cut does).
TEST_F(ManifestLoad, Journal_WrittenOutBeforeTheFirstChangeAndAtTheCommit)
{
    CTestFolder journalFolder;
    m_update.journalPath = journalFolder / L"QXUpdate.journal";
    ASSERT_TRUE(WriteBytes(TargetFolder() + L"a.dll", "old"));
    Download(L"a.dll", "new");
    const LONG before = JournalFlushes();
    ASSERT_TRUE(Load(ItemElement(0, L"a.dll", 3, L"1"), 1));
    EXPECT_EQ(before + 1, JournalFlushes());
    EXPECT_EQ("old", ReadBytes(TargetFolder() + L"a.dll").value_or("<missing>"));
    m_update.finishAfterStart = true;
    ASSERT_TRUE(m_update.UpdateAppFiles());
    EXPECT_EQ(before + 2, JournalFlushes());
    EXPECT_EQ("new", ReadBytes(TargetFolder() + L"a.dll").value_or("<missing>"));
    m_update.FinishUpdate();
}
