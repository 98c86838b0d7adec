#include "makeupdate/UpdateMaker.h"

#include "makeupdate/Console.h"
#include "makeupdate/FileContent.h"
#include "makeupdate/FileTree.h"
#include "makeupdate/JsonWriter.h"
#include "makeupdate/Progress.h"

#include "update/ManifestFormat.h"

#include "platform/FileHelpers.h"
#include "platform/FilePatchMaker.h"
#include "platform/FileWriter.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cwctype>

namespace {

const wchar_t kManifestName[] = L"update.xml";
// The manifest is written under this name first and then renamed, so that a
// reader never sees half of it.
const wchar_t kManifestTempName[] = L"update.xml.tmp";

class CStringWriter : public pugi::xml_writer
{
public:
    void write(const void* data, size_t size) override { bytes.append(static_cast<const char*>(data), size); }
    std::string bytes;
};

// Beside the whole file's name: a patch against the old version, and the
// new file compressed.
const wchar_t kPatchExtension[] = L".zpatch";
const wchar_t kPackedExtension[] = L".zst";

std::wstring Upper(std::wstring text)
{
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

// The path without its trailing backslash, but for a drive's root ("C:\"),
// which without it would name the drive's current folder.
std::wstring WithoutTrailingBackslash(const std::wstring& path)
{
    if (path.size() <= 3 || path.back() != L'\\')
        return path;
    return path.substr(0, path.size() - 1);
}

} // namespace

bool IsFullPath(const std::wstring& path)
{
    auto isSeparator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    if (path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1]))
        return true;
    return path.size() >= 3 && ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
           path[1] == L':' && isSeparator(path[2]);
}

uint64_t CUpdateMaker::CItem::DownloadBytes() const
{
    uint64_t bytes = full ? size : UINT64_MAX;
    if (patch)
        bytes = std::min(bytes, patch->size);
    if (packed)
        bytes = std::min(bytes, packed->size);
    return bytes == UINT64_MAX ? size : bytes;
}

const wchar_t* CUpdateMaker::ChangeName(eChange change)
{
    switch (change) {
    case eAdded:
        return L"added";
    case eChanged:
        return L"changed";
    default:
        return L"removed";
    }
}

int CUpdateMaker::Run()
{
    CProgress progress;
    bool done = CheckFolders() && CompareTrees(progress);
    if (done && !m_options.dryRun && (!WriteDownloads(progress) || !WriteManifest())) {
        RemoveWritten();
        done = false;
    }
    if (!done) {
        if (m_options.json)
            PrintOut(JsonErrorDocument(L"make", m_error, eExitUnusable));
        return eExitUnusable;
    }
    if (m_options.json)
        PrintJson();
    else
        PrintText();
    // Last, where a publisher sees them, and also beside the JSON document.
    for (const std::wstring& warning : Warnings())
        PrintError(L"warning: " + warning);
    return eExitDone;
}

bool CUpdateMaker::Unusable(const std::wstring& line)
{
    m_error = OneLine(line);
    PrintError(m_error);
    return false;
}

std::vector<std::wstring> CUpdateMaker::Warnings() const
{
    const struct
    {
        const wchar_t* option;
        const std::optional<std::wstring>& value;
        const std::wstring& fallback;
        const wchar_t* role;
    } folders[] = {
        {L"--target-folder", m_options.targetFolder, m_old, L"the application folder"},
        {L"--update-folder", m_options.updateFolder, m_out, L"the folder of the downloads"},
    };
    std::vector<std::wstring> warnings;
    for (const auto& folder : folders) {
        if (!folder.value) {
            warnings.push_back(std::wstring(L"no ") + folder.option + L": the manifest names this machine's " +
                               folder.fallback + L" as " + folder.role +
                               L"; give the customer's full path");
        } else if (!IsFullPath(*folder.value)) {
            warnings.push_back(std::wstring(folder.option) + L" is not a full path: " + *folder.value +
                               L"; the engine takes it from the folder it runs in; give the customer's full path");
        }
    }
    return warnings;
}

void CUpdateMaker::PrintText() const
{
    uint64_t downloadBytes = 0;
    bool smallDownloads = false;
    uint64_t installBytes = 0;
    uint64_t removeBytes = 0;
    size_t removals = 0;
    for (const CItem& item : m_items) {
        std::wstring line;
        switch (item.change) {
        case eAdded:
            line = L"added:   " + item.relativePath + L", " + Count(item.size, L"byte");
            installBytes += item.size;
            break;
        case eChanged:
            line = L"changed: " + item.relativePath + L", " + Count(item.size, L"byte") + L" (was " +
                   Count(item.oldSize, L"byte") + L")";
            installBytes += item.size;
            break;
        case eRemoved:
            line = L"removed: " + item.relativePath + L", " + Count(item.oldSize, L"byte");
            removeBytes += item.oldSize;
            ++removals;
            break;
        }
        PrintOut(line);
        if (item.patch)
            PrintOut(L"         patch " + item.patch->name + L", " + Count(item.patch->size, L"byte") + L", " +
                     Count(item.size - std::min(item.size, item.patch->size), L"byte") + L" saved");
        if (item.packed)
            PrintOut(L"         compressed " + item.packed->name + L", " + Count(item.packed->size, L"byte") + L", " +
                     Count(item.size - std::min(item.size, item.packed->size), L"byte") + L" saved");
        if (item.change != eRemoved && !item.full && item.size > 0)
            PrintOut(L"         no whole file (--no-full)");
        downloadBytes += item.change == eRemoved ? 0 : item.DownloadBytes();
        smallDownloads = smallDownloads || item.patch || item.packed;
    }
    for (const std::wstring& relative : m_notRemoved)
        PrintError(L"not removed by the update: " + m_old + relative);
    const std::wstring lists = Count(m_items.size(), L"file") + L": " + m_out + kManifestName;
    if (m_options.dryRun)
        PrintOut(std::wstring(L"dry run, nothing written: ") + kManifestName + L" would list " + lists);
    else
        PrintOut(std::wstring(kManifestName) + L" lists " + lists);
    PrintOut(L"total: " + Count(m_items.size() - removals, L"file") + L" to install, " +
             Count(installBytes, L"byte") + L"; " + Count(removals, L"file") + L" to remove, " +
             Count(removeBytes, L"byte"));
    // Only when a patch or compressed file was written: otherwise nothing is saved.
    if (downloadBytes != installBytes || smallDownloads)
        PrintOut(L"download: " + Count(downloadBytes, L"byte") + L" with patches and compressed files, " +
                 Count(installBytes - std::min(installBytes, downloadBytes), L"byte") + L" saved");
}

void CUpdateMaker::PrintJson() const
{
    CJsonWriter json;
    json.BeginObject();
    json.Key(L"command");
    json.String(L"make");
    json.Key(L"dryRun");
    json.Bool(m_options.dryRun);
    json.Key(L"manifest");
    json.String(m_out + kManifestName);
    json.Key(L"info");
    json.BeginObject();
    for (const auto& attribute : InfoAttributes()) {
        json.Key(attribute.first);
        json.String(attribute.second);
    }
    json.EndObject();

    uint64_t installBytes = 0;
    uint64_t removeBytes = 0;
    uint64_t downloadBytes = 0;
    size_t removals = 0;
    json.Key(L"files");
    json.BeginArray();
    for (const CItem& item : m_items) {
        json.BeginObject();
        json.Key(L"name");
        json.String(item.relativePath);
        json.Key(L"change");
        json.String(ChangeName(item.change));
        if (item.change != eRemoved) {
            json.Key(L"size");
            json.Number(item.size);
            installBytes += item.size;
        } else {
            removeBytes += item.oldSize;
            ++removals;
        }
        if (item.change != eAdded) {
            json.Key(L"oldSize");
            json.Number(item.oldSize);
        }
        if (!item.md5.empty()) {
            json.Key(L"md5");
            json.String(std::wstring(item.md5.begin(), item.md5.end()));
        }
        if (item.change != eRemoved) {
            downloadBytes += item.DownloadBytes();
            // Only a file whose whole is not among the downloads (--no-full) says so.
            if (!item.full) {
                json.Key(L"full");
                json.Bool(false);
            }
        }
        // A small download's own name, size and digest.
        const auto download = [&json](const CSmallDownload& small) {
            json.Key(L"name");
            json.String(small.name);
            json.Key(L"size");
            json.Number(small.size);
            json.Key(L"md5");
            json.String(std::wstring(small.md5.begin(), small.md5.end()));
        };
        if (item.patch) {
            json.Key(L"patch");
            json.BeginObject();
            download(*item.patch);
            json.Key(L"baseSize");
            json.Number(item.oldSize);
            json.Key(L"baseMd5");
            json.String(std::wstring(item.baseMd5.begin(), item.baseMd5.end()));
            json.EndObject();
        }
        if (item.packed) {
            json.Key(L"packed");
            json.BeginObject();
            download(*item.packed);
            json.EndObject();
        }
        json.EndObject();
    }
    json.EndArray();
    json.Key(L"notRemoved");
    json.BeginArray();
    for (const std::wstring& relative : m_notRemoved)
        json.String(relative);
    json.EndArray();
    json.Key(L"warnings");
    json.BeginArray();
    for (const std::wstring& warning : Warnings())
        json.String(warning);
    json.EndArray();
    json.Key(L"totals");
    json.BeginObject();
    json.Key(L"files");
    json.Number(m_items.size());
    json.Key(L"install");
    json.Number(m_items.size() - removals);
    json.Key(L"installBytes");
    json.Number(installBytes);
    json.Key(L"remove");
    json.Number(removals);
    json.Key(L"removeBytes");
    json.Number(removeBytes);
    if (!m_options.dryRun) {
        // What fetching the update costs: each file's smallest download.
        json.Key(L"downloadBytes");
        json.Number(downloadBytes);
        json.Key(L"savedBytes");
        json.Number(installBytes - std::min(installBytes, downloadBytes));
    }
    json.EndObject();
    json.EndObject();
    PrintOut(json.Text());
}

bool CUpdateMaker::CheckFolders()
{
    if (!FullFolderPath(m_options.oldFolder, &m_old) || !IsFolder(m_old))
        return Unusable(L"old folder not found: " + m_options.oldFolder);
    if (!FullFolderPath(m_options.newFolder, &m_new) || !IsFolder(m_new))
        return Unusable(L"new folder not found: " + m_options.newFolder);
    // As the file system resolves them: a second name of one folder (another
    // drive letter, a short name, a link) is still the same folder.
    if (SameFile(m_old, m_new))
        return Unusable(L"the old and the new folder are the same folder: " + m_old + L" and " + m_new);
    if (!FullFolderPath(m_options.outFolder, &m_out))
        return Unusable(L"unusable output folder: " + m_options.outFolder + L": " + ErrorText(GetLastError()));
    // The update is read from the new tree and installed into the old one:
    // its downloads inside either would become part of a version.
    if (IsSameOrInside(m_out, m_new))
        return Unusable(L"the output folder lies inside the new folder: " + m_out);
    if (IsSameOrInside(m_out, m_old))
        return Unusable(L"the output folder lies inside the old folder: " + m_out);
    // Asked without the trailing backslash: with it, a file's name reads as
    // not found.
    const std::wstring out = WithoutTrailingBackslash(m_out);
    const DWORD attributes = GetFileAttributesW(out.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return true; // created when the downloads are written
        return Unusable(L"unusable output folder: " + out + L": " + ErrorText(error));
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return Unusable(L"the output path is a file, not a folder: " + out);
    // Only an empty folder can be removed again without losing anything when
    // the run cannot finish.
    bool empty = false;
    if (!IsEmptyFolder(m_out, &empty))
        return Unusable(L"cannot list " + m_out + L": " + ErrorText(GetLastError()));
    if (!empty)
        return Unusable(L"the output folder is not empty: " + m_out);
    return true;
}

bool CUpdateMaker::CompareTrees(CProgress& progress)
{
    std::vector<std::wstring> newFiles;
    std::wstring failed;
    if (!ListFiles(m_new, &newFiles, &failed))
        return Unusable(L"cannot list " + failed + L": " + ErrorText(GetLastError()));
    std::vector<std::wstring> oldFiles;
    if (!ListFiles(m_old, &oldFiles, &failed))
        return Unusable(L"cannot list " + failed + L": " + ErrorText(GetLastError()));
    // Before any file is read: a wrong folder is told at once.
    if (!CheckScale(oldFiles, newFiles))
        return false;

    std::vector<std::wstring> problems;
    for (size_t index = 0; index < newFiles.size(); ++index) {
        const std::wstring& relative = newFiles[index];
        const std::wstring newPath = m_new + relative;
        const std::wstring oldPath = m_old + relative;
        DWORD attributes = GetFileAttributesW(oldPath.c_str());
        // A folder of the old version that becomes a file: its files are
        // removed, the folder with them (listed below), and the file added;
        // a file of the old version where the new one has a folder is
        // removed before the engine creates the folder. Kept, the old ones
        // would stand in the way.
        const bool folderBecomesFile =
            attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (m_options.keepRemoved && folderBecomesFile) {
            problems.push_back(L"cannot be installed with --keep-removed, the old tree has a folder of its name: " +
                               newPath);
            continue;
        }
        if (m_options.keepRemoved && attributes == INVALID_FILE_ATTRIBUTES && HasFileAmongFolders(relative)) {
            problems.push_back(
                L"cannot be installed with --keep-removed, the old tree has a file where its folder is: " + newPath);
            continue;
        }
        if (folderBecomesFile)
            attributes = INVALID_FILE_ATTRIBUTES;
        const uint64_t size = GetFileSizeByName(newPath);
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            if (size >= (1ULL << 32))
                problems.push_back(L"cannot be installed, 4 GiB or more: " + newPath);
            else
                m_items.push_back(CItem{relative, eAdded, size});
            continue;
        }
        if (size >= (1ULL << 32)) {
            problems.push_back(L"cannot be installed, 4 GiB or more: " + newPath);
            continue;
        }
        const uint64_t oldSize = GetFileSizeByName(oldPath);
        bool same = false;
        std::string md5;
        progress.BeginFile(L"comparing", index + 1, newFiles.size(), relative, oldSize);
        if (!SameContent(oldPath, newPath, &same, &failed, &progress, &md5)) {
            problems.push_back(L"cannot read " + failed + L": " + ErrorText(GetLastError()));
            continue;
        }
        if (same)
            m_base.push_back(CBaseFile{relative, size, md5});
        else
            m_items.push_back(CItem{relative, eChanged, size, oldSize});
    }
    progress.Finish();
    // One line whatever the count, so a script reads exactly one reason.
    if (problems.size() == 1)
        return Unusable(problems[0]);
    if (!problems.empty()) {
        std::wstring line = Count(problems.size(), L"file") + L" cannot be used: " + problems[0];
        for (size_t i = 1; i < problems.size(); ++i)
            line += L"; " + problems[i];
        return Unusable(line);
    }
    // Folders: the new version's empty ones that the old lacks are created,
    // the old version's that the new one lacks are removed (once their files
    // are gone), both with the update.
    std::vector<std::wstring> oldFolders;
    std::vector<std::wstring> newFolders;
    if (!ListFolders(m_old, &oldFolders, &failed) || !ListFolders(m_new, &newFolders, &failed))
        return Unusable(L"cannot list " + failed + L": " + ErrorText(GetLastError()));
    for (const std::wstring& relative : newFolders) {
        bool empty = false;
        if (!IsFolder(m_old + relative) && IsEmptyFolder(m_new + relative + L"\\", &empty) && empty)
            m_foldersCreated.push_back(relative);
    }
    if (!m_options.keepRemoved) {
        for (const std::wstring& relative : oldFolders) {
            if (!IsFolder(m_new + relative))
                m_foldersRemoved.push_back(relative);
        }
    }
    // Files only the old version has are removed by the update, after the
    // files it installs (or, kept, only reported).
    for (const std::wstring& relative : oldFiles) {
        if (FileExists(m_new + relative))
            continue;
        if (m_options.keepRemoved)
            m_notRemoved.push_back(relative);
        else
            m_items.push_back(CItem{relative, eRemoved, 0, GetFileSizeByName(m_old + relative)});
    }
    return true;
}

bool CUpdateMaker::CheckScale(const std::vector<std::wstring>& oldFiles, const std::vector<std::wstring>& newFiles)
{
    // A failed build or a wrong path: applied, such an update would leave the
    // customer's application folder empty.
    if (newFiles.empty()) {
        if (m_options.allowEmpty)
            return true;
        return Unusable(L"the new version holds no file: " + m_new + L" (the old version holds " +
                        Count(oldFiles.size(), L"file") + L"); --allow-empty makes the update anyway");
    }
    if (m_options.keepRemoved || m_options.allowMassRemoval)
        return true;
    size_t removals = 0;
    for (const std::wstring& relative : oldFiles)
        removals += FileExists(m_new + relative) ? 0 : 1;
    if (removals * 2 > oldFiles.size()) {
        return Unusable(L"the update would remove " + std::to_wstring(removals) + L" of the old version's " +
                        Count(oldFiles.size(), L"file") + L", more than half: " + m_new +
                        L" may not be the new version; --allow-mass-removal makes the update anyway");
    }
    return true;
}

bool CUpdateMaker::HasFileAmongFolders(const std::wstring& relative) const
{
    for (size_t slash = relative.find(L'\\'); slash != std::wstring::npos; slash = relative.find(L'\\', slash + 1)) {
        const DWORD attributes = GetFileAttributesW((m_old + relative.substr(0, slash)).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            return true;
    }
    return false;
}

bool CUpdateMaker::CreateFolders(const std::wstring& path)
{
    if (IsFolder(path))
        return true;
    std::wstring parent = path;
    parent.pop_back(); // the trailing backslash
    const size_t slash = parent.find_last_of(L'\\');
    if (slash == std::wstring::npos)
        return false;
    parent.resize(slash + 1);
    if (parent.size() < path.size() && !CreateFolders(parent))
        return false;
    if (!CreateDirectoryW(path.c_str(), nullptr))
        return false;
    m_createdFolders.push_back(path);
    return true;
}

bool CUpdateMaker::WriteDownloads(CProgress& progress)
{
    size_t toCopy = 0;
    m_downloadNames = {Upper(kManifestName), Upper(kManifestTempName)};
    for (const CItem& item : m_items) {
        toCopy += item.change == eRemoved ? 0 : 1;
        if (item.change != eRemoved)
            m_downloadNames.insert(Upper(item.relativePath));
    }
    size_t copying = 0;
    if (!CreateFolders(m_out))
        return Unusable(L"cannot create " + m_out + L": " + ErrorText(GetLastError()));
    for (CItem& item : m_items) {
        if (item.change == eRemoved)
            continue;
        const std::wstring parent = ParentOf(item.relativePath);
        if (!parent.empty() && !CreateFolders(m_out + parent + L"\\"))
            return Unusable(L"cannot create " + m_out + parent + L": " + ErrorText(GetLastError()));
        const std::wstring source = m_new + item.relativePath;
        const std::wstring target = m_out + item.relativePath;
        CCopiedFile copied;
        std::wstring failed;
        // An empty file needs no download at all, so --no-full has nothing to stand in for it.
        item.full = !m_options.noFull || GetFileSizeByName(source) == 0;
        progress.BeginFile(item.full ? L"copying" : L"hashing", ++copying, toCopy, item.relativePath, item.size);
        const bool done = item.full ? CopyWithDigest(source, target, &copied, &failed, &progress)
                                    : DescribeFile(source, &copied, &failed, &progress);
        const DWORD error = GetLastError();
        // The target exists from its creation on, also when the copy failed.
        if (item.full && FileExists(target))
            m_createdFiles.push_back(target);
        if (!done) {
            const wchar_t* verb = failed == target ? L"cannot write " : L"cannot read ";
            return Unusable(verb + failed + L": " + ErrorText(error));
        }
        if (!FileTimeToTimeStamp(copied.lastWrite, &item.modified))
            return Unusable(L"cannot convert the write time of " + m_new + item.relativePath + L": " +
                            ErrorText(GetLastError()));
        item.size = copied.size;
        item.md5 = copied.md5;
        item.attributes = copied.attributes;
        if (item.size > 0 && !WriteSmallDownloads(item, progress))
            return false;
    }
    progress.Finish();
    return true;
}

std::wstring CUpdateMaker::FreeDownloadName(const std::wstring& relative, const wchar_t* extension)
{
    std::wstring name = relative + extension;
    for (int number = 1; !m_downloadNames.insert(Upper(name)).second; ++number)
        name = relative + L"." + std::to_wstring(number) + extension;
    return name;
}

void CUpdateMaker::Forget(const std::wstring& path)
{
    DeleteFileW(path.c_str());
    m_createdFiles.erase(std::remove(m_createdFiles.begin(), m_createdFiles.end(), path), m_createdFiles.end());
}

bool CUpdateMaker::WriteSmallDownloads(CItem& item, CProgress& progress)
{
    const std::wstring source = m_new + item.relativePath;
    std::wstring failed;
    CPackedOutput written;
    CSmallDownload packed{FreeDownloadName(item.relativePath, kPackedExtension)};
    progress.BeginFile(L"compressing", 1, 1, item.relativePath, 0);
    m_createdFiles.push_back(m_out + packed.name);
    if (!WritePackedFile(source, m_out + packed.name, &written, &failed)) {
        const DWORD error = GetLastError();
        return Unusable((failed == source ? L"cannot read " : L"cannot write ") + failed + L": " + ErrorText(error));
    }
    packed.size = written.size;
    packed.md5 = written.md5;

    std::optional<CSmallDownload> patch;
    if (item.change == eChanged) {
        const std::wstring base = m_old + item.relativePath;
        if (!DigestOfFile(base, &item.baseMd5, &failed, &progress))
            return Unusable(L"cannot read " + failed + L": " + ErrorText(GetLastError()));
        patch = CSmallDownload{FreeDownloadName(item.relativePath, kPatchExtension)};
        progress.BeginFile(L"patching", 1, 1, item.relativePath, 0);
        m_createdFiles.push_back(m_out + patch->name);
        if (!WritePatchFile(base, source, m_out + patch->name, &written, &failed)) {
            const DWORD error = GetLastError();
            const bool output = failed == m_out + patch->name;
            return Unusable((output ? L"cannot write " : L"cannot read ") + failed + L": " + ErrorText(error));
        }
        patch->size = written.size;
        patch->md5 = written.md5;
    }
    // One small download per file: the patch when it is the smaller (or
    // equal: it is also the faster to rebuild, nothing to decompress whole).
    if (patch && patch->size <= packed.size) {
        Forget(m_out + packed.name);
        if (patch->size < item.size || !item.full)
            item.patch = patch;
        else
            Forget(m_out + patch->name);
        return true;
    }
    if (patch)
        Forget(m_out + patch->name);
    if (packed.size < item.size || !item.full)
        item.packed = packed;
    else
        Forget(m_out + packed.name);
    return true;
}

std::vector<std::pair<std::wstring, std::wstring>> CUpdateMaker::InfoAttributes() const
{
    using namespace ManifestNames;
    std::vector<std::pair<std::wstring, std::wstring>> attributes = {
        {kUpdateFolder, m_options.updateFolder ? AddTrailingBackslash(*m_options.updateFolder) : m_out},
        {kTargetFolder, m_options.targetFolder ? AddTrailingBackslash(*m_options.targetFolder) : m_old},
    };
    if (m_options.manifestVersion)
        attributes.emplace_back(kAssignedVersion, *m_options.manifestVersion);
    if (m_options.appToRun)
        attributes.emplace_back(kAppToRun, *m_options.appToRun);
    if (m_options.params)
        attributes.emplace_back(kParams, *m_options.params);
    if (m_options.restartClient)
        attributes.emplace_back(kRestartQuoteBench, L"1");
    return attributes;
}

std::string CUpdateMaker::ManifestBytes() const
{
    using namespace ManifestNames;
    pugi::xml_document document;
    pugi::xml_node declaration = document.append_child(pugi::node_declaration);
    declaration.append_attribute(L"version") = L"1.0";
    declaration.append_attribute(L"encoding") = L"utf-8";
    pugi::xml_node update = document.append_child(kUpdate);

    pugi::xml_node info = update.append_child(kInfo);
    for (const auto& attribute : InfoAttributes())
        info.append_attribute(attribute.first.c_str()) = attribute.second.c_str();

    pugi::xml_node files = update.append_child(kFiles);
    files.append_attribute(kCount) = std::to_wstring(m_items.size()).c_str();
    for (size_t index = 0; index < m_items.size(); ++index) {
        const CItem& item = m_items[index];
        pugi::xml_node element = files.append_child(ItemElementName(static_cast<int>(index)).c_str());
        element.append_attribute(kFileName) = item.relativePath.c_str();
        if (item.change == eRemoved) {
            // Not isUpdate: an engine that does not know removals skips it.
            element.append_attribute(kIsRemove) = L"1";
            continue;
        }
        element.append_attribute(kSizeByte) = std::to_wstring(item.size).c_str();
        element.append_attribute(kModified) = std::to_wstring(item.modified).c_str();
        element.append_attribute(kMd5) = std::wstring(item.md5.begin(), item.md5.end()).c_str();
        element.append_attribute(kAttr) = std::to_wstring(item.attributes).c_str();
        element.append_attribute(kIsUpdate) = L"1";
        // After every attribute an engine without small downloads reads.
        if (item.patch) {
            element.append_attribute(kPatchFile) = item.patch->name.c_str();
            element.append_attribute(kPatchSizeByte) = std::to_wstring(item.patch->size).c_str();
            element.append_attribute(kPatchMd5) = std::wstring(item.patch->md5.begin(), item.patch->md5.end()).c_str();
            element.append_attribute(kPatchBaseSizeByte) = std::to_wstring(item.oldSize).c_str();
            element.append_attribute(kPatchBaseMd5) = std::wstring(item.baseMd5.begin(), item.baseMd5.end()).c_str();
        }
        if (item.packed) {
            element.append_attribute(kPackedFile) = item.packed->name.c_str();
            element.append_attribute(kPackedSizeByte) = std::to_wstring(item.packed->size).c_str();
            element.append_attribute(kPackedMd5) =
                std::wstring(item.packed->md5.begin(), item.packed->md5.end()).c_str();
        }
    }
    // Folders, in an element of their own that an engine which does not know
    // it ignores.
    if (!m_foldersCreated.empty() || !m_foldersRemoved.empty()) {
        pugi::xml_node folders = update.append_child(kFolders);
        folders.append_attribute(kCount) = std::to_wstring(m_foldersCreated.size() + m_foldersRemoved.size()).c_str();
        for (const std::wstring& relative : m_foldersCreated) {
            pugi::xml_node element = folders.append_child(kFolder);
            element.append_attribute(kFolderName) = relative.c_str();
            element.append_attribute(kIsRemove) = L"0";
        }
        for (const std::wstring& relative : m_foldersRemoved) {
            pugi::xml_node element = folders.append_child(kFolder);
            element.append_attribute(kFolderName) = relative.c_str();
            element.append_attribute(kIsRemove) = L"1";
        }
    }
    // Beside files, in an element of its own, so an engine that does not
    // check the base ignores it: what the update relies on finding.
    pugi::xml_node base = update.append_child(kBase);
    if (m_options.fromVersion)
        base.append_attribute(kBaseVersion) = m_options.fromVersion->c_str();
    base.append_attribute(kCount) = std::to_wstring(m_base.size()).c_str();
    for (const CBaseFile& file : m_base) {
        pugi::xml_node element = base.append_child(kBaseFile);
        element.append_attribute(kFileName) = file.relativePath.c_str();
        element.append_attribute(kSizeByte) = std::to_wstring(file.size).c_str();
        element.append_attribute(kMd5) = std::wstring(file.md5.begin(), file.md5.end()).c_str();
    }
    CStringWriter writer;
    document.save(writer, L"  ", pugi::format_default, pugi::encoding_utf8);
    return writer.bytes;
}

bool CUpdateMaker::WriteManifest()
{
    const std::string bytes = ManifestBytes();
    const std::wstring temporary = m_out + kManifestTempName;
    const std::wstring manifest = m_out + kManifestName;
    {
        CFileWriter writer;
        writer.path = temporary;
        writer.creationDisposition = CREATE_NEW;
        if (!writer.Open())
            return Unusable(L"cannot write " + temporary + L": " + ErrorText(writer.lastError));
        m_createdFiles.push_back(temporary);
        if (!writer.Write(bytes.data(), static_cast<DWORD>(bytes.size())))
            return Unusable(L"cannot write " + temporary + L": " + ErrorText(writer.lastError));
        if (writer.bytesWritten != bytes.size())
            return Unusable(L"cannot write " + temporary + L": " + ErrorText(ERROR_DISK_FULL));
    }
    if (!MoveFileExW(temporary.c_str(), manifest.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return Unusable(L"cannot rename " + temporary + L" to " + kManifestName + L": " + ErrorText(GetLastError()));
    m_createdFiles.back() = manifest;
    return true;
}

void CUpdateMaker::RemoveWritten()
{
    for (auto file = m_createdFiles.rbegin(); file != m_createdFiles.rend(); ++file)
        DeleteFileW(file->c_str());
    for (auto folder = m_createdFolders.rbegin(); folder != m_createdFolders.rend(); ++folder)
        RemoveDirectoryW(folder->c_str());
    m_createdFiles.clear();
    m_createdFolders.clear();
}
