// A download of the right size whose MD5 differs from the manifest's is
// refused by the real executable on every way a download is staged: alone
// (larger than the files staged side by side) and side by side with others
// whose digests are taken together. The same update with the right bytes then
// installs, so the refusal came from the digest and nothing else.
#include "update/EngineMessages.h"
#include "update/ManifestText.h"

#include "platform/Md5.h"

#include "support/UpdateRunFolder.h"

#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

using namespace EngineMessages;
using namespace ManifestText;

namespace {

// The largest file staged side by side with others; one byte more is staged alone.
constexpr size_t kSideBySideMaxBytes = 32 << 20;

std::string Pattern(size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131 + seed * 7919) >> 3);
    return bytes;
}

std::string Md5Of(const std::string& bytes)
{
    CMd5 md5;
    EXPECT_TRUE(md5.Update(bytes.data(), bytes.size()));
    return md5.FinishHex();
}

struct DigestCase
{
    const char* path;
    std::vector<size_t> sizes; // one item each, f0.bin, f1.bin, ...
    size_t corrupted;          // the item whose download has other bytes of the same size
};

const DigestCase kDigestCases[] = {
    // Staged alone, with a small file staged beside it by the other worker.
    {"StagedAlone_JustAboveTheSideBySideLimit", {kSideBySideMaxBytes + 1, 100}, 0},
    // Staged four at a time, the digests taken together: the wrong one is in
    // the middle of a full set, with a larger and a smaller neighbour.
    {"SideBySide_OneOfFour", {4000, 70000, 5, 300 << 10}, 2},
    {"SideBySide_AtTheLimit", {kSideBySideMaxBytes, 64, 65}, 0},
};

void PrintTo(const DigestCase& c, std::ostream* out)
{
    *out << c.path;
}

// Names and sizes of a folder's contents, for a failure message of a readable length.
std::string Sizes(const std::map<std::wstring, std::string>& contents)
{
    std::string text;
    for (const auto& file : contents)
        text += Cp1251(file.first) + " " + std::to_string(file.second.size()) + " bytes; ";
    return text;
}

class DigestRun : public testing::TestWithParam<DigestCase>
{
};

std::string CaseName(const testing::TestParamInfo<DigestCase>& info)
{
    return info.param.path;
}

} // namespace

TEST_P(DigestRun, WrongDigestOfTheRightSize_RefusedNothingTouched_RightBytesThenInstalled)
{
    const DigestCase& c = GetParam();
    CUpdateRunFolder run;
    const std::wstring app = run.TargetFolder();
    std::map<std::wstring, std::string> oldVersion, newVersion;
    std::wstring items;
    for (size_t i = 0; i < c.sizes.size(); ++i) {
        const std::wstring name = L"f" + std::to_wstring(i) + L".bin";
        oldVersion[name] = "old " + std::to_string(i);
        newVersion[name] = Pattern(c.sizes[i], static_cast<unsigned>(i));
        ASSERT_TRUE(WriteBytes(app + name, oldVersion[name]));
        std::string download = newVersion[name];
        if (i == c.corrupted)
            download[download.size() / 2] ^= 1;
        ASSERT_TRUE(WriteBytes(run.UpdateFolder() + name, download));
        const std::string digest = Md5Of(newVersion[name]);
        items += ItemElement(static_cast<int>(i), name, c.sizes[i], L"1", L"1500000000", L"",
                             std::wstring(digest.begin(), digest.end()));
    }
    ASSERT_TRUE(WriteManifest(run.ManifestPath(), InfoElement(run.UpdateFolder(), app) +
                                                      FilesElement(items, static_cast<int>(c.sizes.size()))));

    ASSERT_TRUE(run.Run(run.ManifestPath(), 180000));
    const std::wstring corrupted = L"f" + std::to_wstring(c.corrupted) + L".bin";
    const std::map<std::wstring, std::string> afterRefusal = FolderContents(app);
    EXPECT_TRUE(oldVersion == afterRefusal) << "an application file changed, or the run left something: "
                                            << Sizes(afterRefusal);
    // What differs, with both digests.
    std::string corruptedBytes = newVersion[corrupted];
    corruptedBytes[corruptedBytes.size() / 2] ^= 1;
    const std::string found = Md5Of(corruptedBytes);
    const std::string wanted = Md5Of(newVersion[corrupted]);
    EXPECT_GE(run.FindLine("ERROR", kDiscrepancy + corrupted + L": MD5 " + std::wstring(found.begin(), found.end()) +
                                        L" вместо " + std::wstring(wanted.begin(), wanted.end())),
              0)
        << run.LogText();
    for (const auto& file : newVersion) {
        if (file.first != corrupted) {
            EXPECT_EQ(std::string::npos, run.LogText().find(Cp1251(kDiscrepancy + file.first + L":"))) << run.LogText();
        }
        EXPECT_LT(run.FindLine("INFO", kUpdating + run.UpdateFolder() + file.first), 0) << run.LogText();
    }
    EXPECT_FALSE(PathExists(run.Root(L"bin\\QXUpdate.journal")));

    ASSERT_TRUE(WriteBytes(run.UpdateFolder() + corrupted, newVersion[corrupted]));
    ASSERT_TRUE(run.Run(run.ManifestPath(), 180000));
    const std::map<std::wstring, std::string> afterInstall = FolderContents(app);
    EXPECT_TRUE(newVersion == afterInstall) << Sizes(afterInstall) << "\n" << run.LogText();
}

INSTANTIATE_TEST_SUITE_P(EveryStagingPath, DigestRun, testing::ValuesIn(kDigestCases), CaseName);
