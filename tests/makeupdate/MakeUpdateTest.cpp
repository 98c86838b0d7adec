// QXMakeUpdate.exe make: what it writes for a pair of trees and its options,
// and how it refuses input it cannot use.
#include "makeupdate/JsonReader.h"
#include "makeupdate/ToolSupport.h"

#include "makeupdate/Arguments.h"
#include "platform/Handles.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <map>
#include <string>
#include <vector>

namespace {

using Attributes = std::map<std::wstring, std::wstring>;

Attributes AttributesOf(const pugi::xml_node& node)
{
    Attributes attributes;
    for (const pugi::xml_attribute& attribute : node.attributes())
        attributes[attribute.name()] = attribute.value();
    return attributes;
}

// The customer's folders, as a publisher gives them.
const wchar_t kTargetFolder[] = L"C:\\Program Files\\App\\";
const wchar_t kUpdateFolder[] = L"C:\\ProgramData\\App\\update\\";

// Under a test folder: old\, new\ and the output folder out\ (absent at first).
class MakeUpdate : public testing::Test
{
protected:
    std::wstring Old() const { return m_root / L"old\\"; }
    std::wstring New() const { return m_root / L"new\\"; }
    std::wstring Out() const { return m_root / L"out\\"; }

    // make with the customer's folders and the options in more.
    ToolResult Make(std::vector<std::wstring> more = {})
    {
        std::vector<std::wstring> arguments = {L"make",          L"--old", Old(), L"--new", New(), L"--out", Out(),
                                               L"--target-folder", kTargetFolder, L"--update-folder", kUpdateFolder};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return RunMakeUpdate(arguments);
    }

    CTestFolder m_root;
};

const TreeContents kOldTree = {{L"a.txt", "a"}, {L"same.txt", "same"}, {L"sub\\b.txt", "b"}};
const TreeContents kNewTree = {{L"a.txt", "A"}, {L"same.txt", "same"}, {L"sub\\b.txt", "b"}, {L"c.txt", "c"}};

} // namespace

TEST_F(MakeUpdate, InfoAttributes_FromTheOptionsOrTheFolders)
{
    ASSERT_TRUE(WriteTree(Old(), kOldTree));
    ASSERT_TRUE(WriteTree(New(), kNewTree));
    const struct
    {
        const char* what;
        std::vector<std::wstring> options;
        Attributes info; // {out} and {old} stand for the full folder paths
        size_t warnings; // lines on standard error (warnings, or the note on an earlier spelling)
    } cases[] = {
        {"no options: the folders' full paths", {}, {{L"UpdateFolder", L"{out}"}, {L"TargetFolder", L"{old}"}}, 2},
        {"every option",
         {L"--target-folder", L"C:\\Program Files\\Кварц", L"--update-folder", L"D:\\upd\\", L"--manifest-version",
          L"2.0.10.7", L"--app-to-run", L"bin\\app.exe", L"--params", L"--exit-code 0 \"two words\"",
          L"--restart-client"},
         {{L"UpdateFolder", L"D:\\upd\\"},
          {L"TargetFolder", L"C:\\Program Files\\Кварц\\"},
          {L"AssignedVersion", L"2.0.10.7"},
          {L"AppToRun", L"bin\\app.exe"},
          {L"Params", L"--exit-code 0 \"two words\""},
          {L"RestartQuoteBench", L"1"}},
         0},
        // With the manifest's version under its earlier name, which is noted.
        {"every option as --name=value",
         {L"--target-folder=C:\\Program Files\\Кварц", L"--update-folder=D:\\upd\\", L"--version=2.0.10.7",
          L"--app-to-run=bin\\app.exe", L"--params=--exit-code=0 \"two words\"", L"--restart-client"},
         {{L"UpdateFolder", L"D:\\upd\\"},
          {L"TargetFolder", L"C:\\Program Files\\Кварц\\"},
          {L"AssignedVersion", L"2.0.10.7"},
          {L"AppToRun", L"bin\\app.exe"},
          {L"Params", L"--exit-code=0 \"two words\""},
          {L"RestartQuoteBench", L"1"}},
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RemoveTree(Out());
        // Relative folder paths, resolved against the working folder.
        std::vector<std::wstring> arguments = {L"make", L"--old=old", L"--new", L"new", L"--out", L"out"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        const ToolResult result = RunMakeUpdate(arguments, m_root.Path());
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(0u, result.exitCode);
        EXPECT_EQ(c.warnings, result.err.size());

        pugi::xml_document document;
        ASSERT_TRUE(document.load_file((Out() + L"update.xml").c_str()));
        Attributes expected;
        for (const auto& attribute : c.info) {
            std::wstring value = attribute.second;
            if (value == L"{out}")
                value = Out();
            if (value == L"{old}")
                value = Old();
            expected[attribute.first] = value;
        }
        EXPECT_EQ(expected, AttributesOf(document.child(L"update").child(L"info")));
        EXPECT_EQ(std::wstring(L"2"), document.child(L"update").child(L"files").attribute(L"count").value());
    }
}

TEST_F(MakeUpdate, Manifest_Utf8WithDeclarationAndNoTemporaryLeft)
{
    ASSERT_TRUE(WriteTree(Old(), kOldTree));
    ASSERT_TRUE(WriteTree(New(), kNewTree));
    const ToolResult result = Make({L"--params", L"ключ"});
    ASSERT_TRUE(result.finished);
    ASSERT_EQ(0u, result.exitCode);
    const std::string bytes = ReadBytes(Out() + L"update.xml").value_or("");
    EXPECT_EQ(0u, bytes.find("<?xml version=\"1.0\" encoding=\"utf-8\"?>")) << bytes;
    EXPECT_NE(std::string::npos, bytes.find("Params=\"\xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87\"")) << bytes;
    // Just the two downloads and the manifest.
    const TreeContents expected = {{L"a.txt", "A"}, {L"c.txt", "c"}, {L"update.xml", bytes}};
    EXPECT_EQ(expected, ReadTree(Out()));
    // What was listed, on standard output.
    const std::vector<std::wstring> out = {L"changed: a.txt, 1 byte (was 1 byte)", L"added:   c.txt, 1 byte",
                                           L"update.xml lists 2 files: " + Out() + L"update.xml",
                                           L"total: 2 files to install, 2 bytes; 0 files to remove, 0 bytes"};
    EXPECT_EQ(out, result.out);
    EXPECT_EQ(std::vector<std::wstring>(), result.err);
}

TEST_F(MakeUpdate, IdenticalTrees_ManifestWithoutItems)
{
    ASSERT_TRUE(WriteTree(Old(), kOldTree));
    ASSERT_TRUE(WriteTree(New(), kOldTree));
    ASSERT_TRUE(CreateDirectoryW(Out().c_str(), nullptr)); // an existing empty folder is used
    const ToolResult result = Make();
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_EQ(std::vector<std::wstring>(), result.err);
    pugi::xml_document document;
    ASSERT_TRUE(document.load_file((Out() + L"update.xml").c_str()));
    const pugi::xml_node files = document.child(L"update").child(L"files");
    EXPECT_EQ(std::wstring(L"0"), files.attribute(L"count").value());
    EXPECT_FALSE(files.first_child());
    EXPECT_EQ(1u, ReadTree(Out()).size());
    const std::vector<std::wstring> out = {L"update.xml lists 0 files: " + Out() + L"update.xml",
                                           L"total: 0 files to install, 0 bytes; 0 files to remove, 0 bytes"};
    EXPECT_EQ(out, result.out);
}

TEST_F(MakeUpdate, UnusableInput_OneClearLineExitCodeAndNothingWritten)
{
    const struct
    {
        const char* what;
        TreeContents oldExtra;         // beside kOldTree
        TreeContents newExtra;         // beside kNewTree
        std::vector<std::wstring> arguments; // {root}, {old}, {new}, {out} stand for the folders; empty: the
                                             // usual ones; one empty argument: none at all
        const wchar_t* held;           // a file held open without sharing while the tool runs
        DWORD exitCode;
        std::wstring firstError;       // the first line on standard error, up to its length
        size_t errorLines;             // 0: the usage text follows, so more than one
        bool sameInDryRun = false;     // a dry run refuses it with the same line
    } cases[] = {
        // Folders.
        {"old folder missing", {}, {}, {L"make", L"--old", L"{root}nope", L"--new", L"{new}", L"--out", L"{out}"},
         nullptr, 2, L"old folder not found: {root}nope", 1, true},
        {"new folder missing", {}, {}, {L"make", L"--old", L"{old}", L"--new", L"{root}nope", L"--out", L"{out}"},
         nullptr, 2, L"new folder not found: {root}nope", 1, true},
        {"new folder is a file", {}, {}, {L"make", L"--old", L"{old}", L"--new", L"{old}a.txt", L"--out", L"{out}"},
         nullptr, 2, L"new folder not found: {old}a.txt", 1, true},
        {"output inside the new folder", {}, {}, {L"make", L"--old", L"{old}", L"--new", L"{new}", L"--out",
                                                  L"{new}pkg"},
         nullptr, 2, L"the output folder lies inside the new folder: {new}pkg\\", 1, true},
        {"output is the old folder", {}, {}, {L"make", L"--old", L"{old}", L"--new", L"{new}", L"--out", L"{old}"},
         nullptr, 2, L"the output folder lies inside the old folder: {old}", 1, true},
        // A new file that the engine could not install, each one named: a
        // file that becomes a folder (or the reverse) while removals are kept.
        {"a new file where the kept old tree has a file in place of its folder", {{L"plugins", "a file"}},
         {{L"plugins\\p.dll", "p"}},
         {L"make", L"--old", L"{old}", L"--new", L"{new}", L"--out", L"{out}", L"--keep-removed"}, nullptr, 2,
         L"cannot be installed with --keep-removed, the old tree has a file where its folder is: {new}plugins\\p.dll",
         1, true},
        {"a new file where the kept old tree has a folder", {{L"data\\x.bin", "x"}}, {{L"data", "file"}},
         {L"make", L"--old", L"{old}", L"--new", L"{new}", L"--out", L"{out}", L"--keep-removed"}, nullptr, 2,
         L"cannot be installed with --keep-removed, the old tree has a folder of its name: {new}data", 1, true},
        // Unreadable files: an old one of the same size is read to compare;
        // a new one only to copy, after a.txt was already copied.
        {"old file unreadable", {}, {}, {}, L"{old}a.txt", 2, L"cannot read {old}a.txt: ", 1, true},
        {"new file unreadable after another was copied", {}, {}, {}, L"{new}c.txt", 2, L"cannot read {new}c.txt: ", 1},
        // Exactly one line however many reasons there are.
        {"two new files that cannot be installed", {{L"plugins", "a file"}, {L"data\\x.bin", "x"}},
         {{L"plugins\\p.dll", "p"}, {L"data", "file"}},
         {L"make", L"--old", L"{old}", L"--new", L"{new}", L"--out", L"{out}", L"--keep-removed"}, nullptr, 2,
         L"2 files cannot be used: cannot be installed with --keep-removed, the old tree has a folder of its name: "
         L"{new}data; cannot be installed with --keep-removed, the old tree has a file where its folder is: "
         L"{new}plugins\\p.dll",
         1, true},
        {"a kept removal and an unreadable file", {{L"only-old.txt", "x"}}, {},
         {L"make", L"--old", L"{old}", L"--new", L"{new}", L"--out", L"{out}", L"--keep-removed"}, L"{new}c.txt", 2,
         L"cannot read {new}c.txt: ", 1},
        // Usage.
        {"no arguments", {}, {}, {L""}, nullptr, 1, L"no command given", 0},
        {"unknown command", {}, {}, {L"publish"}, nullptr, 1, L"unknown command: publish", 0},
        {"no output folder", {}, {}, {L"make", L"--old", L"{old}", L"--new", L"{new}"}, nullptr, 1,
         L"make needs --old, --new and --out", 0},
        {"option without its value", {}, {}, {L"make", L"--old", L"{old}", L"--new", L"{new}", L"--out"}, nullptr,
         1, L"option without its value: --out", 0},
        {"unknown option", {}, {}, {L"make", L"--old", L"{old}", L"--new", L"{new}", L"--out", L"{out}", L"--force"},
         nullptr, 1, L"unknown option: --force", 0},
        {"version of three numbers", {}, {}, {L"make", L"--old", L"{old}", L"--new", L"{new}", L"--out", L"{out}",
                                              L"--version", L"1.2.3"},
         nullptr, 1, L"--version takes four numbers A.B.C.D, not: 1.2.3", 0},
        {"verify without a manifest", {}, {}, {L"verify"}, nullptr, 1, L"verify takes exactly one manifest path", 0},
        {"a flag with a value", {}, {}, {L"make", L"--old", L"{old}", L"--new", L"{new}", L"--out", L"{out}",
                                         L"--dry-run=yes"},
         nullptr, 1, L"option takes no value: --dry-run", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CTestFolder root;
        const std::wstring old = root / L"old\\";
        const std::wstring fresh = root / L"new\\";
        const std::wstring out = root / L"out\\";
        auto expand = [&](std::wstring text) {
            const std::pair<const wchar_t*, std::wstring> names[] = {
                {L"{root}", root.Path()}, {L"{old}", old}, {L"{new}", fresh}, {L"{out}", out}};
            for (const auto& name : names) {
                for (size_t at = text.find(name.first); at != std::wstring::npos; at = text.find(name.first))
                    text.replace(at, wcslen(name.first), name.second);
            }
            return text;
        };
        TreeContents oldTree = kOldTree;
        oldTree.insert(c.oldExtra.begin(), c.oldExtra.end());
        TreeContents newTree = kNewTree;
        newTree.insert(c.newExtra.begin(), c.newExtra.end());
        ASSERT_TRUE(WriteTree(old, oldTree));
        ASSERT_TRUE(WriteTree(fresh, newTree));
        const TreeContents oldBefore = ReadTree(old);
        const TreeContents newBefore = ReadTree(fresh);

        std::vector<std::wstring> arguments;
        if (c.arguments.empty())
            arguments = {L"make", L"--old", old, L"--new", fresh, L"--out", out};
        else if (!(c.arguments.size() == 1 && c.arguments[0].empty())) {
            for (const std::wstring& argument : c.arguments)
                arguments.push_back(expand(argument));
        }
        CHandle held;
        if (c.held != nullptr) {
            held.Reset(CreateFileW(expand(c.held).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(held.IsValid());
        }
        const ToolResult result = RunMakeUpdate(arguments);
        ToolResult dryRun;
        if (c.sameInDryRun) {
            std::vector<std::wstring> dry = arguments;
            dry.push_back(L"--dry-run");
            dryRun = RunMakeUpdate(dry);
        }
        held.Close();

        ASSERT_TRUE(result.finished);
        EXPECT_EQ(c.exitCode, result.exitCode);
        ASSERT_FALSE(result.err.empty());
        const std::wstring first = expand(c.firstError);
        EXPECT_EQ(first, result.err[0].substr(0, first.size()));
        if (c.errorLines != 0) {
            EXPECT_EQ(c.errorLines, result.err.size());
        } else {
            EXPECT_GT(result.err.size(), 3u);
            EXPECT_EQ(L"usage:", result.err[1]);
        }
        EXPECT_EQ(std::vector<std::wstring>(), result.out);
        if (c.sameInDryRun) {
            EXPECT_EQ(c.exitCode, dryRun.exitCode);
            EXPECT_EQ(result.err, dryRun.err);
            EXPECT_EQ(std::vector<std::wstring>(), dryRun.out);
        }
        // Nothing half-written: no output folder, and both trees as they were.
        EXPECT_FALSE(PathExists(out));
        EXPECT_FALSE(PathExists(fresh + L"pkg"));
        EXPECT_EQ(oldBefore, ReadTree(old));
        EXPECT_EQ(newBefore, ReadTree(fresh));
    }
}

TEST_F(MakeUpdate, OutputFolderNotEmpty_RefusedAndLeftAsItWas)
{
    ASSERT_TRUE(WriteTree(Old(), kOldTree));
    ASSERT_TRUE(WriteTree(New(), kNewTree));
    const TreeContents earlier = {{L"update.xml", "an earlier package"}, {L"a.txt", "earlier a"}};
    ASSERT_TRUE(WriteTree(Out(), earlier));
    const ToolResult result = Make();
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(2u, result.exitCode);
    EXPECT_EQ(std::vector<std::wstring>{L"the output folder is not empty: " + Out()}, result.err);
    EXPECT_EQ(earlier, ReadTree(Out()));
}

TEST_F(MakeUpdate, Help_TheCommandsUsageOnStandardOutput)
{
    const struct
    {
        std::vector<std::wstring> arguments;
        eCommand topic;
    } cases[] = {
        {{L"--help"}, eCommandNone},
        {{L"help", L"verify"}, eCommandVerify},
        {{L"make", L"--help"}, eCommandMake},
        {{L"make", L"--old=app-1.0", L"-h"}, eCommandMake},
        {{L"verify", L"--help"}, eCommandVerify},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        const ToolResult result = RunMakeUpdate(c.arguments);
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(0u, result.exitCode);
        EXPECT_EQ(UsageLines(c.topic), result.out);
        EXPECT_EQ(std::vector<std::wstring>(), result.err);
    }
}

TEST_F(MakeUpdate, DryRun_ListsEveryChangeWithSizesAndWritesNothing)
{
    ASSERT_TRUE(WriteTree(Old(), {{L"a.txt", "a"}, {L"same.txt", "same"}, {L"gone.txt", "gone!"}, {L"sub\\b.txt", "b"}}));
    ASSERT_TRUE(WriteTree(New(), {{L"a.txt", "AAA"},
                                  {L"same.txt", "same"},
                                  {L"sub\\b.txt", "B"},
                                  {L"c.txt", "cc"},
                                  {L"new folder\\d.txt", "dddd"}}));
    const TreeContents oldBefore = ReadTree(Old());
    const TreeContents newBefore = ReadTree(New());
    const std::vector<std::wstring> files = {
        L"changed: a.txt, 3 bytes (was 1 byte)",
        L"added:   c.txt, 2 bytes",
        L"added:   new folder\\d.txt, 4 bytes",
        L"changed: sub\\b.txt, 1 byte (was 1 byte)",
        L"removed: gone.txt, 5 bytes",
    };
    const std::wstring totals = L"total: 4 files to install, 10 bytes; 1 file to remove, 5 bytes";

    // Into an absent output folder, and into an empty one: neither changes.
    for (bool outExists : {false, true}) {
        SCOPED_TRACE(outExists ? "empty output folder" : "no output folder");
        if (outExists) {
            ASSERT_TRUE(CreateDirectoryW(Out().c_str(), nullptr));
        }
        const ToolResult result = Make({L"--dry-run"});
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(0u, result.exitCode);
        std::vector<std::wstring> expected = files;
        expected.push_back(L"dry run, nothing written: update.xml would list 5 files: " + Out() + L"update.xml");
        expected.push_back(totals);
        EXPECT_EQ(expected, result.out);
        EXPECT_EQ(std::vector<std::wstring>(), result.err);
        EXPECT_EQ(outExists, PathExists(Out()));
        EXPECT_EQ(TreeContents(), ReadTree(Out()));
        EXPECT_EQ(oldBefore, ReadTree(Old()));
        EXPECT_EQ(newBefore, ReadTree(New()));
    }
    // The real run lists the same.
    const ToolResult made = Make();
    ASSERT_TRUE(made.finished);
    ASSERT_EQ(0u, made.exitCode);
    std::vector<std::wstring> expected = files;
    expected.push_back(L"update.xml lists 5 files: " + Out() + L"update.xml");
    expected.push_back(totals);
    EXPECT_EQ(expected, made.out);
}

namespace {

// One file of the JSON output as a line: its change and name, then its other
// members in order.
std::wstring FileSummary(const CJson& file)
{
    std::wstring line = file[L"change"].text + L" " + file[L"name"].text;
    for (const auto& member : file.members) {
        if (member.first == L"change" || member.first == L"name")
            continue;
        line += L" " + member.first + L"=" +
                (member.second.type == CJson::eString ? member.second.text
                                                      : std::wstring(member.second.number.begin(),
                                                                     member.second.number.end()));
    }
    return line;
}

std::wstring Wide(const std::string& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

} // namespace

// For scripts: one JSON document on standard output, whatever the names hold.
TEST_F(MakeUpdate, Json_OneDocumentWithEveryFileInfoAndTotals)
{
    // Characters JSON or a shell treat specially, Cyrillic, and one outside
    // the basic plane (two UTF-16 units).
    const std::wstring odd = L"ключ \xD83D\xDE00 it's {a,b};%20 [x].txt";
    ASSERT_TRUE(WriteTree(Old(), {{L"a.txt", "a"}, {L"same.txt", "same"}, {L"gone.txt", "gone!"}}));
    ASSERT_TRUE(WriteTree(New(), {{L"a.txt", "AAA"}, {L"same.txt", "same"}, {L"sub\\" + odd, "odd"}}));
    const std::wstring params = L"say \"hi\"\t\\x";
    const struct
    {
        const char* what;
        std::vector<std::wstring> options;
        bool dryRun;
        bool folders; // the customer's folders given
        std::vector<std::wstring> files;
        std::vector<std::wstring> notRemoved;
        // files, install, installBytes, remove, removeBytes; once written also
        // downloadBytes, savedBytes (files of three bytes: nothing to save)
        std::vector<uint64_t> totals;
    } cases[] = {
        {"dry run", {L"--dry-run", L"--json"}, true, true,
         {L"changed a.txt size=3 oldSize=1", L"added sub\\" + odd + L" size=3", L"removed gone.txt oldSize=5"},
         {},
         {3, 2, 6, 1, 5}},
        {"dry run, removals kept, no folders", {L"--json", L"--dry-run", L"--keep-removed"}, true, false,
         {L"changed a.txt size=3 oldSize=1", L"added sub\\" + odd + L" size=3"},
         {L"gone.txt"},
         {2, 2, 6, 0, 0}},
        {"written", {L"--json"}, false, true,
         {L"changed a.txt size=3 oldSize=1 md5=" + Wide(CryptoApiMd5("AAA")),
          L"added sub\\" + odd + L" size=3 md5=" + Wide(CryptoApiMd5("odd")), L"removed gone.txt oldSize=5"},
         {},
         {3, 2, 6, 1, 5, 6, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RemoveTree(Out());
        std::vector<std::wstring> arguments = {L"make", L"--old", Old(), L"--new", New(), L"--out", Out(),
                                               L"--params", params};
        if (c.folders) {
            for (const wchar_t* more : {L"--target-folder", kTargetFolder, L"--update-folder", kUpdateFolder})
                arguments.push_back(more);
        }
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        const ToolResult result = RunMakeUpdate(arguments);
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(0u, result.exitCode);
        EXPECT_EQ(c.dryRun, !PathExists(Out()));
        // One line holding one document, its names as UTF-8 characters.
        EXPECT_EQ(1u, result.out.size());
        EXPECT_NE(std::string::npos, result.outBytes.find("\xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87 \xF0\x9F\x98\x80"));
        CJson document;
        std::string error;
        ASSERT_TRUE(ParseJson(result.outBytes, &document, &error)) << error;

        const std::vector<std::wstring> top = {L"command", L"dryRun",   L"manifest", L"info",
                                               L"files",   L"notRemoved", L"warnings", L"totals"};
        EXPECT_EQ(top, document.MemberNames());
        EXPECT_EQ(L"make", document[L"command"].text);
        EXPECT_EQ(CJson::eBool, document[L"dryRun"].type);
        EXPECT_EQ(c.dryRun, document[L"dryRun"].boolean);
        EXPECT_EQ(Out() + L"update.xml", document[L"manifest"].text);

        // The info the manifest gets (or got: then the same as written).
        Attributes info;
        for (const auto& member : document[L"info"].members)
            info[member.first] = member.second.text;
        const Attributes expectedInfo = {{L"UpdateFolder", c.folders ? kUpdateFolder : Out()},
                                         {L"TargetFolder", c.folders ? kTargetFolder : Old()},
                                         {L"Params", params}};
        EXPECT_EQ(expectedInfo, info);
        if (!c.dryRun) {
            pugi::xml_document manifest;
            ASSERT_TRUE(manifest.load_file((Out() + L"update.xml").c_str()));
            EXPECT_EQ(AttributesOf(manifest.child(L"update").child(L"info")), info);
        }

        std::vector<std::wstring> files;
        for (const CJson& file : document[L"files"].elements)
            files.push_back(FileSummary(file));
        EXPECT_EQ(c.files, files);
        std::vector<std::wstring> notRemoved;
        for (const CJson& name : document[L"notRemoved"].elements)
            notRemoved.push_back(name.text);
        EXPECT_EQ(c.notRemoved, notRemoved);
        // The warnings, also on standard error (nothing else is there).
        std::vector<std::wstring> warnings;
        for (const CJson& warning : document[L"warnings"].elements)
            warnings.push_back(L"warning: " + warning.text);
        EXPECT_EQ(c.folders ? 0u : 2u, warnings.size());
        EXPECT_EQ(warnings, result.err);

        const CJson& totals = document[L"totals"];
        std::vector<std::wstring> totalNames = {L"files", L"install", L"installBytes", L"remove", L"removeBytes"};
        if (!c.dryRun)
            totalNames.insert(totalNames.end(), {L"downloadBytes", L"savedBytes"});
        EXPECT_EQ(totalNames, totals.MemberNames());
        std::vector<uint64_t> values;
        for (const auto& member : totals.members)
            values.push_back(member.second.Integer());
        EXPECT_EQ(c.totals, values);
    }
}

// Folders missing or relative leave the manifest naming the publisher's own
// machine: make says so on standard error, and still does its job.
TEST_F(MakeUpdate, PublishersFolders_WarnedAbout)
{
    ASSERT_TRUE(WriteTree(Old(), kOldTree));
    ASSERT_TRUE(WriteTree(New(), kNewTree));
    const std::wstring relative = L"; the engine takes it from the folder it runs in; give the customer's full path";
    const struct
    {
        const char* what;
        std::vector<std::wstring> options;
        std::vector<std::wstring> warnings;
    } cases[] = {
        {"neither given",
         {},
         {L"warning: no --target-folder: the manifest names this machine's " + Old() +
              L" as the application folder; give the customer's full path",
          L"warning: no --update-folder: the manifest names this machine's " + Out() +
              L" as the folder of the downloads; give the customer's full path"}},
        {"relative", {L"--target-folder", L"app", L"--update-folder=upd\\"},
         {L"warning: --target-folder is not a full path: app" + relative,
          L"warning: --update-folder is not a full path: upd\\" + relative}},
        {"relative to a drive or its root", {L"--target-folder=C:app", L"--update-folder", L"\\upd"},
         {L"warning: --target-folder is not a full path: C:app" + relative,
          L"warning: --update-folder is not a full path: \\upd" + relative}},
        {"only one given", {L"--target-folder", L"D:\\App"},
         {L"warning: no --update-folder: the manifest names this machine's " + Out() +
          L" as the folder of the downloads; give the customer's full path"}},
        {"full paths", {L"--target-folder", L"C:\\App", L"--update-folder", L"\\\\server\\share\\upd"}, {}},
        {"full paths with slashes", {L"--target-folder", L"c:/App", L"--update-folder", L"//server/upd"}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::wstring> arguments = {L"make", L"--old", Old(), L"--new", New(), L"--out", Out(),
                                               L"--dry-run"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        const ToolResult result = RunMakeUpdate(arguments);
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(0u, result.exitCode);
        EXPECT_EQ(c.warnings, result.err);
        EXPECT_EQ(4u, result.out.size());
    }
}

TEST_F(MakeUpdate, OutputPathIsAFile_TheToolsOwnMessage)
{
    ASSERT_TRUE(WriteTree(Old(), kOldTree));
    ASSERT_TRUE(WriteTree(New(), kNewTree));
    ASSERT_TRUE(WriteBytes(m_root / L"README.md", "read me"));
    for (const wchar_t* out : {L"README.md", L"README.md\\"}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(out)));
        const ToolResult result =
            RunMakeUpdate({L"make", L"--old", L"old", L"--new", L"new", L"--out", out}, m_root.Path());
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(2u, result.exitCode);
        EXPECT_EQ(std::vector<std::wstring>{L"the output path is a file, not a folder: " + m_root.Path() + L"README.md"},
                  result.err);
        EXPECT_EQ(std::vector<std::wstring>(), result.out);
        EXPECT_EQ(std::string("read me"), ReadBytes(m_root / L"README.md").value_or(""));
    }
}
