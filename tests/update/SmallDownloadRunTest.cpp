// Small downloads through the real executable: a new file built from a patch
// against the installed version or from its compressed whole, when the whole
// file is not in the download folder. Whatever is wrong with them (the
// installed file changed, a patch for another version, a corrupted patch, a
// compressed file cut short) refuses the update at its load: nothing in the
// application folder changes, and one line says why.
#include "update/EngineMessages.h"
#include "update/ManifestText.h"
#include "update/UpdateMessages.h"

#include "platform/FilePatchMaker.h"
#include "platform/Md5.h"

#include "support/UpdateRunFolder.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using namespace EngineMessages;
using namespace ManifestText;

namespace {

std::string Md5Of(const std::string& bytes)
{
    CMd5 md5;
    EXPECT_TRUE(md5.Update(bytes.data(), bytes.size()));
    return md5.FinishHex();
}

std::wstring Wide(const std::string& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

// A file that looks like code: mostly repeated structure, so that a patch is
// small, and a version of it with a few bytes changed and a few inserted.
std::string Version(unsigned version, size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 2654435761u >> 13) ^ (i / 4096));
    for (unsigned v = 1; v <= version; ++v) {
        bytes[size / (v + 2)] ^= 0x5A;
        bytes.insert(size / (v + 3), "version " + std::to_string(v));
    }
    return bytes;
}

// What the download folder holds for the item a.dll.
enum class Downloads
{
    kPatch,       // a.dll.zpatch only
    kPacked,      // a.dll.zst only
    kWholeBeside, // a.dll and a.dll.zpatch
};

// How the case spoils things before the run.
enum class Spoil
{
    kNothing,
    kInstalledChanged,   // the installed a.dll has a byte changed (same size)
    kPatchCorrupted,     // the patch has a byte changed (same size)
    kPackedCutShort,     // the compressed file lacks its last bytes
    kPatchOtherVersion,  // the patch was made against another version of a.dll
};

struct SmallCase
{
    const char* name;
    Downloads downloads;
    Spoil spoil;
    bool installs;
};

const SmallCase kSmallCases[] = {
    {"PatchOnly_Installed", Downloads::kPatch, Spoil::kNothing, true},
    {"PackedOnly_Installed", Downloads::kPacked, Spoil::kNothing, true},
    // The whole file wins over a patch that no longer fits the installed file.
    {"WholeBesideAPatchForAnotherBase_InstalledFromTheWhole", Downloads::kWholeBeside, Spoil::kInstalledChanged, true},
    {"InstalledChangedLocally_OnlyAPatch_Refused", Downloads::kPatch, Spoil::kInstalledChanged, false},
    {"PatchCorrupted_Refused", Downloads::kPatch, Spoil::kPatchCorrupted, false},
    {"PackedCutShort_Refused", Downloads::kPacked, Spoil::kPackedCutShort, false},
    {"PatchForAnotherVersion_Refused", Downloads::kPatch, Spoil::kPatchOtherVersion, false},
};

void PrintTo(const SmallCase& c, std::ostream* out)
{
    *out << c.name;
}

class SmallDownloadRun : public testing::TestWithParam<SmallCase>
{
};

std::string CaseName(const testing::TestParamInfo<SmallCase>& info)
{
    return info.param.name;
}

// Writes a small download made by the platform's maker from old (empty: a
// compressed file) and new contents; returns its bytes.
std::string MakeDownload(const std::wstring& folder, const std::string& oldBytes, const std::string& newBytes,
                         const std::wstring& outPath)
{
    const std::wstring oldPath = folder + L"maker-old.bin";
    const std::wstring newPath = folder + L"maker-new.bin";
    EXPECT_TRUE(WriteBytes(oldPath, oldBytes));
    EXPECT_TRUE(WriteBytes(newPath, newBytes));
    CPackedOutput written;
    std::wstring failed;
    const bool made = oldBytes.empty() ? WritePackedFile(newPath, outPath, &written, &failed)
                                       : WritePatchFile(oldPath, newPath, outPath, &written, &failed);
    EXPECT_TRUE(made) << Cp1251(failed) << " " << GetLastError();
    DeleteFileW(oldPath.c_str());
    DeleteFileW(newPath.c_str());
    return ReadBytes(outPath).value_or("");
}

} // namespace

TEST_P(SmallDownloadRun, BuiltFromWhatIsThere_OrRefusedNothingTouched)
{
    const SmallCase& c = GetParam();
    CUpdateRunFolder run;
    CTestFolder scratch;
    const std::wstring app = run.TargetFolder();
    const std::wstring upd = run.UpdateFolder();
    const std::string oldBytes = Version(1, 300 << 10);
    const std::string newBytes = Version(2, 300 << 10);
    ASSERT_TRUE(WriteBytes(app + L"a.dll", oldBytes));
    ASSERT_TRUE(WriteBytes(app + L"keep.txt", "the application's own"));

    const std::string patchBase = c.spoil == Spoil::kPatchOtherVersion ? Version(0, 300 << 10) : oldBytes;
    std::string patch = MakeDownload(scratch.Path(), patchBase, newBytes, upd + L"a.dll.zpatch");
    std::string packed = MakeDownload(scratch.Path(), "", newBytes, upd + L"a.dll.zst");
    ASSERT_FALSE(patch.empty());
    ASSERT_FALSE(packed.empty());
    // The manifest describes the downloads as they were made.
    XmlAttributes attributes = {{L"FileName", L"a.dll"},
                                {L"MD5", Wide(Md5Of(newBytes))},
                                {L"Attr", L"32"},
                                {L"SizeByte", std::to_wstring(newBytes.size())},
                                {L"Modified", L"1500000000"},
                                {L"isDownloadCopmplete", L"1"},
                                {L"isUpdate", L"1"},
                                {L"PatchFile", L"a.dll.zpatch"},
                                {L"PatchSizeByte", std::to_wstring(patch.size())},
                                {L"PatchMD5", Wide(Md5Of(patch))},
                                {L"PatchBaseSizeByte", std::to_wstring(patchBase.size())},
                                {L"PatchBaseMD5", Wide(Md5Of(patchBase))},
                                {L"PackedFile", L"a.dll.zst"},
                                {L"PackedSizeByte", std::to_wstring(packed.size())},
                                {L"PackedMD5", Wide(Md5Of(packed))}};
    ASSERT_TRUE(WriteManifest(run.ManifestPath(),
                              InfoElement(upd, app) + FilesElement(XmlElement(L"I0", attributes), 1)));

    switch (c.downloads) {
    case Downloads::kPatch:
        ASSERT_TRUE(DeleteFileW((upd + L"a.dll.zst").c_str()));
        break;
    case Downloads::kPacked:
        ASSERT_TRUE(DeleteFileW((upd + L"a.dll.zpatch").c_str()));
        break;
    case Downloads::kWholeBeside:
        ASSERT_TRUE(DeleteFileW((upd + L"a.dll.zst").c_str()));
        ASSERT_TRUE(WriteBytes(upd + L"a.dll", newBytes));
        break;
    }
    std::string installed = oldBytes;
    switch (c.spoil) {
    case Spoil::kInstalledChanged:
        installed[1000] ^= 1;
        ASSERT_TRUE(WriteBytes(app + L"a.dll", installed));
        break;
    case Spoil::kPatchCorrupted:
        patch[patch.size() / 2] ^= 1;
        ASSERT_TRUE(WriteBytes(upd + L"a.dll.zpatch", patch));
        break;
    case Spoil::kPackedCutShort:
        packed.resize(packed.size() - 7);
        ASSERT_TRUE(WriteBytes(upd + L"a.dll.zst", packed));
        break;
    case Spoil::kNothing:
    case Spoil::kPatchOtherVersion:
        break;
    }
    const std::map<std::wstring, std::string> before = FolderContents(app);

    ASSERT_TRUE(run.Run(run.ManifestPath(), 180000));
    if (c.installs) {
        std::map<std::wstring, std::string> expected = before;
        expected[L"a.dll"] = newBytes;
        EXPECT_TRUE(expected == FolderContents(app)) << run.LogText();
        EXPECT_GE(run.FindLine("INFO", std::wstring(UpdateMessages::kReplaced) + app + L"a.dll"), 0) << run.LogText();
        return;
    }
    EXPECT_TRUE(before == FolderContents(app)) << "the application folder changed\n" << run.LogText();
    EXPECT_FALSE(PathExists(run.Root(L"bin\\QXUpdate.journal")));
    EXPECT_LT(run.FindLine("INFO", kUpdating + upd + L"a.dll"), 0) << run.LogText();
    // One line says why, with what differs.
    std::wstring why;
    switch (c.spoil) {
    case Spoil::kInstalledChanged:
        why = kRefused + std::wstring(UpdateMessages::kRefusedPatchBase) + L"a.dll: MD5 " + Wide(Md5Of(installed)) +
              L" вместо " + Wide(Md5Of(oldBytes));
        break;
    case Spoil::kPatchOtherVersion:
        why = kRefused + std::wstring(UpdateMessages::kRefusedPatchBase) + L"a.dll: размер " +
              std::to_wstring(oldBytes.size()) + L" байт вместо " + std::to_wstring(patchBase.size());
        break;
    case Spoil::kPatchCorrupted:
        why = kDiscrepancy + std::wstring(L"a.dll: a.dll.zpatch: MD5 ") + Wide(Md5Of(patch)) + L" вместо " +
              attributes[9].second;
        break;
    case Spoil::kPackedCutShort:
        why = kDiscrepancy + std::wstring(L"a.dll: a.dll.zst: размер ") + std::to_wstring(packed.size()) +
              L" байт вместо " + std::to_wstring(packed.size() + 7);
        break;
    case Spoil::kNothing:
        break;
    }
    EXPECT_GE(run.FindLine("ERROR", why), 0) << Cp1251(why) << "\n" << run.LogText();
}

INSTANTIATE_TEST_SUITE_P(EveryKindOfDownload, SmallDownloadRun, testing::ValuesIn(kSmallCases), CaseName);
