// QXMakeUpdate.exe as a publisher meets it: the mistakes make refuses unless
// told otherwise, the base record of the files an update relies on, the
// package's write times, the tool's version and its errors as JSON.
#include "makeupdate/JsonReader.h"
#include "makeupdate/ToolSupport.h"

#include "makeupdate/Arguments.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <algorithm>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace {

std::wstring Wide(const std::string& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

std::wstring Replaced(std::wstring text, const std::vector<std::pair<std::wstring, std::wstring>>& names)
{
    for (const auto& name : names) {
        for (size_t at = text.find(name.first); at != std::wstring::npos; at = text.find(name.first, at))
            text.replace(at, name.first.size(), name.second);
    }
    return text;
}

// The folder under another drive letter: Wine's Z: is the Linux root, so a
// folder on C: is also one below Z:. Empty when not running under Wine.
std::wstring UnderDriveZ(const std::wstring& path)
{
    using UnixFileName = char*(CDECL*)(LPCWSTR);
    const auto unixFileName = reinterpret_cast<UnixFileName>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name"));
    if (unixFileName == nullptr)
        return L"";
    char* name = unixFileName(path.c_str());
    if (name == nullptr)
        return L"";
    std::wstring z = L"Z:";
    for (const char* c = name; *c != '\0'; ++c)
        z.push_back(*c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(*c)));
    HeapFree(GetProcessHeap(), 0, name);
    return z;
}

// The one JSON document of standard output, with its members' names.
bool ParseOnlyDocument(const ToolResult& result, CJson* document)
{
    std::string error;
    if (!ParseJson(result.outBytes, document, &error)) {
        ADD_FAILURE() << "standard output is no JSON document: " << error << "\n" << result.outBytes;
        return false;
    }
    return true;
}

// One item of a manifest as "name:change" (change: install or remove).
std::vector<std::wstring> ItemSummaries(const pugi::xml_document& manifest)
{
    std::vector<std::wstring> items;
    for (const pugi::xml_node& item : manifest.child(L"update").child(L"files").children())
        items.push_back(std::wstring(item.attribute(L"FileName").value()) +
                        (item.attribute(L"isRemove").as_bool() ? L":remove" : L":install"));
    return items;
}

const TreeContents kFiveFiles = {
    {L"a.dll", "a"}, {L"b.dll", "b"}, {L"c.dll", "c"}, {L"lang\\de.txt", "de"}, {L"lang\\en.txt", "en"}};

} // namespace

// A new version that is not one (a failed build, a wrong path) would empty the
// customer's application folder; the same folder twice makes an update of
// nothing. Each is refused with exit code 2, one line, and nothing written,
// also in a dry run, and as a JSON error with --json.
TEST(Publisher, Mistakes_RefusedWithOneLineAndNothingWritten)
{
    const struct
    {
        const char* what;
        TreeContents oldTree;
        TreeContents newTree; // empty: an empty folder (holding an empty subfolder)
        std::wstring newArgument; // {old}, {new}, {OLD}, {oldZ}, {oldShort} stand for the folders
        std::wstring line;
    } cases[] = {
        {"an empty new version", kFiveFiles, {}, L"{new}",
         L"the new version holds no file: {new} (the old version holds 5 files); --allow-empty makes the update "
         L"anyway"},
        {"an empty new version of an empty old one", {}, {}, L"{new}",
         L"the new version holds no file: {new} (the old version holds 0 files); --allow-empty makes the update "
         L"anyway"},
        // Just above half of the old files removed.
        {"3 of 5 files removed", kFiveFiles, {{L"a.dll", "a"}, {L"lang\\de.txt", "DE"}}, L"{new}",
         L"the update would remove 3 of the old version's 5 files, more than half: {new} may not be the new "
         L"version; --allow-mass-removal makes the update anyway"},
        {"the only file replaced by another", {{L"a.dll", "a"}}, {{L"b.dll", "b"}}, L"{new}",
         L"the update would remove 1 of the old version's 1 file, more than half: {new} may not be the new "
         L"version; --allow-mass-removal makes the update anyway"},
        // One folder however it is written.
        {"the same folder", kFiveFiles, kFiveFiles, L"{old}",
         L"the old and the new folder are the same folder: {old} and {old}"},
        {"the same folder in other letter case", kFiveFiles, kFiveFiles, L"{OLD}",
         L"the old and the new folder are the same folder: {old} and {OLD}"},
        {"the same folder by another way", kFiveFiles, kFiveFiles, L"{old}lang\\..\\.",
         L"the old and the new folder are the same folder: {old} and {old}"},
        {"the same folder on another drive", kFiveFiles, kFiveFiles, L"{oldZ}",
         L"the old and the new folder are the same folder: {old} and {oldZ}"},
        {"the same folder by its short name", kFiveFiles, kFiveFiles, L"{oldShort}",
         L"the old and the new folder are the same folder: {old} and {oldShort}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CTestFolder root;
        const std::wstring old = root / L"old version of the app\\";
        const std::wstring fresh = root / L"new version of the app\\";
        const std::wstring out = root / L"package\\";
        ASSERT_TRUE(WriteTree(old, c.oldTree));
        ASSERT_TRUE(WriteTree(fresh, c.newTree));
        ASSERT_TRUE(CreateDirectoryW((fresh + L"empty subfolder").c_str(), nullptr));
        std::wstring upper = old;
        std::transform(upper.begin(), upper.end(), upper.begin(), towupper);
        wchar_t shortName[MAX_PATH] = {};
        const DWORD shortLength = GetShortPathNameW(old.c_str(), shortName, MAX_PATH);
        const std::vector<std::pair<std::wstring, std::wstring>> names = {
            {L"{oldShort}", shortLength > 0 && shortLength < MAX_PATH ? shortName : L""},
            {L"{oldZ}", UnderDriveZ(old)},
            {L"{old}", old},
            {L"{OLD}", upper},
            {L"{new}", fresh},
        };
        const std::wstring newArgument = Replaced(c.newArgument, names);
        if (newArgument.empty() || (c.newArgument != L"{old}" && newArgument == old)) {
            // No second name of that kind here (not under Wine, or no short
            // name): the row cannot show anything.
            std::cout << "skipped: " << c.what << ": no such name of the folder on this system\n";
            continue;
        }
        const std::wstring line = Replaced(c.line, names);
        const TreeContents oldBefore = ReadTree(old);
        const TreeContents newBefore = ReadTree(fresh);

        for (const wchar_t* more : {L"", L"--dry-run", L"--json"}) {
            SCOPED_TRACE(testing::PrintToString(std::wstring(more)));
            std::vector<std::wstring> arguments = {L"make", L"--old", old, L"--new", newArgument, L"--out", out,
                                                   L"--target-folder", L"C:\\App", L"--update-folder", L"C:\\Upd"};
            if (*more != L'\0')
                arguments.push_back(more);
            const ToolResult result = RunMakeUpdate(arguments);
            ASSERT_TRUE(result.finished);
            EXPECT_EQ(2u, result.exitCode);
            EXPECT_EQ(std::vector<std::wstring>{line}, result.err);
            if (std::wstring(more) == L"--json") {
                CJson document;
                ASSERT_TRUE(ParseOnlyDocument(result, &document));
                EXPECT_EQ((std::vector<std::wstring>{L"command", L"error", L"exitCode"}), document.MemberNames());
                EXPECT_EQ(L"make", document[L"command"].text);
                EXPECT_EQ(line, document[L"error"].text);
                EXPECT_EQ(2u, document[L"exitCode"].Integer());
            } else {
                EXPECT_EQ(std::vector<std::wstring>(), result.out);
            }
            EXPECT_FALSE(PathExists(out));
            EXPECT_EQ(oldBefore, ReadTree(old));
            EXPECT_EQ(newBefore, ReadTree(fresh));
        }
    }
}

// Each guard rail is lifted by its own option only, and a removal kept by
// --keep-removed is no removal.
TEST(Publisher, Mistakes_MadeWhenThePublisherSaysSo)
{
    const struct
    {
        const char* what;
        TreeContents newTree;
        std::vector<std::wstring> options;
        DWORD exitCode;
        std::vector<std::wstring> items; // of the manifest, when made
    } cases[] = {
        {"empty, allowed", {}, {L"--allow-empty"}, 0,
         {L"a.dll:remove", L"b.dll:remove", L"c.dll:remove", L"lang\\de.txt:remove", L"lang\\en.txt:remove"}},
        {"empty, mass removal allowed is not enough", {}, {L"--allow-mass-removal"}, 2, {}},
        {"empty, removals kept is not enough", {}, {L"--keep-removed"}, 2, {}},
        {"3 of 5 removed, allowed", {{L"a.dll", "a"}, {L"lang\\de.txt", "DE"}}, {L"--allow-mass-removal"}, 0,
         {L"lang\\de.txt:install", L"b.dll:remove", L"c.dll:remove", L"lang\\en.txt:remove"}},
        {"3 of 5 removed, an empty version allowed is not enough", {{L"a.dll", "a"}, {L"lang\\de.txt", "DE"}},
         {L"--allow-empty"}, 2, {}},
        {"3 of 5 only reported", {{L"a.dll", "a"}, {L"lang\\de.txt", "DE"}}, {L"--keep-removed"}, 0,
         {L"lang\\de.txt:install"}},
        // At most half: no option needed.
        {"2 of 5 removed", {{L"a.dll", "a"}, {L"b.dll", "b"}, {L"lang\\de.txt", "de"}}, {}, 0,
         {L"c.dll:remove", L"lang\\en.txt:remove"}},
        {"every file replaced by others", {{L"A2.dll", "a"}, {L"B2.dll", "b"}, {L"C2.dll", "c"}},
         {L"--allow-mass-removal"}, 0,
         {L"A2.dll:install", L"B2.dll:install", L"C2.dll:install", L"a.dll:remove", L"b.dll:remove", L"c.dll:remove",
          L"lang\\de.txt:remove", L"lang\\en.txt:remove"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CTestFolder root;
        const std::wstring old = root / L"old\\";
        const std::wstring fresh = root / L"new\\";
        const std::wstring out = root / L"out\\";
        ASSERT_TRUE(WriteTree(old, kFiveFiles));
        ASSERT_TRUE(WriteTree(fresh, c.newTree));
        std::vector<std::wstring> arguments = {L"make", L"--old", old, L"--new", fresh, L"--out", out};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        const ToolResult result = RunMakeUpdate(arguments);
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(c.exitCode, result.exitCode) << testing::PrintToString(result.err);
        if (c.exitCode != 0) {
            EXPECT_EQ(1u, result.err.size());
            EXPECT_FALSE(PathExists(out));
            continue;
        }
        pugi::xml_document manifest;
        ASSERT_TRUE(manifest.load_file((out + L"update.xml").c_str()));
        EXPECT_EQ(c.items, ItemSummaries(manifest));
    }
}

// The files the new version keeps as the old one had them: with their size and
// MD5 in an element of their own beside files, so an engine that does not
// check them ignores them, and with the version the update is made from when
// the publisher gives it.
TEST(Publisher, BaseRecord_EveryUnchangedFileWithSizeAndMd5)
{
    CTestFolder root;
    const std::wstring old = root / L"old\\";
    const std::wstring fresh = root / L"new\\";
    const std::wstring out = root / L"out\\";
    const std::string big(3 * 1024 * 1024 + 17, 'x'); // more than one block of the comparison
    const TreeContents oldTree = {{L"a.dll", "old a"}, {L"same.txt", "same"}, {L"sub\\deep\\keep.bin", big},
                                  {L"empty.dat", ""},  {L"Ünï €.txt", "ü"}, {L"gone.txt", "gone"},
                                  {L"B.dll", "bb"}};
    const TreeContents newTree = {{L"a.dll", "new a"}, {L"same.txt", "same"}, {L"sub\\deep\\keep.bin", big},
                                  {L"empty.dat", ""},  {L"Ünï €.txt", "ü"}, {L"added.txt", "added"},
                                  {L"B.dll", "bc"}};
    ASSERT_TRUE(WriteTree(old, oldTree));
    ASSERT_TRUE(WriteTree(fresh, newTree));
    // In ordinal order of the names, as the items are.
    const std::vector<std::wstring> unchanged = {L"empty.dat", L"same.txt", L"sub\\deep\\keep.bin", L"Ünï €.txt"};

    const struct
    {
        const char* what;
        std::vector<std::wstring> options;
        const wchar_t* version; // nullptr: no Version attribute
    } cases[] = {
        {"from a given version", {L"--from-version", L"1.0.3.12", L"--manifest-version=2.0.0.0"}, L"1.0.3.12"},
        {"version unknown", {}, nullptr},
        // Files only the old version has are no part of the new version's base.
        {"removals kept", {L"--keep-removed", L"--from-version=0.9.0.0"}, L"0.9.0.0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RemoveTree(out);
        std::vector<std::wstring> arguments = {L"make",  L"--old", old, L"--new", fresh, L"--out",
                                               out,      L"--target-folder", L"C:\\App", L"--update-folder",
                                               L"C:\\Upd"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        const ToolResult result = RunMakeUpdate(arguments);
        ASSERT_TRUE(result.finished);
        ASSERT_EQ(0u, result.exitCode) << testing::PrintToString(result.err);

        const std::string bytes = ReadBytes(out + L"update.xml").value_or("");
        pugi::xml_document manifest;
        ASSERT_TRUE(manifest.load_buffer(bytes.data(), bytes.size())) << bytes;
        const pugi::xml_node update = manifest.child(L"update");
        // update holds info, files, base, in that order, and nothing else.
        std::vector<std::wstring> children;
        for (const pugi::xml_node& child : update.children())
            children.push_back(child.name());
        EXPECT_EQ((std::vector<std::wstring>{L"info", L"files", L"base"}), children);

        const pugi::xml_node base = update.child(L"base");
        std::map<std::wstring, std::wstring> attributes;
        for (const pugi::xml_attribute& attribute : base.attributes())
            attributes[attribute.name()] = attribute.value();
        std::map<std::wstring, std::wstring> expected = {{L"count", std::to_wstring(unchanged.size())}};
        if (c.version != nullptr)
            expected[L"Version"] = c.version;
        EXPECT_EQ(expected, attributes);
        if (c.version != nullptr) {
            const std::string start = "<base Version=\"" + std::string(c.version, c.version + wcslen(c.version)) +
                                      "\" count=\"4\">";
            EXPECT_NE(std::string::npos, bytes.find(start)) << bytes;
        }

        std::vector<std::vector<std::wstring>> files;
        for (const pugi::xml_node& file : base.children()) {
            std::vector<std::wstring> line = {file.name()};
            for (const pugi::xml_attribute& attribute : file.attributes())
                line.push_back(std::wstring(attribute.name()) + L"=" + attribute.value());
            files.push_back(line);
        }
        std::vector<std::vector<std::wstring>> expectedFiles;
        for (const std::wstring& name : unchanged) {
            const std::string& content = newTree.at(name);
            expectedFiles.push_back({L"F", L"FileName=" + name, L"SizeByte=" + std::to_wstring(content.size()),
                                     L"MD5=" + Wide(CryptoApiMd5(content))});
        }
        EXPECT_EQ(expectedFiles, files);
    }
}

// The downloads carry the write times of the new version's files, to the
// 100 ns, not the time they were copied.
TEST(Publisher, Package_FilesCarryTheNewVersionsWriteTimes)
{
    CTestFolder root;
    const std::wstring old = root / L"old\\";
    const std::wstring fresh = root / L"new\\";
    const std::wstring out = root / L"out\\";
    ASSERT_TRUE(WriteTree(old, {{L"a.dll", "old a"}, {L"same.txt", "same"}}));
    ASSERT_TRUE(WriteTree(fresh, {{L"a.dll", "new a"}, {L"same.txt", "same"}, {L"sub\\new.txt", "new"}}));
    // 2020-09-13 12:26:40.1234567 UTC and a day later.
    const LONGLONG times[] = {132444736001234567LL, 132445600001234567LL};
    ASSERT_TRUE(SetTimes(fresh + L"a.dll", times[0]));
    ASSERT_TRUE(SetTimes(fresh + L"sub\\new.txt", times[1]));
    const ToolResult result = RunMakeUpdate({L"make", L"--old", old, L"--new", fresh, L"--out", out});
    ASSERT_TRUE(result.finished);
    ASSERT_EQ(0u, result.exitCode) << testing::PrintToString(result.err);
    EXPECT_EQ(times[0], WriteTime(out + L"a.dll"));
    EXPECT_EQ(times[1], WriteTime(out + L"sub\\new.txt"));
    // The manifest's times are those of the same files, to the second.
    pugi::xml_document manifest;
    ASSERT_TRUE(manifest.load_file((out + L"update.xml").c_str()));
    for (const pugi::xml_node& item : manifest.child(L"update").child(L"files").children()) {
        const std::wstring name = item.attribute(L"FileName").value();
        EXPECT_EQ(LocalSeconds(WriteTime(out + name)), item.attribute(L"Modified").as_llong()) << Cp1251(name);
    }
}

TEST(Publisher, ToolVersion_AsOptionOrCommand)
{
    for (const wchar_t* argument : {L"--version", L"version"}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(argument)));
        const ToolResult result = RunMakeUpdate({argument});
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(0u, result.exitCode);
        EXPECT_EQ(std::vector<std::wstring>{std::wstring(L"QXMakeUpdate ") + kToolVersion}, result.out);
        EXPECT_EQ(std::vector<std::wstring>(), result.err);
    }
    // Inside make the earlier spelling still sets the manifest's version, and
    // says what it is now called.
    CTestFolder root;
    ASSERT_TRUE(WriteTree(root / L"old\\", {{L"a.txt", "a"}}));
    ASSERT_TRUE(WriteTree(root / L"new\\", {{L"a.txt", "A"}}));
    const ToolResult made = RunMakeUpdate({L"make", L"--old", root / L"old", L"--new", root / L"new", L"--out",
                                           root / L"out", L"--target-folder", L"C:\\App", L"--update-folder",
                                           L"C:\\Upd", L"--version", L"2.0.0.1"});
    ASSERT_TRUE(made.finished);
    EXPECT_EQ(0u, made.exitCode);
    EXPECT_EQ(std::vector<std::wstring>{L"note: --version of make is now --manifest-version (the manifest's "
                                        L"version); QXMakeUpdate --version prints the tool's version"},
              made.err);
    pugi::xml_document manifest;
    ASSERT_TRUE(manifest.load_file((root / L"out\\update.xml").c_str()));
    EXPECT_EQ(std::wstring(L"2.0.0.1"),
              manifest.child(L"update").child(L"info").attribute(L"AssignedVersion").value());
}

// With --json a script reads every outcome from standard output: an error is a
// document with the command, the line also written to standard error, and the
// exit code.
TEST(Publisher, Json_AnErrorIsADocumentToo)
{
    CTestFolder root;
    ASSERT_TRUE(WriteTree(root / L"old\\", {{L"a.txt", "a"}}));
    ASSERT_TRUE(WriteTree(root / L"new\\", {{L"a.txt", "A"}}));
    ASSERT_TRUE(WriteBytes(root / L"broken.xml", "<update><info></update>"));
    ASSERT_TRUE(WriteBytes(root / L"good.xml", "<update><info UpdateFolder=\"C:\\Upd\\\"/><files count=\"0\"/></update>"));
    const struct
    {
        const char* what;
        std::vector<std::wstring> arguments; // {root} stands for the test folder
        DWORD exitCode;
        const wchar_t* command; // nullptr: none recognised
        bool usageFollows;      // the usage text follows the line on standard error
    } cases[] = {
        {"make without --out", {L"make", L"--json", L"--old", L"{root}old", L"--new", L"{root}new"}, 1, L"make", true},
        {"an unknown option", {L"make", L"--force", L"--json"}, 1, L"make", true},
        {"an unknown command", {L"publish", L"--json"}, 1, nullptr, true},
        {"verify of two manifests", {L"verify", L"a.xml", L"b.xml", L"--json"}, 1, L"verify", true},
        {"the old folder missing",
         {L"make", L"--old", L"{root}nope", L"--new", L"{root}new", L"--out", L"{root}out", L"--json"}, 2, L"make",
         false},
        {"a manifest that does not parse", {L"verify", L"{root}broken.xml", L"--json"}, 2, L"verify", false},
        {"a downloads folder that does not exist",
         {L"verify", L"{root}good.xml", L"--json", L"--downloads", L"{root}nope"}, 2, L"verify", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::wstring> arguments;
        for (const std::wstring& argument : c.arguments)
            arguments.push_back(Replaced(argument, {{L"{root}", root.Path()}}));
        const ToolResult result = RunMakeUpdate(arguments);
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(c.exitCode, result.exitCode);
        ASSERT_FALSE(result.err.empty());
        EXPECT_EQ(c.usageFollows, result.err.size() > 1) << testing::PrintToString(result.err);
        EXPECT_EQ(1u, result.out.size());
        CJson document;
        ASSERT_TRUE(ParseOnlyDocument(result, &document));
        EXPECT_EQ((std::vector<std::wstring>{L"command", L"error", L"exitCode"}), document.MemberNames());
        if (c.command == nullptr)
            EXPECT_EQ(CJson::eNull, document[L"command"].type);
        else
            EXPECT_EQ(c.command, document[L"command"].text);
        EXPECT_EQ(result.err[0], document[L"error"].text);
        EXPECT_EQ(c.exitCode, document[L"exitCode"].Integer());
        EXPECT_FALSE(PathExists(root / L"out"));
    }
}
