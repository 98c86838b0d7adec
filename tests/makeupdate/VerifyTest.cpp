// QXMakeUpdate.exe verify: every broken download named, exit codes.
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
    EXPECT_EQ(std::vector<std::wstring>{L"4 downloads checked, 0 problems: " + manifest}, result.out);

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
    EXPECT_EQ(std::vector<std::wstring>{L"4 downloads checked, 3 problems: " + manifest}, result.out);
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
    EXPECT_EQ(std::vector<std::wstring>{L"3 downloads checked, 1 problem: " + manifest}, result.out);

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
    ASSERT_TRUE(CreateDirectoryW((root / L"folder.xml").c_str(), nullptr));
    const struct
    {
        const wchar_t* name;
        std::wstring line; // the start of the one line on standard error
    } cases[] = {
        {L"missing.xml", L"cannot read the manifest " + root.Path() + L"missing.xml: "},
        {L"folder.xml", L"cannot read the manifest " + root.Path() + L"folder.xml: "},
        {L"broken.xml", L"cannot read the manifest " + root.Path() + L"broken.xml: "},
        {L"no-files.xml", L"not an update manifest (no files element): " + root.Path() + L"no-files.xml"},
        {L"no-info.xml", L"not an update manifest (no info element): " + root.Path() + L"no-info.xml"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ToolResult result = RunMakeUpdate({L"verify", root / c.name});
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(2u, result.exitCode);
        ASSERT_EQ(1u, result.err.size());
        EXPECT_EQ(c.line, result.err[0].substr(0, c.line.size()));
        EXPECT_EQ(std::vector<std::wstring>(), result.out);
    }
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
