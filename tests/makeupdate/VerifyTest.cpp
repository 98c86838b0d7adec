// QXMakeUpdate.exe verify: every broken download named, exit codes.
#include "makeupdate/JsonReader.h"
#include "makeupdate/ToolSupport.h"

#include "platform/Handles.h"
#include "update/ManifestText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace ManifestText;

namespace {

std::wstring Wide(const std::string& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

// The files of verify's JSON output, one line each: the name and the result,
// then the other members in order (path is checked to be folder + name and
// left out; action only when it is not "install").
std::vector<std::wstring> FileSummaries(const CJson& document, const std::wstring& folder)
{
    std::vector<std::wstring> lines;
    for (const CJson& file : document[L"files"].elements) {
        std::wstring line = file[L"name"].text + L" " + file[L"result"].text;
        EXPECT_EQ(folder + file[L"name"].text, file[L"path"].text);
        for (const auto& member : file.members) {
            const std::wstring& name = member.first;
            if (name == L"name" || name == L"result" || name == L"path" ||
                (name == L"action" && member.second.text == L"install"))
                continue;
            line += L" " + name + L"=" +
                    (member.second.type == CJson::eString ? member.second.text : Wide(member.second.number));
        }
        lines.push_back(line);
    }
    return lines;
}

// files, bytes, problems of the totals, in that order.
std::vector<uint64_t> Totals(const CJson& document)
{
    const CJson& totals = document[L"totals"];
    EXPECT_EQ((std::vector<std::wstring>{L"files", L"bytes", L"problems"}), totals.MemberNames());
    std::vector<uint64_t> values;
    for (const auto& member : totals.members)
        values.push_back(member.second.Integer());
    return values;
}

} // namespace

TEST(VerifyUpdate, PackageFromMake_PassesThenEachBrokenDownloadIsNamed)
{
    CTestFolder root;
    const std::wstring old = root / L"old\\";
    const std::wstring fresh = root / L"new\\";
    const std::wstring out = root / L"out\\";
    ASSERT_TRUE(WriteTree(old, {{L"good.dll", "old"}, {L"flipped.dll", "old"}, {L"short.dll", "old"}}));
    ASSERT_TRUE(WriteTree(fresh, {{L"good.dll", "good"},
                                  {L"flipped.dll", "flipped"},
                                  {L"gone.dll", "gone"},
                                  {L"short.dll", "short"}}));
    const ToolResult made = RunMakeUpdate({L"make", L"--old", old, L"--new", fresh, L"--out", out});
    ASSERT_TRUE(made.finished);
    ASSERT_EQ(0u, made.exitCode);
    const std::wstring manifest = out + L"update.xml";

    ToolResult result = RunMakeUpdate({L"verify", manifest});
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_EQ(std::vector<std::wstring>(), result.err);
    const std::vector<std::wstring> passed = {L"4 downloads checked, 0 problems: " + manifest,
                                              L"total: 4 files, 20 bytes"};
    EXPECT_EQ(passed, result.out);

    // The right size with one byte changed, a missing download, a short one.
    ASSERT_TRUE(WriteBytes(out + L"flipped.dll", "flippeD"));
    ASSERT_TRUE(DeleteFileW((out + L"gone.dll").c_str()));
    ASSERT_TRUE(WriteBytes(out + L"short.dll", "shor"));
    result = RunMakeUpdate({L"verify", manifest});
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(3u, result.exitCode);
    // In the manifest's order: flipped, gone, good, short.
    const std::vector<std::wstring> problems = {
        L"wrong MD5: " + out + L"flipped.dll has " + Wide(CryptoApiMd5("flippeD")) + L", the manifest says " +
            Wide(CryptoApiMd5("flipped")),
        L"missing download: " + out + L"gone.dll",
        L"wrong size: " + out + L"short.dll has 4 bytes, the manifest says 5",
    };
    EXPECT_EQ(problems, result.err);
    const std::vector<std::wstring> failed = {L"4 downloads checked, 3 problems: " + manifest,
                                              L"total: 4 files, 20 bytes"};
    EXPECT_EQ(failed, result.out);

    // The same for a script: every download with its result.
    result = RunMakeUpdate({L"verify", L"--json", manifest});
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(3u, result.exitCode);
    EXPECT_EQ(std::vector<std::wstring>(), result.err);
    CJson document;
    std::string error;
    ASSERT_TRUE(ParseJson(result.outBytes, &document, &error)) << error;
    EXPECT_EQ(L"verify", document[L"command"].text);
    EXPECT_EQ(manifest, document[L"manifest"].text);
    EXPECT_EQ(L"downloads", document[L"checks"].text);
    EXPECT_EQ(out, document[L"folder"].text);
    const std::vector<std::wstring> files = {
        L"flipped.dll wrongMd5 size=7 actualSize=7 md5=" + Wide(CryptoApiMd5("flipped")) +
            L" actualMd5=" + Wide(CryptoApiMd5("flippeD")) + L" problem=" + problems[0],
        L"gone.dll missing size=4 md5=" + Wide(CryptoApiMd5("gone")) + L" problem=" + problems[1],
        L"good.dll ok size=4 actualSize=4 md5=" + Wide(CryptoApiMd5("good")) + L" actualMd5=" +
            Wide(CryptoApiMd5("good")),
        L"short.dll wrongSize size=5 actualSize=4 md5=" + Wide(CryptoApiMd5("short")) + L" problem=" + problems[2],
    };
    EXPECT_EQ(files, FileSummaries(document, out));
    EXPECT_EQ((std::vector<uint64_t>{4, 20, 3}), Totals(document));
}

TEST(VerifyUpdate, DownloadsFoundAndCheckedAsTheEngineDoes)
{
    CTestFolder root;
    const std::wstring upd = root / L"upd\\";
    ASSERT_TRUE(WriteTree(upd, {{L"temp-only.part", "temp"}, {L"any.dll", "any"}, {L"held.dll", "held"}}));
    const std::string tempMd5 = CryptoApiMd5("temp");
    std::wstring upper = Wide(tempMd5);
    std::transform(upper.begin(), upper.end(), upper.begin(), towupper);
    const std::wstring items =
        // Under its temporary name only, with an upper-case digest.
        ItemElement(0, L"temp-only.dll", 4, L"1", L"0", L"temp-only.part", upper) +
        // Not marked for update: its download is not looked for.
        ItemElement(1, L"skipped.dll", 9, L"0", L"0", L"", L"00000000000000000000000000000000") +
        // An MD5 that is not a digest is not compared.
        ItemElement(2, L"any.dll", 3, L"1", L"0", L"", L"not a digest") +
        // Held open without sharing: the engine could not read it either.
        ItemElement(3, L"held.dll", 4, L"1");
    const std::wstring manifest = root / L"update.xml";
    ASSERT_TRUE(WriteManifest(manifest, InfoElement(upd, root / L"app\\") + FilesElement(items, 4)));

    CHandle held(CreateFileW((upd + L"held.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.IsValid());
    ToolResult result = RunMakeUpdate({L"verify", manifest});
    held.Close();
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(3u, result.exitCode);
    ASSERT_EQ(1u, result.err.size());
    const std::wstring heldLine = L"cannot read " + upd + L"held.dll: ";
    EXPECT_EQ(heldLine, result.err[0].substr(0, heldLine.size()));
    const std::vector<std::wstring> summary = {L"3 downloads checked, 1 problem: " + manifest,
                                               L"total: 3 files, 11 bytes"};
    EXPECT_EQ(summary, result.out);

    result = RunMakeUpdate({L"verify", manifest});
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_EQ(std::vector<std::wstring>(), result.err);
}

TEST(VerifyUpdate, UnreadableManifest_ExitCode2AndOneLine)
{
    CTestFolder root;
    ASSERT_TRUE(WriteBytes(root / L"broken.xml", "<update><info UpdateFolder=\"x\"></update>"));
    ASSERT_TRUE(WriteManifest(root / L"no-files.xml", InfoElement(root / L"upd\\", root / L"app\\")));
    ASSERT_TRUE(WriteManifest(root / L"no-info.xml", FilesElement(L"", 0)));
    ASSERT_TRUE(WriteManifest(root / L"good.xml", InfoElement(root / L"upd\\", root / L"app\\") + FilesElement(L"", 0)));
    ASSERT_TRUE(CreateDirectoryW((root / L"folder.xml").c_str(), nullptr));
    // A package folder as make writes it, given instead of its manifest.
    ASSERT_TRUE(CreateDirectoryW((root / L"package").c_str(), nullptr));
    ASSERT_TRUE(WriteManifest(root / L"package\\update.xml", InfoElement(root / L"upd\\", root / L"app\\") +
                                                               FilesElement(L"", 0)));
    const struct
    {
        const wchar_t* name;
        std::vector<std::wstring> more; // options after the manifest
        std::wstring line;              // the start of the one line on standard error
    } cases[] = {
        {L"missing.xml", {}, L"cannot read the manifest " + root.Path() + L"missing.xml: "},
        {L"missing.xml", {L"--json"}, L"cannot read the manifest " + root.Path() + L"missing.xml: "},
        {L"folder.xml", {}, L"the manifest path is a folder, not a file: " + root.Path() + L"folder.xml"},
        {L"package", {}, L"the manifest path is a folder, not a file: " + root.Path() +
                             L"package (its manifest: " + root.Path() + L"package\\update.xml)"},
        {L"broken.xml", {}, L"cannot read the manifest " + root.Path() + L"broken.xml: "},
        {L"no-files.xml", {}, L"not an update manifest (no files element): " + root.Path() + L"no-files.xml"},
        {L"no-info.xml", {}, L"not an update manifest (no info element): " + root.Path() + L"no-info.xml"},
        {L"good.xml", {L"--installed", root / L"nope"}, L"installed folder not found: " + root.Path() + L"nope"},
        {L"good.xml", {L"--installed=" + root / L"good.xml", L"--json"},
         L"installed folder not found: " + root.Path() + L"good.xml"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.more));
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.name)));
        std::vector<std::wstring> arguments = {L"verify", root / c.name};
        arguments.insert(arguments.end(), c.more.begin(), c.more.end());
        const ToolResult result = RunMakeUpdate(arguments);
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(2u, result.exitCode);
        ASSERT_EQ(1u, result.err.size());
        EXPECT_EQ(c.line, result.err[0].substr(0, c.line.size()));
        if (std::find(c.more.begin(), c.more.end(), L"--json") == c.more.end()) {
            EXPECT_EQ(std::vector<std::wstring>(), result.out);
            continue;
        }
        // For a script, the same line as a JSON error.
        CJson document;
        std::string error;
        ASSERT_TRUE(ParseJson(result.outBytes, &document, &error)) << error << "\n" << result.outBytes;
        EXPECT_EQ(L"verify", document[L"command"].text);
        EXPECT_EQ(result.err[0], document[L"error"].text);
        EXPECT_EQ(2u, document[L"exitCode"].Integer());
    }
}

// An installed application folder against the manifest: each file it
// installs, with its size and digest, and each file it removes, absent.
TEST(VerifyUpdate, InstalledFolder_EachFileCheckedAndEachProblemNamed)
{
    CTestFolder root;
    const std::wstring old = root / L"old\\";
    const std::wstring fresh = root / L"new\\";
    const std::wstring out = root / L"out\\";
    const std::wstring installed = root / L"installed\\";
    const TreeContents oldTree = {{L"a.dll", "old a"}, {L"b.dll", "old b"}, {L"c.dll", "old c"},
                                  {L"gone.dll", "bye"}, {L"sub\\gone.txt", "bye"}, {L"same.txt", "same"}};
    const TreeContents newTree = {{L"a.dll", "new a"}, {L"b.dll", "new b"}, {L"c.dll", "new c"},
                                  {L"d.dll", "new d"}, {L"e.dll", "new e"}, {L"same.txt", "same"}};
    ASSERT_TRUE(WriteTree(old, oldTree));
    ASSERT_TRUE(WriteTree(fresh, newTree));
    const ToolResult made = RunMakeUpdate({L"make", L"--old", old, L"--new", fresh, L"--out", out});
    ASSERT_TRUE(made.finished);
    ASSERT_EQ(0u, made.exitCode);
    const std::wstring manifest = out + L"update.xml";

    // What the update leaves: the new version.
    ASSERT_TRUE(WriteTree(installed, newTree));
    ToolResult result = RunMakeUpdate({L"verify", manifest, L"--installed", installed});
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_EQ(std::vector<std::wstring>(), result.err);
    const std::vector<std::wstring> passed = {
        L"ok: " + installed + L"a.dll",
        L"ok: " + installed + L"b.dll",
        L"ok: " + installed + L"c.dll",
        L"ok: " + installed + L"d.dll",
        L"ok: " + installed + L"e.dll",
        L"ok, removed: " + installed + L"gone.dll",
        L"ok, removed: " + installed + L"sub\\gone.txt",
        // The file the update relies on, from the manifest's base record.
        L"ok, unchanged: " + installed + L"same.txt",
        L"8 files checked, 0 problems: " + installed,
        L"total: 8 files, 29 bytes",
    };
    EXPECT_EQ(passed, result.out);

    // One byte changed, a wrong size, a file missing, a folder in place of a
    // file, a file held by another program, a removed file still there.
    ASSERT_TRUE(WriteBytes(installed + L"a.dll", "new A"));
    ASSERT_TRUE(WriteBytes(installed + L"b.dll", "new bb"));
    ASSERT_TRUE(DeleteFileW((installed + L"c.dll").c_str()));
    ASSERT_TRUE(DeleteFileW((installed + L"d.dll").c_str()));
    ASSERT_TRUE(CreateDirectoryW((installed + L"d.dll").c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(installed + L"gone.dll", "bye"));
    CHandle held(CreateFileW((installed + L"e.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.IsValid());
    result = RunMakeUpdate({L"verify", manifest, L"--installed", installed});
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(3u, result.exitCode);
    const std::vector<std::wstring> problems = {
        L"wrong MD5: " + installed + L"a.dll has " + Wide(CryptoApiMd5("new A")) + L", the manifest says " +
            Wide(CryptoApiMd5("new a")),
        L"wrong size: " + installed + L"b.dll has 6 bytes, the manifest says 5",
        L"missing: " + installed + L"c.dll",
        L"a folder, not a file: " + installed + L"d.dll",
        L"cannot read " + installed + L"e.dll: ",
        L"not removed: " + installed + L"gone.dll",
    };
    ASSERT_EQ(problems.size(), result.err.size());
    for (size_t i = 0; i < problems.size(); ++i)
        EXPECT_EQ(problems[i], result.err[i].substr(0, problems[i].size()));
    const std::vector<std::wstring> summary = {
        L"ok, removed: " + installed + L"sub\\gone.txt",
        L"ok, unchanged: " + installed + L"same.txt",
        L"8 files checked, 6 problems: " + installed,
        L"total: 8 files, 29 bytes",
    };
    EXPECT_EQ(summary, result.out);

    // For a script, with the folder given relative to the working folder.
    result = RunMakeUpdate({L"verify", L"--json", L"--installed=installed", manifest}, root.Path());
    held.Close();
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(3u, result.exitCode);
    EXPECT_EQ(std::vector<std::wstring>(), result.err);
    CJson document;
    std::string error;
    ASSERT_TRUE(ParseJson(result.outBytes, &document, &error)) << error;
    EXPECT_EQ(L"installed", document[L"checks"].text);
    EXPECT_EQ(installed, document[L"folder"].text);
    std::vector<std::wstring> files = FileSummaries(document, installed);
    ASSERT_EQ(8u, files.size());
    // The held file's problem holds the system's text.
    const std::wstring heldStart =
        L"e.dll unreadable size=5 actualSize=5 md5=" + Wide(CryptoApiMd5("new e")) + L" problem=" + problems[4];
    EXPECT_EQ(heldStart, files[4].substr(0, heldStart.size()));
    files[4] = heldStart;
    const std::wstring a = Wide(CryptoApiMd5("new a"));
    const std::vector<std::wstring> expected = {
        L"a.dll wrongMd5 size=5 actualSize=5 md5=" + a + L" actualMd5=" + Wide(CryptoApiMd5("new A")) +
            L" problem=" + problems[0],
        L"b.dll wrongSize size=5 actualSize=6 md5=" + Wide(CryptoApiMd5("new b")) + L" problem=" + problems[1],
        L"c.dll missing size=5 md5=" + Wide(CryptoApiMd5("new c")) + L" problem=" + problems[2],
        L"d.dll notAFile size=5 md5=" + Wide(CryptoApiMd5("new d")) + L" problem=" + problems[3],
        heldStart,
        L"gone.dll notRemoved action=remove problem=" + problems[5],
        L"sub\\gone.txt ok action=remove",
        L"same.txt ok action=keep size=4 actualSize=4 md5=" + Wide(CryptoApiMd5("same")) + L" actualMd5=" +
            Wide(CryptoApiMd5("same")),
    };
    EXPECT_EQ(expected, files);
    EXPECT_EQ((std::vector<uint64_t>{8, 29, 6}), Totals(document));
}

// A file of 4 GiB or more can never be installed: make refuses it, and
// verify names an item that declares such a size (a sparse file stands in).
TEST(VerifyUpdate, FileOfFourGiB_RefusedByMakeAndReportedByVerify)
{
    CTestFolder root;
    const std::wstring old = root / L"old\\";
    const std::wstring fresh = root / L"new\\";
    ASSERT_TRUE(WriteTree(old, {{L"a.txt", "a"}}));
    ASSERT_TRUE(WriteTree(fresh, {{L"a.txt", "a"}}));
    {
        CHandle file(CreateFileW((fresh + L"huge.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file.IsValid());
        LARGE_INTEGER end{};
        end.QuadPart = 4LL << 30;
        if (!SetFilePointerEx(file.Get(), end, nullptr, FILE_BEGIN) || !SetEndOfFile(file.Get()))
            GTEST_SKIP() << "the file system cannot hold a sparse file of 4 GiB";
    }
    const ToolResult made = RunMakeUpdate({L"make", L"--old", old, L"--new", fresh, L"--out", root / L"out"});
    ASSERT_TRUE(made.finished);
    EXPECT_EQ(2u, made.exitCode);
    EXPECT_EQ(std::vector<std::wstring>{L"cannot be installed, 4 GiB or more: " + fresh + L"huge.bin"}, made.err);
    EXPECT_FALSE(PathExists(root / L"out"));

    const std::wstring manifest = root / L"update.xml";
    ASSERT_TRUE(WriteManifest(manifest, InfoElement(fresh, old) +
                                            FilesElement(ItemElement(0, L"huge.bin", (4ULL << 30), L"1"), 1)));
    const ToolResult verified = RunMakeUpdate({L"verify", manifest});
    ASSERT_TRUE(verified.finished);
    EXPECT_EQ(3u, verified.exitCode);
    EXPECT_EQ(std::vector<std::wstring>{L"4 GiB or more, the engine refuses it: " + fresh + L"huge.bin"}, verified.err);
}

// A package made for the customer's folders names an update folder that does
// not exist on the publisher's machine: verify checks the downloads where the
// package lies, in the manifest's own folder or the one given, and says so.
TEST(VerifyUpdate, PackageWhereItLies_DownloadsOptionOrTheManifestsOwnFolder)
{
    CTestFolder root;
    const std::wstring old = root / L"old\\";
    const std::wstring fresh = root / L"new\\";
    const std::wstring out = root / L"out\\";
    const std::wstring copy = root / L"copy of the package\\";
    const std::wstring customerFolder = L"C:\\ProgramData\\Lumenorbit test\\update\\";
    ASSERT_FALSE(PathExists(customerFolder));
    ASSERT_TRUE(WriteTree(old, {{L"a.dll", "old a"}, {L"same.txt", "same"}}));
    ASSERT_TRUE(WriteTree(fresh, {{L"a.dll", "new a"}, {L"same.txt", "same"}, {L"sub\\b.dll", "new b"}}));
    const ToolResult made = RunMakeUpdate({L"make", L"--old", old, L"--new", fresh, L"--out", out,
                                           L"--target-folder", L"C:\\Program Files\\App", L"--update-folder",
                                           customerFolder});
    ASSERT_TRUE(made.finished);
    ASSERT_EQ(0u, made.exitCode) << testing::PrintToString(made.err);
    const std::wstring manifest = out + L"update.xml";
    // A copy with one download cut short.
    ASSERT_TRUE(WriteTree(copy, {{L"a.dll", "new a"}, {L"sub\\b.dll", "new"}}));
    const std::wstring manifestFolderLine = L"the manifest's update folder does not exist here: " + customerFolder +
                                            L"; downloads looked for in the manifest's own folder ";
    const std::wstring optionLine = L" (--downloads), not in the manifest's update folder " + customerFolder;

    const struct
    {
        const char* what;
        std::vector<std::wstring> arguments;
        const wchar_t* workingFolder; // relative to the test folder; nullptr: the test's own
        DWORD exitCode;
        std::vector<std::wstring> out;
        std::vector<std::wstring> err;
    } cases[] = {
        {"by default, the manifest's own folder", {L"verify", manifest}, nullptr, 0,
         {manifestFolderLine + out, L"2 downloads checked, 0 problems: " + manifest, L"total: 2 files, 10 bytes"},
         {}},
        {"a relative manifest path, its own folder made full", {L"verify", L"out\\update.xml"}, L"", 0,
         {manifestFolderLine + out, L"2 downloads checked, 0 problems: out\\update.xml", L"total: 2 files, 10 bytes"},
         {}},
        {"the folder given", {L"verify", manifest, L"--downloads", out}, nullptr, 0,
         {L"downloads looked for in " + out + optionLine, L"2 downloads checked, 0 problems: " + manifest,
          L"total: 2 files, 10 bytes"},
         {}},
        {"another folder given, relative, its problem named there",
         {L"verify", L"--downloads=copy of the package", manifest}, L"", 3,
         {L"downloads looked for in " + copy + optionLine, L"2 downloads checked, 1 problem: " + manifest,
          L"total: 2 files, 10 bytes"},
         {L"wrong size: " + copy + L"sub\\b.dll has 3 bytes, the manifest says 5"}},
        {"a folder given that does not exist", {L"verify", manifest, L"--downloads", root / L"nope"}, nullptr, 2, {},
         {L"downloads folder not found: " + root / L"nope"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ToolResult result =
            RunMakeUpdate(c.arguments, c.workingFolder == nullptr ? L"" : root / c.workingFolder);
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(c.exitCode, result.exitCode);
        EXPECT_EQ(c.out, result.out);
        EXPECT_EQ(c.err, result.err);
    }

    // For a script: the folder used and where it came from.
    const struct
    {
        std::vector<std::wstring> more;
        std::wstring folder;
        const wchar_t* folderFrom;
    } json[] = {
        {{}, out, L"manifestFolder"},
        {{L"--downloads", copy}, copy, L"downloads"},
    };
    for (const auto& c : json) {
        SCOPED_TRACE(testing::PrintToString(c.more));
        std::vector<std::wstring> arguments = {L"verify", L"--json", manifest};
        arguments.insert(arguments.end(), c.more.begin(), c.more.end());
        const ToolResult result = RunMakeUpdate(arguments);
        ASSERT_TRUE(result.finished);
        CJson document;
        std::string error;
        ASSERT_TRUE(ParseJson(result.outBytes, &document, &error)) << error << "\n" << result.outBytes;
        EXPECT_EQ(c.folder, document[L"folder"].text);
        EXPECT_EQ(c.folderFrom, document[L"folderFrom"].text);
        EXPECT_EQ(2u, FileSummaries(document, c.folder).size());
    }
    // The update folder itself when it exists: nothing said about it.
    const std::wstring own = root / L"own\\";
    ASSERT_TRUE(WriteTree(own, {{L"a.dll", "new a"}, {L"sub\\b.dll", "new b"}}));
    const std::wstring ownManifest = root / L"own.xml";
    std::string bytes = ReadBytes(manifest).value_or("");
    const std::string from = "UpdateFolder=\"" + Utf8(customerFolder) + "\"";
    ASSERT_NE(std::string::npos, bytes.find(from)) << bytes;
    bytes.replace(bytes.find(from), from.size(), "UpdateFolder=\"" + Utf8(own) + "\"");
    ASSERT_TRUE(WriteBytes(ownManifest, bytes));
    const ToolResult result = RunMakeUpdate({L"verify", ownManifest});
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_EQ((std::vector<std::wstring>{L"2 downloads checked, 0 problems: " + ownManifest,
                                         L"total: 2 files, 10 bytes"}),
              result.out);
    const ToolResult ownJson = RunMakeUpdate({L"verify", ownManifest, L"--json"});
    CJson document;
    std::string error;
    ASSERT_TRUE(ParseJson(ownJson.outBytes, &document, &error)) << error;
    EXPECT_EQ(own, document[L"folder"].text);
    EXPECT_EQ(L"updateFolder", document[L"folderFrom"].text);
}

// An installed folder holds the update's files and, as they were, the files
// of the base version it relies on: verify checks those too, each difference
// named as one of the base version.
TEST(VerifyUpdate, InstalledFolder_TheBaseVersionsFilesChecked)
{
    CTestFolder root;
    const std::wstring old = root / L"old\\";
    const std::wstring fresh = root / L"new\\";
    const std::wstring out = root / L"out\\";
    const std::wstring installed = root / L"installed\\";
    const TreeContents oldTree = {{L"a.dll", "old a"},     {L"core.dll", "core"}, {L"lang\\de.txt", "de"},
                                  {L"lang\\en.txt", "en"}, {L"empty.dat", ""},    {L"readme.txt", "read me"}};
    TreeContents newTree = oldTree;
    newTree[L"a.dll"] = "new a";
    ASSERT_TRUE(WriteTree(old, oldTree));
    ASSERT_TRUE(WriteTree(fresh, newTree));
    const ToolResult made =
        RunMakeUpdate({L"make", L"--old", old, L"--new", fresh, L"--out", out, L"--from-version", L"1.0.0.0"});
    ASSERT_TRUE(made.finished);
    ASSERT_EQ(0u, made.exitCode);
    const std::wstring manifest = out + L"update.xml";

    ASSERT_TRUE(WriteTree(installed, newTree));
    ToolResult result = RunMakeUpdate({L"verify", manifest, L"--installed", installed});
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_EQ(std::vector<std::wstring>(), result.err);
    const std::vector<std::wstring> passed = {
        L"ok: " + installed + L"a.dll",
        L"ok, unchanged: " + installed + L"core.dll",
        L"ok, unchanged: " + installed + L"empty.dat",
        L"ok, unchanged: " + installed + L"lang\\de.txt",
        L"ok, unchanged: " + installed + L"lang\\en.txt",
        L"ok, unchanged: " + installed + L"readme.txt",
        L"6 files checked, 0 problems: " + installed,
        L"total: 6 files, 20 bytes",
    };
    EXPECT_EQ(passed, result.out);

    // Another version's files where the base version's should be.
    ASSERT_TRUE(WriteBytes(installed + L"core.dll", "CORE"));
    ASSERT_TRUE(WriteBytes(installed + L"empty.dat", "x"));
    ASSERT_TRUE(DeleteFileW((installed + L"lang\\de.txt").c_str()));
    ASSERT_TRUE(DeleteFileW((installed + L"readme.txt").c_str()));
    ASSERT_TRUE(CreateDirectoryW((installed + L"readme.txt").c_str(), nullptr));
    result = RunMakeUpdate({L"verify", manifest, L"--installed", installed});
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(3u, result.exitCode);
    const std::vector<std::wstring> problems = {
        L"base version, wrong MD5: " + installed + L"core.dll has " + Wide(CryptoApiMd5("CORE")) +
            L", the manifest says " + Wide(CryptoApiMd5("core")),
        L"base version, wrong size: " + installed + L"empty.dat has 1 bytes, the manifest says 0",
        L"base version, missing: " + installed + L"lang\\de.txt",
        L"base version, a folder, not a file: " + installed + L"readme.txt",
    };
    EXPECT_EQ(problems, result.err);
    const std::vector<std::wstring> summary = {
        L"ok: " + installed + L"a.dll",
        L"ok, unchanged: " + installed + L"lang\\en.txt",
        L"6 files checked, 4 problems: " + installed,
        L"total: 6 files, 20 bytes",
    };
    EXPECT_EQ(summary, result.out);

    result = RunMakeUpdate({L"verify", manifest, L"--installed", installed, L"--json"});
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(3u, result.exitCode);
    CJson document;
    std::string error;
    ASSERT_TRUE(ParseJson(result.outBytes, &document, &error)) << error;
    const std::vector<std::wstring> files = FileSummaries(document, installed);
    ASSERT_EQ(6u, files.size());
    EXPECT_EQ(L"core.dll wrongMd5 action=keep size=4 actualSize=4 md5=" + Wide(CryptoApiMd5("core")) +
                  L" actualMd5=" + Wide(CryptoApiMd5("CORE")) + L" problem=" + problems[0],
              files[1]);
    EXPECT_EQ(L"lang\\de.txt missing action=keep size=2 md5=" + Wide(CryptoApiMd5("de")) + L" problem=" + problems[2],
              files[3]);
    EXPECT_EQ((std::vector<uint64_t>{6, 20, 4}), Totals(document));

    // Checking the downloads leaves the base alone: nothing to download.
    result = RunMakeUpdate({L"verify", manifest});
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_EQ(L"1 download checked, 0 problems: " + manifest, result.out.at(0));
}
