// From two versions of an application folder to the installed update: make,
// verify, and the real update engine applied to a copy of the old version.
#include "makeupdate/ToolSupport.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

// 2001-02-03 04:05:06 UTC: the times of the old version's files.
const LONGLONG kOldTime = 126256467060000000LL;
// 2020-09-13 12:26:40 UTC and a half second: the new version's files carry
// this plus a minute per file, so a time rounded the wrong way shows.
const LONGLONG kNewTime = 132444736000000000LL + 5000000LL;

std::wstring Wide(const std::string& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

std::string Replace(std::string text, const std::string& what, const std::string& with)
{
    const size_t at = text.find(what);
    if (at != std::string::npos)
        text.replace(at, what.size(), with);
    return text;
}

// Writes a tree and gives every file the time base + index minutes (base 0: kOldTime for all).
bool WriteTimedTree(const std::wstring& folder, const TreeContents& files, LONGLONG base)
{
    if (!WriteTree(folder, files))
        return false;
    LONGLONG minute = 0;
    for (const auto& file : files) {
        const LONGLONG time = base == 0 ? kOldTime : base + minute;
        minute += 60LL * 10000000LL;
        if (!SetTimes(folder + file.first, time))
            return false;
    }
    return true;
}

} // namespace

// Cyrillic names reach the engine through the ANSI code page, so the whole
// trip runs under 1251.
TEST(RoundTrip, OldTreeBecomesTheNewTree_Cp1251)
{
    CTestFolder root;
    const std::wstring old = root / L"старая версия\\";
    const std::wstring fresh = root / L"новая версия\\";
    const std::wstring out = root / L"пакет обновления\\";
    const std::wstring installed = root / L"установлено\\";
    const std::wstring folder = L"Папка с пробелом\\";
    const TreeContents oldTree = {
        {L"same.txt", "unchanged"},
        {L"a.txt", "old a"},
        {L"B.txt", "bb"},
        {L"a\\b.txt", "old b"},
        {L"a\\keep.bin", std::string("\x00\x01\x02", 3)},
        {folder + L"Файл отчёта.txt", "старый"},
        {L"only-old.txt", "the update removes me"},
        {L"old folder\\deep\\gone.txt", "the update removes me and my folders"},
    };
    const TreeContents newTree = {
        {L"same.txt", "unchanged"},
        {L"a.txt", "new a, longer"},                        // changed size
        {L"B.txt", "bc"},                                   // same size, one byte differs
        {L"a\\b.txt", "new b"},                             // same size, every byte differs
        {L"a\\keep.bin", std::string("\x00\x01\x02", 3)},
        {L"a\\new in a.txt", "new in an existing folder"},
        {L"empty.dat", ""},
        {folder + L"Файл отчёта.txt", "новый"},
        {L"Новый файл.txt", "новый файл"},
        {L"новая папка\\вложенная\\plugin.dll", "in folders the old version lacks"},
    };
    ASSERT_TRUE(WriteTimedTree(old, oldTree, 0));
    ASSERT_TRUE(WriteTimedTree(installed, oldTree, 0));
    ASSERT_TRUE(WriteTimedTree(fresh, newTree, kNewTime));
    // Unchanged files keep their times in the new version too.
    ASSERT_TRUE(SetTimes(fresh + L"same.txt", kOldTime));
    ASSERT_TRUE(SetTimes(fresh + L"a\\keep.bin", kOldTime));

    const ToolResult made = RunMakeUpdate(
        {L"make", L"--old", old, L"--new", fresh, L"--out", out, L"--target-folder", installed, L"--update-folder", out});
    ASSERT_TRUE(made.finished);
    ASSERT_EQ(0u, made.exitCode);
    EXPECT_EQ(std::vector<std::wstring>(), made.err);

    // The manifest: the changed and new files, in ordinal order of their
    // paths, then a removal for each file only the old version has.
    const std::vector<std::wstring> listed = {L"B.txt",
                                              L"a.txt",
                                              L"a\\b.txt",
                                              L"a\\new in a.txt",
                                              L"empty.dat",
                                              L"Новый файл.txt",
                                              folder + L"Файл отчёта.txt",
                                              L"новая папка\\вложенная\\plugin.dll"};
    const std::vector<std::wstring> removed = {L"old folder\\deep\\gone.txt", L"only-old.txt"};
    pugi::xml_document document;
    ASSERT_TRUE(document.load_file((out + L"update.xml").c_str()));
    const pugi::xml_node info = document.child(L"update").child(L"info");
    EXPECT_EQ(out, std::wstring(info.attribute(L"UpdateFolder").value()));
    EXPECT_EQ(installed, std::wstring(info.attribute(L"TargetFolder").value()));
    const pugi::xml_node files = document.child(L"update").child(L"files");
    EXPECT_EQ(std::to_wstring(listed.size() + removed.size()), std::wstring(files.attribute(L"count").value()));
    size_t index = 0;
    for (pugi::xml_node item = files.first_child(); item; item = item.next_sibling(), ++index) {
        ASSERT_LT(index, listed.size() + removed.size());
        if (index >= listed.size()) {
            // Only the name and the mark: an engine that does not know
            // removals skips an item not marked for update.
            const std::map<std::wstring, std::wstring> expected = {{L"FileName", removed[index - listed.size()]},
                                                                   {L"isRemove", L"1"}};
            std::map<std::wstring, std::wstring> actual;
            for (const pugi::xml_attribute& attribute : item.attributes())
                actual[attribute.name()] = attribute.value();
            EXPECT_EQ(expected, actual);
            continue;
        }
        const std::wstring& name = listed[index];
        SCOPED_TRACE(Cp1251(name));
        const std::string content = newTree.at(name);
        const std::map<std::wstring, std::wstring> expected = {
            {L"FileName", name},
            {L"SizeByte", std::to_wstring(content.size())},
            {L"Modified", std::to_wstring(LocalSeconds(WriteTime(fresh + name)))},
            {L"MD5", Wide(CryptoApiMd5(content))},
            {L"Attr", std::to_wstring(GetFileAttributesW((fresh + name).c_str()))},
            {L"isUpdate", L"1"},
        };
        std::map<std::wstring, std::wstring> actual;
        for (const pugi::xml_attribute& attribute : item.attributes())
            actual[attribute.name()] = attribute.value();
        EXPECT_EQ(L"I" + std::to_wstring(index), std::wstring(item.name()));
        EXPECT_EQ(expected, actual);
    }
    EXPECT_EQ(listed.size() + removed.size(), index);
    // The downloads: the new bytes of just those files.
    TreeContents downloads;
    for (const std::wstring& name : listed)
        downloads[name] = newTree.at(name);
    TreeContents written = ReadTree(out);
    ASSERT_EQ(1u, written.erase(L"update.xml"));
    EXPECT_EQ(downloads, written);
    for (const std::wstring& name : listed)
        EXPECT_EQ(WriteTime(fresh + name), WriteTime(out + name)) << Cp1251(name);
    // What the update relies on finding as it is, beside the items (the
    // engine below knows nothing of it and commits all the same).
    std::vector<std::wstring> base;
    for (const pugi::xml_node& file : document.child(L"update").child(L"base").children(L"F"))
        base.push_back(std::wstring(file.attribute(L"FileName").value()) + L" " + file.attribute(L"SizeByte").value());
    EXPECT_EQ((std::vector<std::wstring>{L"a\\keep.bin 3", L"same.txt 9"}), base);

    const ToolResult verified = RunMakeUpdate({L"verify", out + L"update.xml"});
    ASSERT_TRUE(verified.finished);
    EXPECT_EQ(0u, verified.exitCode);
    EXPECT_EQ(std::vector<std::wstring>(), verified.err);

    // The engine on the copy of the old version.
    std::vector<std::string> log;
    ASSERT_TRUE(RunEngine(root / L"bin\\", out + L"update.xml", &log));
    EXPECT_EQ(std::vector<std::string>(), ErrorLines(log));
    EXPECT_EQ(Cp1251(L"обновление выполнено"), RunOutcome(log));
    // Exactly the new version: the removed files are gone with the folders
    // they left empty, the new folders are there.
    const TreeContents expected = newTree;
    EXPECT_EQ(expected, ReadTree(installed));
    EXPECT_FALSE(PathExists(installed + L"old folder"));
    EXPECT_TRUE(PathExists(installed + L"новая папка\\вложенная"));
    // The tool finds the installed folder as the manifest describes it.
    const ToolResult checked = RunMakeUpdate({L"verify", out + L"update.xml", L"--installed", installed});
    ASSERT_TRUE(checked.finished);
    EXPECT_EQ(0u, checked.exitCode);
    EXPECT_EQ(std::vector<std::wstring>(), checked.err);
    // The unchanged files of the base record are checked too.
    EXPECT_EQ(L"ok, unchanged: " + installed + L"same.txt", checked.out.at(listed.size() + removed.size() + 1));
    EXPECT_EQ(L"12 files checked, 0 problems: " + installed, checked.out.at(listed.size() + removed.size() + 2));
    // Installed files carry the new version's write times to the second; the
    // others were not touched.
    for (const auto& file : expected) {
        SCOPED_TRACE(Cp1251(file.first));
        const bool wasListed = downloads.count(file.first) != 0;
        EXPECT_EQ(wasListed ? WholeSecond(WriteTime(fresh + file.first)) : kOldTime,
                  WriteTime(installed + file.first));
    }
}

// Names go from the manifest to every Windows call as UTF-16: under a code
// page that lacks some of them (1252 has no Cyrillic, 1251 no "é", which a
// best-fit conversion would turn into the name of another file) each file is
// installed, replaced or removed under exactly its own name, and the folder
// becomes exactly the new version.
namespace {

void ExpectAnyNameInstalledExactly()
{
    CTestFolder root;
    const std::wstring old = root / L"old\\";
    const std::wstring fresh = root / L"new\\";
    const std::wstring out = root / L"out\\";
    const std::wstring installed = root / L"installed\\";
    const TreeContents oldTree = {
        {L"café.dll", "old café"},
        {L"cafe.dll", "a different file, never touched"},
        {L"Отчёт.txt", "старый"},
        {L"gone\\deeper\\x.txt", "removed with its folders"},
    };
    const TreeContents newTree = {
        {L"café.dll", "new café"},
        {L"cafe.dll", "a different file, never touched"},
        {L"Отчёт.txt", "новый"},
        {L"новая папка\\ünïcode\\é.dll", "in new folders"},
    };
    ASSERT_TRUE(WriteTree(old, oldTree));
    ASSERT_TRUE(WriteTree(installed, oldTree));
    ASSERT_TRUE(WriteTree(fresh, newTree));

    const ToolResult made =
        RunMakeUpdate({L"make", L"--old", old, L"--new", fresh, L"--out", out, L"--target-folder", installed});
    ASSERT_TRUE(made.finished);
    ASSERT_EQ(0u, made.exitCode);
    const ToolResult verified = RunMakeUpdate({L"verify", out + L"update.xml"});
    ASSERT_TRUE(verified.finished);
    EXPECT_EQ(0u, verified.exitCode);

    // One file held open by another program: the update is undone, the
    // folder is exactly the old version.
    std::vector<std::string> log;
    {
        CHandle held(CreateFileW((installed + L"Отчёт.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                 nullptr));
        ASSERT_TRUE(held.IsValid());
        ASSERT_TRUE(RunEngine(root / L"bin\\", out + L"update.xml", &log));
    }
    const size_t errorsOfTheHeldRun = ErrorLines(log).size();
    EXPECT_NE(0u, errorsOfTheHeldRun);
    EXPECT_EQ(oldTree, ReadTree(installed));
    EXPECT_TRUE(PathExists(installed + L"gone\\deeper"));
    EXPECT_FALSE(PathExists(installed + L"новая папка"));
    // Checked against the manifest, the old version shows each difference.
    ToolResult checked = RunMakeUpdate({L"verify", out + L"update.xml", L"--installed", installed});
    ASSERT_TRUE(checked.finished);
    EXPECT_EQ(3u, checked.exitCode);
    const std::vector<std::wstring> differences = {
        L"wrong MD5: " + installed + L"café.dll has " + Wide(CryptoApiMd5("old café")) + L", the manifest says " +
            Wide(CryptoApiMd5("new café")),
        L"wrong size: " + installed + L"Отчёт.txt has 12 bytes, the manifest says 10",
        L"missing: " + installed + L"новая папка\\ünïcode\\é.dll",
        L"not removed: " + installed + L"gone\\deeper\\x.txt",
    };
    EXPECT_EQ(differences, checked.err);

    // Let go: exactly the new version, with the new files' write times (the
    // log file is the day's: the held run's lines stay in it).
    log.clear();
    ASSERT_TRUE(RunEngine(root / L"bin\\", out + L"update.xml", &log));
    EXPECT_EQ(errorsOfTheHeldRun, ErrorLines(log).size());
    EXPECT_EQ(newTree, ReadTree(installed));
    EXPECT_FALSE(PathExists(installed + L"gone"));
    checked = RunMakeUpdate({L"verify", out + L"update.xml", L"--installed", installed});
    ASSERT_TRUE(checked.finished);
    EXPECT_EQ(0u, checked.exitCode);
    EXPECT_EQ(std::vector<std::wstring>(), checked.err);
    for (const wchar_t* name : {L"café.dll", L"Отчёт.txt", L"новая папка\\ünïcode\\é.dll"})
        EXPECT_EQ(WholeSecond(WriteTime(fresh + name)), WriteTime(installed + name)) << Cp1251(name);
}

} // namespace

TEST(RoundTrip, AnyNameOnAnyCodePage_ExactlyTheNewVersion)
{
    ExpectAnyNameInstalledExactly();
}

TEST(RoundTrip, AnyNameOnAnyCodePage_ExactlyTheNewVersion_Cp1251)
{
    ExpectAnyNameInstalledExactly();
}

// Only the manifest's digest stands between a corrupted download of the
// right size and the application folder.
TEST(RoundTrip, EngineChecksTheDigestOfEachDownload)
{
    const struct
    {
        const char* what;
        bool upperCaseDigest;    // the manifest's digest of a.dll in upper case
        const char* otherMd5;    // replaces that digest when not null
        const char* downloadA;   // replaces the download of a.dll when not null
        bool installed;
    } cases[] = {
        {"the digests of make", false, nullptr, nullptr, true},
        {"one byte changed, same size", false, nullptr, "new-A", false},
        {"upper-case digest", true, nullptr, nullptr, true},
        // Not a digest: stored and not checked, so even changed bytes go in.
        {"not a digest", false, "unknown", "new-A", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CTestFolder root;
        const std::wstring old = root / L"old\\";
        const std::wstring fresh = root / L"new\\";
        const std::wstring out = root / L"out\\";
        const std::wstring app = root / L"app\\";
        const TreeContents oldTree = {{L"a.dll", "old-a"}, {L"b.dll", "old-b"}};
        const TreeContents newTree = {{L"a.dll", "new-a"}, {L"b.dll", "new-b"}};
        ASSERT_TRUE(WriteTimedTree(old, oldTree, 0));
        ASSERT_TRUE(WriteTimedTree(app, oldTree, 0));
        ASSERT_TRUE(WriteTimedTree(fresh, newTree, kNewTime));
        const ToolResult made =
            RunMakeUpdate({L"make", L"--old", old, L"--new", fresh, L"--out", out, L"--target-folder", app});
        ASSERT_TRUE(made.finished);
        ASSERT_EQ(0u, made.exitCode);

        const std::string digest = CryptoApiMd5("new-a");
        std::string manifest = ReadBytes(out + L"update.xml").value_or("");
        ASSERT_NE(std::string::npos, manifest.find("MD5=\"" + digest + "\""));
        if (c.upperCaseDigest) {
            std::string upper = digest;
            for (char& ch : upper)
                ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
            manifest = Replace(manifest, digest, upper);
        }
        if (c.otherMd5 != nullptr)
            manifest = Replace(manifest, digest, c.otherMd5);
        ASSERT_TRUE(WriteBytes(out + L"update.xml", manifest));
        if (c.downloadA != nullptr) {
            ASSERT_TRUE(WriteBytes(out + L"a.dll", c.downloadA));
        }

        std::vector<std::string> log;
        ASSERT_TRUE(RunEngine(root / L"bin\\", out + L"update.xml", &log));
        EXPECT_EQ(Cp1251(c.installed ? L"обновление выполнено" : L"обновление не выполнено, файлы не изменялись"),
                  RunOutcome(log));
        if (c.installed) {
            EXPECT_EQ(std::vector<std::string>(), ErrorLines(log));
            const TreeContents expected = {{L"a.dll", c.downloadA != nullptr ? c.downloadA : "new-a"},
                                           {L"b.dll", "new-b"}};
            EXPECT_EQ(expected, ReadTree(app));
        } else {
            // The discrepancy line, and nothing on disk touched: b.dll, whose
            // download is sound, is not installed either.
            // What differs, with the digest found and the one the manifest gives.
            const std::wstring line = L"Обнаружено расхождение в данных файла: a.dll: MD5 " + Wide(CryptoApiMd5("new-A")) +
                                      L" вместо " + Wide(CryptoApiMd5("new-a"));
            EXPECT_EQ(std::vector<std::string>{"ERROR " + Cp1251(line)}, ErrorLines(log));
            EXPECT_EQ(oldTree, ReadTree(app));
            EXPECT_EQ(kOldTime, WriteTime(app + L"a.dll"));
            EXPECT_EQ(kOldTime, WriteTime(app + L"b.dll"));
        }
    }
}

namespace {

// Every folder below folder (with a trailing backslash), by relative path.
std::set<std::wstring> FolderSet(const std::wstring& folder, const std::wstring& prefix = L"")
{
    std::set<std::wstring> folders;
    WIN32_FIND_DATAW data{};
    CFindHandle find(FindFirstFileW((folder + prefix + L"*").c_str(), &data));
    if (!find)
        return folders;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L".." || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            continue;
        folders.insert(prefix + name);
        for (const std::wstring& inner : FolderSet(folder, prefix + name + L"\\"))
            folders.insert(inner);
    } while (FindNextFileW(find.Get(), &data));
    return folders;
}

} // namespace

// Folders are part of the update: an empty folder of the new version, one
// the new version drops, a file that becomes a folder and a folder that
// becomes a file. The installed folder becomes exactly the new version,
// files and folders; with one file held it stays exactly the old one.
TEST(RoundTrip, FoldersAndFileFolderChanges_ExactlyTheNewFolderSet)
{
    CTestFolder root;
    const std::wstring old = root / L"old\\";
    const std::wstring fresh = root / L"new\\";
    const std::wstring out = root / L"out\\";
    const std::wstring installed = root / L"installed\\";
    const TreeContents oldTree = {
        {L"a.dll", "old a"}, {L"data", "a file that becomes a folder"}, {L"plug\\p.dll", "old p"},
        {L"keep\\k.txt", "kept"},
    };
    const TreeContents newTree = {
        {L"a.dll", "new a"}, {L"data\\x.dll", "new x"}, {L"plug", "a folder that became a file"},
        {L"keep\\k.txt", "kept"},
    };
    for (const std::wstring& folder : {old, installed}) {
        ASSERT_TRUE(WriteTree(folder, oldTree));
        ASSERT_TRUE(CreateDirectoryW((folder + L"dropped").c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW((folder + L"dropped\\inner").c_str(), nullptr));
    }
    ASSERT_TRUE(WriteTree(fresh, newTree));
    ASSERT_TRUE(CreateDirectoryW((fresh + L"cache").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((fresh + L"cache\\empty").c_str(), nullptr));
    const std::set<std::wstring> oldFolders = FolderSet(installed);

    const ToolResult made =
        RunMakeUpdate({L"make", L"--old", old, L"--new", fresh, L"--out", out, L"--target-folder", installed});
    ASSERT_TRUE(made.finished);
    ASSERT_EQ(0u, made.exitCode) << ::testing::PrintToString(made.err);

    std::vector<std::string> log;
    {
        CHandle held(CreateFileW((installed + L"keep\\k.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                 nullptr));
        ASSERT_TRUE(held.IsValid());
        // k.txt is unchanged; a.dll's replacement is what the holder blocks.
        CHandle heldA(CreateFileW((installed + L"a.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(heldA.IsValid());
        ASSERT_TRUE(RunEngine(root / L"bin\\", out + L"update.xml", &log));
    }
    EXPECT_EQ(Cp1251(L"обновление отменено, файлы в прежнем состоянии"), RunOutcome(log));
    EXPECT_EQ(oldTree, ReadTree(installed));
    EXPECT_EQ(oldFolders, FolderSet(installed));
    // The log holds every run of the day: the next run adds no error line.
    const size_t errorsOfTheHeldRun = ErrorLines(log).size();

    ASSERT_TRUE(RunEngine(root / L"bin\\", out + L"update.xml", &log));
    EXPECT_EQ(errorsOfTheHeldRun, ErrorLines(log).size());
    EXPECT_EQ(Cp1251(L"обновление выполнено"), RunOutcome(log));
    EXPECT_EQ(newTree, ReadTree(installed));
    EXPECT_EQ(FolderSet(fresh), FolderSet(installed));
}

namespace {

// An executable of this build, read whole: real code for the patches to work on.
std::string BuiltExecutable(const wchar_t* name)
{
    const std::wstring tool = MakeUpdateExecutable();
    const std::wstring folder = tool.substr(0, tool.find_last_of(L'\\') + 1);
    return ReadBytes(folder + name).value_or("");
}

// A new version of an executable as a rebuild makes it: some bytes changed
// here and there, a few inserted (everything after them moves).
std::string Rebuilt(std::string bytes, unsigned seed)
{
    for (size_t at = 4096 + seed; at < bytes.size(); at += 150001)
        bytes[at] = static_cast<char>(bytes[at] ^ 0x11);
    bytes.insert(bytes.size() / 3, "a function added in version " + std::to_string(seed));
    bytes.insert(bytes.size() / 2, std::string(300, static_cast<char>(seed)));
    return bytes;
}

std::string LargeData(size_t size, unsigned version)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 2654435761u >> 11) ^ (i >> 16));
    for (size_t at = version; at < size; at += (1 << 20) + version)
        bytes[at] = static_cast<char>(version);
    return bytes;
}

} // namespace

// Small downloads only: make --no-full ships, for each changed file, a patch
// against the old version or the file compressed, and no whole file. On the
// customer's machine the engine builds every new file from them: the folder
// becomes exactly the new version (bytes, names, folders, times), and
// verify --installed agrees.
TEST(RoundTrip, SmallDownloadsOnly_ExactlyTheNewVersion)
{
    CTestFolder root;
    const std::wstring old = root / L"old\\";
    const std::wstring fresh = root / L"new\\";
    const std::wstring out = root / L"out\\";
    const std::wstring installed = root / L"installed\\";
    const std::string service = BuiltExecutable(L"QXClientUpdSvc.exe");
    const std::string tool = BuiltExecutable(L"QXMakeUpdate.exe");
    ASSERT_GT(service.size(), 1000000u);
    ASSERT_GT(tool.size(), 1000000u);
    const TreeContents oldTree = {
        {L"QXClientUpdSvc.exe", service},
        {L"bin\\QXMakeUpdate.exe", tool},
        {L"data\\large.bin", LargeData(6 << 20, 1)},
        {L"same.txt", "unchanged"},
        {L"gone.dll", "the new version drops me"},
        {L"old plugins\\p.dll", "and my folder"},
    };
    const TreeContents newTree = {
        {L"QXClientUpdSvc.exe", Rebuilt(service, 1)},
        {L"bin\\QXMakeUpdate.exe", Rebuilt(tool, 2)},
        {L"data\\large.bin", LargeData(6 << 20, 2)},
        {L"same.txt", "unchanged"},
        {L"plugins\\new\\added.dll", std::string(200000, 'x') + "an added file, compressed"},
    };
    ASSERT_TRUE(WriteTimedTree(old, oldTree, 0));
    ASSERT_TRUE(WriteTimedTree(installed, oldTree, 0));
    ASSERT_TRUE(WriteTimedTree(fresh, newTree, kNewTime));
    ASSERT_TRUE(SetTimes(fresh + L"same.txt", kOldTime));

    const ToolResult made = RunMakeUpdate({L"make", L"--old", old, L"--new", fresh, L"--out", out, L"--no-full",
                                           L"--target-folder", installed, L"--update-folder", out});
    ASSERT_TRUE(made.finished);
    ASSERT_EQ(0u, made.exitCode) << ::testing::PrintToString(made.err);
    // No whole file travels: only patches and compressed files, each
    // smaller than the file it makes.
    const TreeContents package = ReadTree(out);
    uint64_t shipped = 0;
    uint64_t whole = 0;
    for (const auto& file : newTree) {
        if (file.first == L"same.txt")
            continue;
        EXPECT_EQ(0u, package.count(file.first)) << Cp1251(file.first);
        whole += file.second.size();
    }
    for (const auto& file : package) {
        if (file.first != L"update.xml")
            shipped += file.second.size();
    }
    EXPECT_LT(shipped * 4, whole) << "small downloads of " << shipped << " bytes for " << whole << " bytes";
    const ToolResult verified = RunMakeUpdate({L"verify", out + L"update.xml", L"--base", old});
    ASSERT_TRUE(verified.finished);
    EXPECT_EQ(0u, verified.exitCode) << ::testing::PrintToString(verified.out);

    std::vector<std::string> log;
    ASSERT_TRUE(RunEngine(root / L"bin\\", out + L"update.xml", &log));
    EXPECT_EQ(std::vector<std::string>(), ErrorLines(log));
    EXPECT_EQ(Cp1251(L"обновление выполнено"), RunOutcome(log));
    EXPECT_TRUE(newTree == ReadTree(installed)) << "the installed folder is not the new version";
    EXPECT_FALSE(PathExists(installed + L"old plugins"));
    for (const auto& file : newTree) {
        SCOPED_TRACE(Cp1251(file.first));
        EXPECT_EQ(file.first == L"same.txt" ? kOldTime : WholeSecond(WriteTime(fresh + file.first)),
                  WriteTime(installed + file.first));
    }
    const ToolResult checked = RunMakeUpdate({L"verify", out + L"update.xml", L"--installed", installed});
    ASSERT_TRUE(checked.finished);
    EXPECT_EQ(0u, checked.exitCode) << ::testing::PrintToString(checked.out);
}
