// The update engine's object lifetime and the manifest loader: the run's
// settings, the checks that refuse an update that could only fail half-way,
// and the staging of every new file (UpdateStaging.h) once the run's changes
// are journaled.
#include "update/QXUpdate.h"

#include "update/BaseVersionCheck.h"
#include "update/ManifestFormat.h"
#include "update/UpdateMessages.h"
#include "update/UpdateRunLog.h"
#include "update/UpdateJournal.h"
#include "update/UpdateStaging.h"

#include "platform/FileHelpers.h"
#include "platform/Md5.h"
#include "platform/PathRules.h"
#include "update/UpdateLeftovers.h"
#include "platform/Handles.h"
#include "platform/TextConversion.h"

#include <easylogging++.h>
#include <pugixml.hpp>

#include <memory>
#include <set>
#include <vector>

CQXUpdate::CQXUpdate() : journalPath(DefaultJournalPath()) {}

CQXUpdate::~CQXUpdate()
{
    Reset();
}

void CQXUpdate::Reset()
{
    AbandonTransaction();
    files.clear();
    folders.clear();
    updateFolder.clear();
    targetFolder.clear();
    wideUpdateFolder.clear();
    wideTargetFolder.clear();
    wideAppToRun.clear();
    wideParams.clear();
    key.clear();
    appToRun.clear();
    params.clear();
    filesKey.clear();
    counts = CUpdateRunCounts();
    otherVersion = false;
    m_firstOfParse = 0;
    m_base = CBaseRecord();
}

namespace {

// Reads the manifest's XML; false, with an error line that says why, when it
// is missing, a folder, cannot be opened or is not well-formed.
bool OpenManifest(const std::wstring& path, pugi::xml_document* document)
{
    using namespace UpdateMessages;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = LastErrorOr(ERROR_FILE_NOT_FOUND);
        LOG(ERROR) << ToLogText(kManifestMissing + path + L": " + ReasonText(code)) << ToLogText(kCode) << code;
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        LOG(ERROR) << ToLogText(kManifestIsFolder + path);
        return false;
    }
    const pugi::xml_parse_result parsed = document->load_file(path.c_str());
    if (parsed)
        return true;
    if (parsed.status == pugi::status_file_not_found || parsed.status == pugi::status_io_error) {
        // The parser's own open says only that it failed: the system says why.
        CHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        const DWORD code = file ? static_cast<DWORD>(ERROR_READ_FAULT) : LastErrorOr(ERROR_OPEN_FAILED);
        LOG(ERROR) << ToLogText(kManifestUnreadable + path + L": " + ReasonText(code)) << ToLogText(kCode) << code;
        return false;
    }
    LOG(ERROR) << ToLogText(kManifestNotParsed + path + L": " + AnsiToWide(parsed.description()) + L", позиция ")
               << parsed.offset;
    return false;
}

// The manifest the run works on: its version, folders and items.
void LogManifest(const CQXUpdate& update, size_t first)
{
    size_t install = 0;
    size_t remove = 0;
    for (size_t i = first; i < update.files.size(); ++i) {
        install += update.files[i]->doUpdate ? 1 : 0;
        remove += update.files[i]->doRemove ? 1 : 0;
    }
    const size_t count = update.files.size() - first;
    LOG(INFO) << ToLogText(UpdateMessages::kManifestLoaded + VersionText(update.assignedVersion) +
                           L", папка загрузки " + update.UpdateFolderW() + L", папка приложения " +
                           update.TargetFolderW() + L", файлов " + std::to_wstring(count) + L" (установить " +
                           std::to_wstring(install) + L", удалить " + std::to_wstring(remove) + L", пропустить " +
                           std::to_wstring(count - install - remove) + L")");
}

} // namespace

namespace {

const char kEmptyMd5[] = "d41d8cd98f00b204e9800998ecf8427e";

// What differs between an item and its download, read again after the
// staging found a discrepancy (a failure costs one more read): the size, or
// the MD5 with both values.
// The MD5 of a whole file, read a block at a time; empty when it cannot be read.
std::string FileMd5(HANDLE file)
{
    std::vector<unsigned char> buffer(256 << 10);
    CMd5 md5;
    DWORD read = 0;
    for (;;) {
        if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr))
            return std::string();
        if (read == 0)
            return md5.FinishHex();
        md5.Update(buffer.data(), read);
    }
}

// For a file built from a small download: the download's own size or MD5
// against the manifest's, else that what it built is not the new file.
std::wstring SmallDownloadDetail(const CSmallDownload& download, const std::wstring& downloads)
{
    const std::wstring path = downloads + download.name;
    CHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.Get(), &size))
        return download.name + L": не удалось прочитать: " + ReasonText(GetLastError());
    if (download.size >= 0 && size.QuadPart != download.size)
        return download.name + L": размер " + std::to_wstring(size.QuadPart) + L" байт вместо " +
               std::to_wstring(download.size);
    if (IsMd5Digest(download.md5)) {
        const std::string found = FileMd5(file.Get());
        if (!SameMd5Digest(found, download.md5))
            return download.name + L": MD5 " + AnsiToWide(found) + L" вместо " + AnsiToWide(download.md5);
    }
    return download.name + UpdateMessages::kNotBuilt;
}

std::wstring DiscrepancyDetail(const CUpdateFileItem& item, const std::wstring& downloads)
{
    if (item.source == eFromPacked)
        return SmallDownloadDetail(item.packed, downloads);
    if (item.source == eFromPatch)
        return SmallDownloadDetail(item.patch, downloads);
    const std::wstring source = FindDownloadW(downloads, item.FileNameW(), item.TempFileNameW());
    if (source.empty())
        return L"MD5 " + AnsiToWide(kEmptyMd5) + L" вместо " + AnsiToWide(item.md5);
    CHandle file(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) {
        const DWORD code = GetLastError();
        return L"не удалось прочитать: " + ReasonText(code);
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.Get(), &size))
        return L"не удалось прочитать: " + ReasonText(GetLastError());
    if (size.QuadPart != item.sizeBytes)
        return L"размер " + std::to_wstring(size.QuadPart) + L" байт вместо " + std::to_wstring(item.sizeBytes);
    if (!IsMd5Digest(item.md5))
        return L"файл изменился или не прочитан целиком";
    return L"MD5 " + AnsiToWide(FileMd5(file.Get())) + L" вместо " + AnsiToWide(item.md5);
}

// The files of the run itself that no manifest may name: its journal and the
// list beside it, and the folders it makes in the application folder.
class COwnNames
{
public:
    COwnNames(const std::wstring& journalPath, const std::wstring& folder)
        : m_journal(ComparablePath(journalPath)), m_leftovers(ComparablePath(LeftoversPathFor(journalPath))),
          m_executable(ComparablePath(ModulePath())), m_runFolders(ComparablePath(folder + L"x"))
    {
        // Run folders are ".~qx" and eight digits, directly in the folder.
        m_runFolders = m_runFolders.substr(0, m_runFolders.size() - 1) + L".~QX";
    }

    // comparable: the item's ComparablePath.
    bool Names(const std::wstring& comparable, bool removal) const
    {
        // The list of leftovers is written whole under a name of its own first.
        if (comparable == m_journal || comparable == m_leftovers || comparable == m_leftovers + L".NEW")
            return true;
        // Replacing its own executable is an update of it; removing it is not.
        if (removal && comparable == m_executable)
            return true;
        return comparable.compare(0, m_runFolders.size(), m_runFolders) == 0;
    }

private:
    std::wstring m_journal;
    std::wstring m_leftovers;
    std::wstring m_executable;
    std::wstring m_runFolders;
};

// Why the installed file at path is not the one the item's patch was made
// against (its size, or when the size matches its MD5, with both values);
// empty when it is.
std::wstring PatchBaseMismatch(const CUpdateFileItem& item, const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return UpdateMessages::kPatchBaseMissing;
    const int64_t size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (size != item.patchBaseSize)
        return L"размер " + std::to_wstring(size) + L" байт вместо " + std::to_wstring(item.patchBaseSize);
    if (!IsMd5Digest(item.patchBaseMd5))
        return std::wstring();
    // Read with others' writers let in: the check only chooses; the staging
    // reads the file again, held against writers, and checks what it built.
    CHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file)
        return UpdateMessages::kPatchBaseUnread + ReasonText(GetLastError());
    const std::string found = FileMd5(file.Get());
    if (SameMd5Digest(found, item.patchBaseMd5))
        return std::wstring();
    return L"MD5 " + AnsiToWide(found) + L" вместо " + AnsiToWide(item.patchBaseMd5);
}

} // namespace

bool CQXUpdate::CheckItems(size_t first)
{
    using namespace UpdateMessages;
    bool ok = true;
    const auto refuse = [this, &ok](const wchar_t* reason, const std::wstring& name) {
        LOG(ERROR) << ToLogText(kRefused + std::wstring(reason) + name);
        ++counts.failed;
        ok = false;
    };
    const std::wstring downloads = UpdateFolderW();
    const std::wstring folder = TargetFolderW();
    const std::wstring root = FolderNamesLandIn(folder);
    const COwnNames own(journalPath, folder);
    // Downloads are found by plain concatenation: their folder is where a
    // name appended to the update folder lands. When it is missing it is
    // named once, as resolved, not once per download.
    const std::wstring downloadFolder = FolderNamesLandIn(downloads);
    const DWORD downloadAttributes = GetFileAttributesW(downloadFolder.c_str());
    const bool noDownloadFolder = downloadAttributes == INVALID_FILE_ATTRIBUTES ||
                                  (downloadAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    size_t notFound = 0;
    CPathChecker paths(true);
    std::set<std::wstring> names;
    uint64_t needed = 0;
    for (size_t i = first; i < files.size(); ++i) {
        CUpdateFileItem& item = *files[i];
        if (!item.doUpdate && !item.doRemove)
            continue;
        const std::wstring name = item.FileNameW();
        const std::wstring tempName = item.TempFileNameW();
        // The names of its downloads pass the rules of its own name: none
        // may lead out of the update folder or name a device.
        std::vector<std::wstring> downloadNames;
        if (item.doUpdate) {
            const std::wstring* const others[] = {&tempName, &item.packed.name, &item.patch.name};
            for (const std::wstring* other : others) {
                if (!other->empty())
                    downloadNames.push_back(*other);
            }
        }
        const auto anyName = [&name, &downloadNames](bool (*rule)(const std::wstring&)) {
            if (rule(name))
                return true;
            for (const std::wstring& other : downloadNames) {
                if (rule(other))
                    return true;
            }
            return false;
        };
        if (anyName([](const std::wstring& text) { return !StaysInside(text); })) {
            refuse(kRefusedOutside, name);
            continue;
        }
        // Opening a device name blocks, or reads and writes the device.
        if (anyName(&NamesDevice)) {
            refuse(kRefusedDevice, name);
            continue;
        }
        // Short and long names of one file are one name.
        const std::wstring comparable = ComparablePath(folder + name);
        if (own.Names(comparable, item.doRemove)) {
            refuse(kRefusedOwnName, name);
            continue;
        }
        if (!names.insert(comparable).second) {
            refuse(kRefusedTwice, name);
            continue;
        }
        // No change may reach outside the folder through a link in it. A file
        // or folder in the way fails the item at the swap, which says so.
        std::wstring where;
        if (paths.Check(root, LongPathOf(FullPathOf(folder + name)), &where) == ePathThroughLink) {
            refuse(kRefusedLink, name + L" (" + where + L")");
            continue;
        }
        if (!item.doUpdate)
            continue;
        if (item.sizeBytes >= 0 && (static_cast<uint64_t>(item.sizeBytes) >> 32) != 0) {
            refuse(kRefusedTooLarge, name);
            continue;
        }
        // The whole file when it is there; else the compressed file, else a
        // patch made against exactly the installed file.
        item.source = eFromWhole;
        if (FindDownloadW(downloads, name, tempName).empty()) {
            if (item.packed.Named() && FileExists(downloads + item.packed.name)) {
                item.source = eFromPacked;
            } else if (item.patch.Named() && FileExists(downloads + item.patch.name)) {
                const std::wstring mismatch = PatchBaseMismatch(item, folder + name);
                if (!mismatch.empty()) {
                    refuse(kRefusedPatchBase, name + L": " + mismatch);
                    continue;
                }
                item.source = eFromPatch;
            } else {
                if (item.sizeBytes != 0 && noDownloadFolder) {
                    ++notFound;
                    ++counts.failed;
                    ok = false;
                } else if (item.sizeBytes != 0) {
                    refuse(kRefusedNoDownload, name);
                } else if (IsMd5Digest(item.md5) && !SameMd5Digest(item.md5, kEmptyMd5)) {
                    // The digest names other content than the empty file.
                    item.downloadComplete = false;
                    LOG(ERROR) << ToLogText(kDiscrepancy + name + L": " + DiscrepancyDetail(item, downloads));
                    ++counts.failed;
                    ok = false;
                }
                continue;
            }
        }
        if (item.sizeBytes > 0)
            needed += static_cast<uint64_t>(item.sizeBytes);
    }
    // The manifest's folders pass the same rules as its files' names.
    for (const CUpdateFolderItem& folderItem : folders) {
        const std::wstring& name = folderItem.name;
        if (!StaysInside(name)) {
            refuse(kRefusedOutside, name);
            continue;
        }
        if (NamesDevice(name)) {
            refuse(kRefusedDevice, name);
            continue;
        }
        if (own.Names(ComparablePath(folder + name), folderItem.remove)) {
            refuse(kRefusedOwnName, name);
            continue;
        }
        std::wstring where;
        if (paths.Check(root, LongPathOf(FullPathOf(folder + name)), &where) == ePathThroughLink)
            refuse(kRefusedLink, name + L" (" + where + L")");
    }
    if (notFound > 0)
        LOG(ERROR) << ToLogText(kRefused + std::wstring(kRefusedNoDownloadFolder) + downloadFolder +
                                kFolderMissingCount + std::to_wstring(notFound));
    if (!ok)
        return false;
    // The new files are staged beside the old ones until the commit: the
    // volume must hold both, or the run would fail half-way (and every retry too).
    ULARGE_INTEGER available{};
    if (needed > 0 && GetDiskFreeSpaceExW(folder.empty() ? nullptr : folder.c_str(), &available, nullptr, nullptr) &&
        available.QuadPart < needed) {
        LOG(ERROR) << ToLogText(kRefused) << ToLogText(kRefusedNoSpace) << needed
                   << ToLogText(L" байт, свободно ") << available.QuadPart << ToLogText(L" байт: " + folder);
        return false;
    }
    return true;
}

bool CQXUpdate::ParseManifest(const std::wstring& path)
{
    using namespace ManifestNames;
    using namespace UpdateMessages;
    pugi::xml_document document;
    if (!OpenManifest(path, &document))
        return false;

    bool result = true;
    const pugi::xml_node update = document.child(kUpdate);
    const pugi::xml_node info = update.child(kInfo);
    if (!info) {
        LOG(ERROR) << ToLogText(kManifestLacks + std::wstring(kUpdate) + L"/" + kInfo + L": " + path);
        result = false;
    } else {
        updateFolder = ManifestText(info.attribute(kUpdateFolder));
        targetFolder = ManifestText(info.attribute(kTargetFolder));
        wideUpdateFolder = info.attribute(kUpdateFolder).as_string();
        wideTargetFolder = info.attribute(kTargetFolder).as_string();
        const std::string hexKey = ManifestText(info.attribute(kKey));
        std::vector<unsigned char> decoded(hexKey.size() / 2 + 1, 0);
        HexToBytes(hexKey, decoded.data());
        key = std::string(reinterpret_cast<const char*>(decoded.data()), hexKey.size() / 2);
    }
    // Absent attributes (and a missing info element) read as empty, 0 or false.
    xKey = static_cast<uint8_t>(info.attribute(kXKey).as_int() & 0xFF);
    assignedVersion.ParseWide(info.attribute(kAssignedVersion).as_string());
    forceUpdateDate = info.attribute(kForceUpdateDate).as_llong();
    performDbBackup = info.attribute(kPerformDbBackup).as_bool();
    restartQuoteBench = info.attribute(kRestartQuoteBench).as_bool();
    appToRun = ManifestText(info.attribute(kAppToRun));
    params = ManifestText(info.attribute(kParams));
    wideAppToRun = info.attribute(kAppToRun).as_string();
    wideParams = info.attribute(kParams).as_string();
    key = UnmaskKey(key, std::string(1, static_cast<char>(xKey)));

    const pugi::xml_node filesElement = update.child(kFiles);
    if (!filesElement) {
        LOG(ERROR) << ToLogText(kManifestLacks + std::wstring(kUpdate) + L"/" + kFiles + L": " + path);
        return false;
    }
    const int count = filesElement.attribute(kCount).as_int();
    filesKey = ManifestText(filesElement.attribute(kFilesKey));

    m_firstOfParse = files.size();
    for (const pugi::xml_node& element : ItemElements(filesElement, count)) {
        auto item = std::make_unique<CUpdateFileItem>();
        item->fileName = ManifestText(element.attribute(kFileName));
        item->tempFileName = ManifestText(element.attribute(kTempFileName));
        item->wideFileName = element.attribute(kFileName).as_string();
        item->wideTempFileName = element.attribute(kTempFileName).as_string();
        item->md5 = ManifestText(element.attribute(kMd5));
        item->attributes = element.attribute(kAttr).as_uint();
        item->sizeBytes = element.attribute(kSizeByte).as_llong();
        item->modified = element.attribute(kModified).as_llong();
        item->downloadComplete = element.attribute(kDownloadComplete).as_bool();
        item->doUpdate = element.attribute(kIsUpdate).as_bool();
        item->doRemove = !item->doUpdate && element.attribute(kIsRemove).as_bool();
        item->packed = CSmallDownload{element.attribute(kPackedFile).as_string(),
                                      element.attribute(kPackedSizeByte).as_llong(-1),
                                      ManifestText(element.attribute(kPackedMd5))};
        item->patch = CSmallDownload{element.attribute(kPatchFile).as_string(),
                                     element.attribute(kPatchSizeByte).as_llong(-1),
                                     ManifestText(element.attribute(kPatchMd5))};
        item->patchBaseSize = element.attribute(kPatchBaseSizeByte).as_llong(-1);
        item->patchBaseMd5 = ManifestText(element.attribute(kPatchBaseMd5));
        files.push_back(std::move(item));
    }

    for (const pugi::xml_node& element : update.child(kFolders).children(kFolder))
        folders.push_back(CUpdateFolderItem{element.attribute(kFolderName).as_string(),
                                            element.attribute(kIsRemove).as_bool()});

    m_base = ReadBaseRecord(update);
    if (info)
        LogManifest(*this, m_firstOfParse);
    return result;
}

bool CQXUpdate::CheckManifest()
{
    using namespace UpdateMessages;
    // An update that could only fail half-way is refused before anything is touched.
    if (!CheckItems(m_firstOfParse))
        return false;
    // An installation that is not the version the update was made from
    // would become a mix of two versions.
    if (!m_base.present)
        return true;
    const size_t differing = CheckBaseVersion(TargetFolderW(), m_base);
    if (differing == 0)
        return true;
    LOG(ERROR) << ToLogText(kRefused + std::wstring(kRefusedOtherVersion) +
                            (m_base.version.empty() ? std::wstring(L"не указана") : m_base.version) +
                            L", не совпадает файлов: " + std::to_wstring(differing));
    ++counts.failed;
    otherVersion = true;
    return false;
}

bool CQXUpdate::BeginTransaction()
{
    return m_transaction.Begin(journalPath, TargetFolderW(), UpdateFolderW(), files, folders);
}

bool CQXUpdate::StageFiles()
{
    using namespace UpdateMessages;
    // Content is staged in the application folder once the run's changes
    // are planned and journaled; a run whose journal cannot be written
    // stages nothing.
    if (!BeginTransaction())
        return false;
    bool result = true;
    std::vector<CContentJob> jobs;
    for (size_t i = m_firstOfParse; i < files.size(); ++i) {
        const std::wstring stagedPath = m_transaction.StagedPath(i);
        if (files[i]->doUpdate && !stagedPath.empty())
            jobs.push_back({files[i].get(), stagedPath, eStaged, 0, 0});
    }
    uint64_t stagedBytes = 0;
    for (const CContentJob& job : jobs)
        stagedBytes += static_cast<uint64_t>(job.item->sizeBytes);
    if (!jobs.empty())
        LOG(INFO) << ToLogText(kStaging) << ToLogText(L"файлов ") << jobs.size() << ToLogText(L", байт ")
                  << stagedBytes;
    const ULONGLONG stagingStart = GetTickCount64();
    StageDownloads(jobs, UpdateFolderW(), TargetFolderW());

    // Logged here, in the items' order, whichever thread loaded them. A
    // volume that runs full fails every file after the first for the same
    // reason: that is one line and a count, not one line per file.
    size_t staged = 0;
    DWORD notStagedCode = 0;
    size_t notStagedMore = 0;
    for (const CContentJob& job : jobs) {
        if (job.result == eStaged) {
            ++staged;
            continue;
        }
        result = false;
        ++counts.failed;
        if (job.result == eNotStaged) {
            if (notStagedCode != 0 && job.code == notStagedCode) {
                ++notStagedMore;
                continue;
            }
            if (notStagedCode == 0)
                notStagedCode = job.code;
            LOG(ERROR) << ToLogText(kRefused) << ToLogText(kRefusedNotStaged) << ToLogText(job.item->FileNameW())
                       << ToLogText(kCode) << job.code;
            continue;
        }
        job.item->downloadComplete = false;
        LOG(ERROR) << ToLogText(kDiscrepancy + job.item->FileNameW() + L": " +
                                DiscrepancyDetail(*job.item, UpdateFolderW()));
    }
    if (notStagedMore > 0)
        LOG(ERROR) << ToLogText(kNotStagedMore) << notStagedMore << ToLogText(kCode) << notStagedCode;
    if (!jobs.empty())
        LOG(INFO) << ToLogText(kStaged) << staged << ToLogText(L" из ") << jobs.size() << ToLogText(L" за ")
                  << GetTickCount64() - stagingStart << ToLogText(L" мс");
    if (result)
        m_transaction.LinkBackupsAhead();
    // A run that will not replace anything leaves nothing staged behind: its
    // staged files and journal go when the object is reset or destroyed.
    return result;
}

bool CQXUpdate::LoadUpdateInfoFromXmlFile(const std::wstring& path)
{
    return ParseManifest(path) && CheckManifest() && StageFiles();
}

bool CQXUpdate::UpdateAppFiles()
{
    // A manifest without changes begins its (empty) transaction here.
    return BeginTransaction() && m_transaction.Swap(finishAfterStart);
}

std::string UnmaskKey(const std::string& data, const std::string& mask)
{
    if (data.empty() || mask.empty())
        return data;
    std::string result = data;
    unsigned rotation = 7;
    size_t maskIndex = 0;
    for (char& value : result) {
        const unsigned byte =
            static_cast<unsigned char>(~(static_cast<unsigned char>(value) ^ static_cast<unsigned char>(mask[maskIndex])));
        value = static_cast<char>(((byte << rotation) | (byte >> (8 - rotation))) & 0xFF);
        rotation = rotation == 1 ? 7 : rotation - 1;
        if (++maskIndex == mask.size())
            maskIndex = 0;
    }
    return result;
}
