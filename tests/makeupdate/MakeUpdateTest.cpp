// QXMakeUpdate.exe make: what it writes for a pair of trees and its options,
// and how it refuses input it cannot use.
#include "makeupdate/ToolSupport.h"

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

// Under a test folder: old\, new\ and the output folder out\ (absent at first).
class MakeUpdate : public testing::Test
{
protected:
    std::wstring Old() const { return m_root / L"old\\"; }
    std::wstring New() const { return m_root / L"new\\"; }
    std::wstring Out() const { return m_root / L"out\\"; }

    ToolResult Make(std::vector<std::wstring> more = {})
    {
        std::vector<std::wstring> arguments = {L"make", L"--old", Old(), L"--new", New(), L"--out", Out()};
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
    } cases[] = {
        {"no options: the folders' full paths", {}, {{L"UpdateFolder", L"{out}"}, {L"TargetFolder", L"{old}"}}},
        {"every option",
         {L"--target-folder", L"C:\\Program Files\\Кварц", L"--update-folder", L"D:\\upd\\", L"--version",
          L"2.0.10.7", L"--app-to-run", L"bin\\app.exe", L"--params", L"--exit-code 0 \"two words\"",
          L"--restart-client"},
         {{L"UpdateFolder", L"D:\\upd\\"},
          {L"TargetFolder", L"C:\\Program Files\\Кварц\\"},
          {L"AssignedVersion", L"2.0.10.7"},
          {L"AppToRun", L"bin\\app.exe"},
          {L"Params", L"--exit-code 0 \"two words\""},
          {L"RestartQuoteBench", L"1"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RemoveTree(Out());
        // Relative folder paths, resolved against the working folder.
        std::vector<std::wstring> arguments = {L"make", L"--old", L"old", L"--new", L"new", L"--out", L"out"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        const ToolResult result = RunMakeUpdate(arguments, m_root.Path());
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(0u, result.exitCode);
        EXPECT_EQ(std::vector<std::wstring>(), result.err);

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
    const std::vector<std::wstring> out = {L"changed: a.txt", L"new:     c.txt",
                                           L"update.xml lists 2 files: " + Out() + L"update.xml"};
    EXPECT_EQ(out, result.out);
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
    } cases[] = {
        // Folders.
        {"old folder missing", {}, {}, {L"make", L"--old", L"{root}nope", L"--new", L"{new}", L"--out", L"{out}"},
         nullptr, 2, L"old folder not found: {root}nope", 1},
        {"new folder missing", {}, {}, {L"make", L"--old", L"{old}", L"--new", L"{root}nope", L"--out", L"{out}"},
         nullptr, 2, L"new folder not found: {root}nope", 1},
        {"new folder is a file", {}, {}, {L"make", L"--old", L"{old}", L"--new", L"{old}a.txt", L"--out", L"{out}"},
         nullptr, 2, L"new folder not found: {old}a.txt", 1},
        {"output inside the new folder", {}, {}, {L"make", L"--old", L"{old}", L"--new", L"{new}", L"--out",
                                                  L"{new}pkg"},
         nullptr, 2, L"the output folder lies inside the new folder: {new}pkg\\", 1},
        {"output is the old folder", {}, {}, {L"make", L"--old", L"{old}", L"--new", L"{new}", L"--out", L"{old}"},
         nullptr, 2, L"the output folder lies inside the old folder: {old}", 1},
        // A new file that the engine could not install, each one named.
        {"a new file where the old tree has a file in place of its folder", {{L"plugins", "a file"}},
         {{L"plugins\\p.dll", "p"}}, {}, nullptr, 2,
         L"cannot be installed, the old tree has a file where its folder is: {new}plugins\\p.dll", 1},
        {"a new file where the old tree has a folder", {{L"data\\x.bin", "x"}}, {{L"data", "file"}}, {}, nullptr, 2,
         L"cannot be installed, the old tree has a folder of its name: {new}data", 1},
        // Unreadable files: an old one of the same size is read to compare;
        // a new one only to copy, after a.txt was already copied.
        {"old file unreadable", {}, {}, {}, L"{old}a.txt", 2, L"cannot read {old}a.txt: ", 1},
        {"new file unreadable after another was copied", {}, {}, {}, L"{new}c.txt", 2, L"cannot read {new}c.txt: ", 1},
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

TEST_F(MakeUpdate, Help_UsageOnStandardOutput)
{
    const ToolResult result = RunMakeUpdate({L"--help"});
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(0u, result.exitCode);
    ASSERT_FALSE(result.out.empty());
    EXPECT_EQ(L"usage:", result.out[0]);
    EXPECT_EQ(std::vector<std::wstring>(), result.err);
}
