// QXMakeUpdate's patches and compressed files: what make writes beside (or,
// with --no-full, instead of) the whole files, and verify rebuilding them.
#include "makeupdate/JsonReader.h"
#include "makeupdate/ToolSupport.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace {

std::wstring Wide(const std::string& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

// Text with repeats, as a program or data file has them: compressible, and a
// small edit of it makes a small patch.
std::string Compressible(size_t size, unsigned seed)
{
    std::string text;
    unsigned state = seed * 2654435761u + 12345;
    while (text.size() < size) {
        state = state * 1103515245u + 12345;
        text += "entry " + std::to_string(state % 5000) + " value " + std::to_string((state >> 16) % 97) + "\n";
    }
    text.resize(size);
    return text;
}

// Bytes no compressor shrinks.
std::string Noise(size_t size)
{
    std::string bytes(size, '\0');
    unsigned state = 7;
    for (char& c : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        c = static_cast<char>(state);
    }
    return bytes;
}

const std::string kOldApp = Compressible(200000, 1);
std::string NewApp()
{
    std::string app = kOldApp;
    app.replace(50000, 20, "a change of twenty b");
    app.insert(120000, "inserted");
    return app;
}

using Attributes = std::map<std::wstring, std::wstring>;

// The attributes of the item for name in the manifest.
Attributes ItemAttributes(const std::wstring& manifest, const std::wstring& name)
{
    pugi::xml_document document;
    EXPECT_TRUE(document.load_file(manifest.c_str()));
    for (const pugi::xml_node& item : document.child(L"update").child(L"files").children()) {
        if (name != item.attribute(L"FileName").as_string())
            continue;
        Attributes attributes;
        for (const pugi::xml_attribute& attribute : item.attributes())
            attributes[attribute.name()] = attribute.value();
        return attributes;
    }
    ADD_FAILURE() << "no item";
    return {};
}

// Sets one attribute of the item for name.
void SetItemAttribute(const std::wstring& manifest, const std::wstring& name, const wchar_t* attribute,
                      const std::wstring& value)
{
    pugi::xml_document document;
    ASSERT_TRUE(document.load_file(manifest.c_str()));
    for (pugi::xml_node item : document.child(L"update").child(L"files").children()) {
        if (name == item.attribute(L"FileName").as_string())
            item.attribute(attribute).set_value(value.c_str());
    }
    ASSERT_TRUE(document.save_file(manifest.c_str(), L"  ", pugi::format_default, pugi::encoding_utf8));
}

class SmallDownloads : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(WriteTree(Old(), {{L"app.dll", kOldApp}, {L"same.txt", "same"}}));
        ASSERT_TRUE(WriteTree(New(), {{L"app.dll", NewApp()},
                                      {L"same.txt", "same"},
                                      {L"data\\added.dat", Compressible(100000, 2)},
                                      {L"noise.bin", Noise(50000)},
                                      {L"tiny.txt", "x"},
                                      {L"empty.txt", ""}}));
    }

    std::wstring Old() const { return m_root / L"old\\"; }
    std::wstring New() const { return m_root / L"new\\"; }
    std::wstring Out() const { return m_root / L"out\\"; }
    std::wstring Manifest() const { return Out() + L"update.xml"; }

    ToolResult Make(std::vector<std::wstring> more = {})
    {
        std::vector<std::wstring> arguments = {L"make", L"--old", Old(), L"--new", New(), L"--out", Out()};
        arguments.insert(arguments.end(), more.begin(), more.end());
        ToolResult result = RunMakeUpdate(arguments);
        EXPECT_TRUE(result.finished);
        EXPECT_EQ(0u, result.exitCode);
        return result;
    }

    CTestFolder m_root;
};

TEST_F(SmallDownloads, Make_PatchForAChangedFileCompressedForAnAddedOne)
{
    const ToolResult made = Make({L"--json"});
    const std::string appNew = NewApp();
    const TreeContents package = ReadTree(Out());
    std::vector<std::wstring> names;
    for (const auto& file : package)
        names.push_back(file.first);
    // Whole files all there; beside them a patch for the changed file, a
    // compressed file for the compressible added one; nothing where it would
    // not be smaller (noise, a byte, an empty file).
    const std::vector<std::wstring> expected = {L"app.dll", L"app.dll.zpatch", L"data\\added.dat",
                                                L"data\\added.dat.zst", L"empty.txt", L"noise.bin",
                                                L"tiny.txt", L"update.xml"};
    EXPECT_EQ(expected, names);
    const std::string patch = package.at(L"app.dll.zpatch");
    const std::string packed = package.at(L"data\\added.dat.zst");
    EXPECT_LT(patch.size(), 1000u);
    EXPECT_LT(packed.size(), 100000u / 3);

    // The manifest: the whole file's attributes as before, the small downloads after them.
    Attributes app = ItemAttributes(Manifest(), L"app.dll");
    EXPECT_EQ(std::to_wstring(appNew.size()), app[L"SizeByte"]);
    EXPECT_EQ(Wide(CryptoApiMd5(appNew)), app[L"MD5"]);
    EXPECT_EQ(L"app.dll.zpatch", app[L"PatchFile"]);
    EXPECT_EQ(std::to_wstring(patch.size()), app[L"PatchSizeByte"]);
    EXPECT_EQ(Wide(CryptoApiMd5(patch)), app[L"PatchMD5"]);
    EXPECT_EQ(std::to_wstring(kOldApp.size()), app[L"PatchBaseSizeByte"]);
    EXPECT_EQ(Wide(CryptoApiMd5(kOldApp)), app[L"PatchBaseMD5"]);
    EXPECT_EQ(0u, app.count(L"PackedFile"));
    Attributes added = ItemAttributes(Manifest(), L"data\\added.dat");
    EXPECT_EQ(L"data\\added.dat.zst", added[L"PackedFile"]);
    EXPECT_EQ(std::to_wstring(packed.size()), added[L"PackedSizeByte"]);
    EXPECT_EQ(Wide(CryptoApiMd5(packed)), added[L"PackedMD5"]);
    EXPECT_EQ(0u, added.count(L"PatchFile"));
    EXPECT_EQ(0u, ItemAttributes(Manifest(), L"noise.bin").count(L"PackedFile"));

    // The same in the JSON document, with the bytes each file costs to fetch.
    CJson document;
    std::string error;
    ASSERT_TRUE(ParseJson(made.outBytes, &document, &error)) << error;
    uint64_t wholeBytes = 0;
    for (const CJson& file : document[L"files"].elements) {
        wholeBytes += file[L"size"].Integer();
        EXPECT_FALSE(file.Has(L"full")) << "every whole file was written";
        if (file[L"name"].text == L"app.dll") {
            const CJson& p = file[L"patch"];
            EXPECT_EQ((std::vector<std::wstring>{L"name", L"size", L"md5", L"baseSize", L"baseMd5"}), p.MemberNames());
            EXPECT_EQ(L"app.dll.zpatch", p[L"name"].text);
            EXPECT_EQ(patch.size(), p[L"size"].Integer());
            EXPECT_EQ(app[L"PatchMD5"], p[L"md5"].text);
            EXPECT_EQ(kOldApp.size(), p[L"baseSize"].Integer());
            EXPECT_EQ(app[L"PatchBaseMD5"], p[L"baseMd5"].text);
        } else if (file[L"name"].text == L"data\\added.dat") {
            EXPECT_EQ(L"data\\added.dat.zst", file[L"packed"][L"name"].text);
            EXPECT_EQ(packed.size(), file[L"packed"][L"size"].Integer());
            EXPECT_EQ(added[L"PackedMD5"], file[L"packed"][L"md5"].text);
        } else {
            EXPECT_FALSE(file.Has(L"patch") || file.Has(L"packed")) << file[L"name"].text.c_str();
        }
    }
    const uint64_t downloadBytes = wholeBytes - appNew.size() - 100000 + patch.size() + packed.size();
    EXPECT_EQ(downloadBytes, document[L"totals"][L"downloadBytes"].Integer());
    EXPECT_EQ(wholeBytes - downloadBytes, document[L"totals"][L"savedBytes"].Integer());

    // Text: a line per small download, and the total saved.
    RemoveTree(Out());
    const ToolResult text = Make();
    const std::wstring patchLine = L"         patch app.dll.zpatch, " + std::to_wstring(patch.size()) + L" bytes, " +
                                   std::to_wstring(appNew.size() - patch.size()) + L" bytes saved";
    EXPECT_NE(text.out.end(), std::find(text.out.begin(), text.out.end(), patchLine));
    EXPECT_EQ(L"download: " + std::to_wstring(downloadBytes) + L" bytes with patches and compressed files, " +
                  std::to_wstring(wholeBytes - downloadBytes) + L" bytes saved",
              text.out.back());
}

TEST_F(SmallDownloads, NoFull_OnlySmallDownloadsAndVerifiesClean)
{
    const ToolResult made = Make({L"--no-full", L"--json"});
    const TreeContents package = ReadTree(Out());
    std::vector<std::wstring> names;
    for (const auto& file : package)
        names.push_back(file.first);
    // A small download stands in for every non-empty file, even where it is
    // not smaller; the empty file needs no download but keeps its whole (empty) one.
    const std::vector<std::wstring> expected = {L"app.dll.zpatch", L"data\\added.dat.zst", L"empty.txt",
                                                L"noise.bin.zst", L"tiny.txt.zst", L"update.xml"};
    EXPECT_EQ(expected, names);
    // The items still describe the new files, which the engine checks the result against.
    Attributes app = ItemAttributes(Manifest(), L"app.dll");
    EXPECT_EQ(std::to_wstring(NewApp().size()), app[L"SizeByte"]);
    EXPECT_EQ(Wide(CryptoApiMd5(NewApp())), app[L"MD5"]);
    CJson document;
    std::string error;
    ASSERT_TRUE(ParseJson(made.outBytes, &document, &error)) << error;
    for (const CJson& file : document[L"files"].elements)
        EXPECT_EQ(file[L"name"].text != L"empty.txt", file.Has(L"full")) << file[L"name"].text.c_str();

    for (const bool withBase : {false, true}) {
        SCOPED_TRACE(withBase ? "with --base" : "without a base");
        std::vector<std::wstring> arguments = {L"verify", Manifest()};
        if (withBase)
            arguments.insert(arguments.end(), {L"--base", Old()});
        const ToolResult verified = RunMakeUpdate(arguments);
        ASSERT_TRUE(verified.finished);
        EXPECT_EQ(0u, verified.exitCode);
        EXPECT_EQ(std::vector<std::wstring>(), verified.err);
        // The patch is applied only against a base; without one verify says so.
        const std::wstring note = L"patches checked by their own size and MD5 only: --base DIR applies them to "
                                  L"the version they are made from";
        EXPECT_EQ(!withBase, verified.out.end() != std::find(verified.out.begin(), verified.out.end(), note));
        EXPECT_EQ(L"5 downloads checked, 0 problems: " + Manifest(), verified.out[verified.out.size() - 2]);
    }
    // JSON: each small download rebuilt (the patch against the base).
    const ToolResult json = RunMakeUpdate({L"verify", Manifest(), L"--base", Old(), L"--json"});
    ASSERT_TRUE(ParseJson(json.outBytes, &document, &error)) << error;
    std::map<std::wstring, std::wstring> rebuilt;
    for (const CJson& file : document[L"files"].elements) {
        if (file.Has(L"for"))
            rebuilt[file[L"name"].text] = file[L"action"].text + (file[L"rebuilt"].boolean ? L" rebuilt" : L"");
    }
    const std::map<std::wstring, std::wstring> expectedRebuilt = {{L"app.dll.zpatch", L"patch rebuilt"},
                                                                  {L"data\\added.dat.zst", L"packed rebuilt"},
                                                                  {L"noise.bin.zst", L"packed rebuilt"},
                                                                  {L"tiny.txt.zst", L"packed rebuilt"}};
    EXPECT_EQ(expectedRebuilt, rebuilt);
    // A base folder that is not there is refused before anything is checked.
    const ToolResult noBase = RunMakeUpdate({L"verify", Manifest(), L"--base", m_root / L"absent"});
    ASSERT_TRUE(noBase.finished);
    EXPECT_EQ(2u, noBase.exitCode);
    EXPECT_EQ(std::vector<std::wstring>{L"base folder not found: " + (m_root / L"absent")}, noBase.err);
}

TEST_F(SmallDownloads, Verify_CatchesBrokenSmallDownloads)
{
    const std::string appNew = NewApp();
    const struct
    {
        const char* what;
        const wchar_t* file;   // in the package
        bool cut;              // cut short by 10 bytes, else 4 bytes flipped in its middle
        const wchar_t* item;   // whose manifest size and MD5 are made to match the broken file, or null
        bool withBase;
        bool wrongBase; // the base folder holds another version of the file
        const wchar_t* problem; // the start of verify's line
    } cases[] = {
        {"corrupted patch", L"app.dll.zpatch", false, nullptr, true, false, L"wrong MD5: "},
        // Its own digest updated: only applying it shows the damage.
        {"corrupted patch, digest matching", L"app.dll.zpatch", false, L"app.dll", true, false,
         L"does not rebuild app.dll (corrupt or not this file's data): "},
        {"truncated compressed file", L"data\\added.dat.zst", true, nullptr, false, false, L"wrong size: "},
        {"truncated compressed file, size and digest matching", L"data\\added.dat.zst", true, L"data\\added.dat",
         false, false, L"does not rebuild data\\added.dat (corrupt or not this file's data): "},
        {"patch against another version", nullptr, false, nullptr, true, true,
         L"patch not applied, its base is not the version it is made from: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RemoveTree(Out());
        Make({L"--no-full"});
        if (c.file != nullptr) {
            std::string bytes = ReadBytes(Out() + c.file).value();
            if (c.cut)
                bytes.resize(bytes.size() - 10);
            else
                for (size_t at = bytes.size() / 2; at < bytes.size() / 2 + 4; ++at)
                    bytes[at] = static_cast<char>(bytes[at] ^ 0xff);
            ASSERT_TRUE(WriteBytes(Out() + c.file, bytes));
            if (c.item != nullptr) {
                const bool patch = std::wstring(c.file).find(L".zpatch") != std::wstring::npos;
                SetItemAttribute(Manifest(), c.item, patch ? L"PatchSizeByte" : L"PackedSizeByte",
                                 std::to_wstring(bytes.size()));
                SetItemAttribute(Manifest(), c.item, patch ? L"PatchMD5" : L"PackedMD5", Wide(CryptoApiMd5(bytes)));
            }
        }
        CTestFolder base;
        ASSERT_TRUE(WriteTree(base.Path(), {{L"app.dll", c.wrongBase ? appNew : kOldApp}}));
        std::vector<std::wstring> arguments = {L"verify", Manifest()};
        if (c.withBase)
            arguments.insert(arguments.end(), {L"--base", base.Path()});
        const ToolResult verified = RunMakeUpdate(arguments);
        ASSERT_TRUE(verified.finished);
        EXPECT_EQ(3u, verified.exitCode);
        ASSERT_EQ(1u, verified.err.size());
        EXPECT_EQ(0u, verified.err[0].find(c.problem)) << verified.err[0].c_str();
    }
}

} // namespace
