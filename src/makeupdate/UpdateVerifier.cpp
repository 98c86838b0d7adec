#include "makeupdate/UpdateVerifier.h"

#include "makeupdate/Console.h"
#include "makeupdate/FileContent.h"
#include "makeupdate/FileTree.h"
#include "makeupdate/JsonWriter.h"
#include "makeupdate/Progress.h"

#include "update/ManifestFormat.h"

#include "platform/FileHelpers.h"
#include "platform/FilePatch.h"
#include "platform/Handles.h"
#include "platform/TextConversion.h"

namespace {

// The size and, when it is a digest, the MD5 that the manifest gives.
void ReadExpected(const pugi::xml_node& element, CUpdateVerifier::CResult* result)
{
    using namespace ManifestNames;
    result->size = static_cast<uint64_t>(element.attribute(kSizeByte).as_llong());
    const std::string md5 = ManifestText(element.attribute(kMd5));
    if (IsMd5Digest(md5))
        result->md5 = md5;
}

std::wstring Wide(const std::string& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

} // namespace

bool CUpdateVerifier::LoadManifest(pugi::xml_document* document)
{
    using namespace ManifestNames;
    const std::wstring& manifest = m_options.manifest;
    const DWORD attributes = GetFileAttributesW(manifest.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return Unusable(L"cannot read the manifest " + manifest + L": " + ErrorText(GetLastError()));
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        // Most likely the package folder that make wrote.
        std::wstring line = L"the manifest path is a folder, not a file: " + manifest;
        const std::wstring inside = AddTrailingBackslash(manifest) + L"update.xml";
        if (FileExists(inside))
            line += L" (its manifest: " + inside + L")";
        return Unusable(line);
    }
    // Parsed as the engine parses it: default options, encoding detected.
    const pugi::xml_parse_result parsed = document->load_file(manifest.c_str());
    if (!parsed) {
        return Unusable(L"cannot read the manifest " + manifest + L": " + AnsiToWide(parsed.description()) +
                        L" at offset " + std::to_wstring(parsed.offset));
    }
    const pugi::xml_node update = document->child(kUpdate);
    // The engine refuses a manifest without either element as a whole.
    if (!update.child(kInfo) || !update.child(kFiles)) {
        return Unusable(L"not an update manifest (no " +
                        std::wstring(!update ? kUpdate : !update.child(kInfo) ? kInfo : kFiles) + L" element): " +
                        manifest);
    }
    return true;
}

int CUpdateVerifier::Run()
{
    const int code = Check();
    if (code == eExitUnusable && m_options.json)
        PrintOut(JsonErrorDocument(L"verify", m_error, eExitUnusable));
    return code;
}

bool CUpdateVerifier::Unusable(const std::wstring& line)
{
    m_error = OneLine(line);
    PrintError(m_error);
    return false;
}

bool CUpdateVerifier::DownloadsFolder(const std::wstring& updateFolder, std::wstring* folder, std::wstring* line)
{
    if (m_options.downloadsFolder) {
        if (!FullFolderPath(*m_options.downloadsFolder, folder) || !IsFolder(*folder))
            return Unusable(L"downloads folder not found: " + *m_options.downloadsFolder);
        *line = L"downloads looked for in " + *folder + L" (--downloads), not in the manifest's update folder " +
                updateFolder;
        return true;
    }
    // The folder the engine would read, when it is there.
    if (!updateFolder.empty() && IsFolder(updateFolder)) {
        *folder = updateFolder;
        return true;
    }
    // A package made for the customer's folders, checked by its publisher
    // where it lies.
    std::wstring manifest = FullPathOf(m_options.manifest);
    manifest.resize(manifest.find_last_of(L'\\') + 1);
    *folder = manifest;
    *line = L"the manifest's update folder does not exist here: " + updateFolder +
            L"; downloads looked for in the manifest's own folder " + *folder;
    return true;
}

int CUpdateVerifier::Check()
{
    using namespace ManifestNames;
    pugi::xml_document document;
    if (!LoadManifest(&document))
        return eExitUnusable;
    if (m_options.installedFolder) {
        if (!FullFolderPath(*m_options.installedFolder, &m_installed) || !IsFolder(m_installed)) {
            Unusable(L"installed folder not found: " + *m_options.installedFolder);
            return eExitUnusable;
        }
    }
    if (m_options.baseFolder && !IsFolder(AddTrailingBackslash(*m_options.baseFolder))) {
        Unusable(L"base folder not found: " + *m_options.baseFolder);
        return eExitUnusable;
    }
    const pugi::xml_node update = document.child(kUpdate);
    const pugi::xml_node info = update.child(kInfo);
    const pugi::xml_node files = update.child(kFiles);
    // Names as the manifest gives them, as the engine uses them.
    const std::wstring updateFolder = info.attribute(kUpdateFolder).as_string();
    std::wstring folder = m_installed;
    const wchar_t* folderFrom = L"installed";
    std::wstring folderLine;
    if (!m_options.installedFolder) {
        if (!DownloadsFolder(updateFolder, &folder, &folderLine))
            return eExitUnusable;
        folderFrom = m_options.downloadsFolder ? L"downloads" : folderLine.empty() ? L"updateFolder" : L"manifestFolder";
    }

    std::vector<pugi::xml_node> checked;
    for (const pugi::xml_node& element : ItemElements(files, files.attribute(kCount).as_int())) {
        const bool install = element.attribute(kIsUpdate).as_bool();
        // The engine removes only what is not also marked for update.
        const bool remove = !install && element.attribute(kIsRemove).as_bool();
        if (install || (remove && m_options.installedFolder))
            checked.push_back(element);
    }
    // The files the update relies on finding are part of what it leaves.
    std::vector<pugi::xml_node> base;
    if (m_options.installedFolder) {
        for (const pugi::xml_node& element : update.child(kBase).children(kBaseFile))
            base.push_back(element);
    }
    m_count = checked.size() + base.size();
    if (!m_options.json && !folderLine.empty())
        PrintOut(folderLine);
    CProgress progress;
    uint64_t bytes = 0;
    size_t problems = 0;
    for (size_t index = 0; index < m_count; ++index) {
        ++m_index;
        std::vector<CResult> results(1);
        if (index >= checked.size())
            CheckBaseFile(base[index - checked.size()], progress, &results[0]);
        else if (m_options.installedFolder)
            CheckInstalled(checked[index], progress, &results[0]);
        else {
            CheckDownload(checked[index], folder, progress, &results[0]);
            CheckSmallDownloads(checked[index], folder, progress, &results);
        }
        for (const CResult& result : results) {
            bytes += result.absent ? 0 : result.size;
            if (!result.problem.empty())
                ++problems;
            if (!m_options.json) {
                if (!result.problem.empty())
                    PrintError(result.problem);
                else if (m_options.installedFolder)
                    PrintOut((result.remove ? L"ok, removed: " : result.keep ? L"ok, unchanged: " : L"ok: ") +
                             result.path);
            }
            m_results.push_back(result);
        }
    }
    progress.Finish();

    if (m_options.json) {
        PrintJson(folder, folderFrom);
    } else {
        const std::wstring noun = m_options.installedFolder ? L"file" : L"download";
        const std::wstring& subject = m_options.installedFolder ? m_installed : m_options.manifest;
        size_t checkedCount = 0;
        for (const CResult& result : m_results)
            checkedCount += result.absent ? 0 : 1;
        if (m_patchesUnapplied)
            PrintOut(L"patches checked by their own size and MD5 only: --base DIR applies them to the version "
                     L"they are made from");
        PrintOut(Count(checkedCount, noun) + L" checked, " + Count(problems, L"problem") + L": " + subject);
        PrintOut(L"total: " + Count(checkedCount, L"file") + L", " + Count(bytes, L"byte"));
    }
    return problems == 0 ? eExitDone : eExitProblems;
}

void CUpdateVerifier::CheckDownload(const pugi::xml_node& element, const std::wstring& folder, CProgress& progress,
                                    CResult* result)
{
    using namespace ManifestNames;
    result->name = element.attribute(kFileName).as_string();
    result->path = folder + result->name;
    ReadExpected(element, result);
    // The engine refuses such an item: its write could never complete.
    const int64_t declared = element.attribute(kSizeByte).as_llong();
    if (declared >= (1LL << 32)) {
        result->result = L"tooLarge";
        result->problem = L"4 GiB or more, the engine refuses it: " + result->path;
        return;
    }
    const std::wstring path = FindDownloadW(folder, result->name, element.attribute(kTempFileName).as_string());
    // A package made without whole files: the patch or compressed file stands in.
    if (path.empty() && (element.attribute(kPatchFile) || element.attribute(kPackedFile))) {
        result->absent = true;
        return;
    }
    if (path.empty()) {
        result->result = L"missing";
        result->problem = L"missing download: " + result->path;
        return;
    }
    result->path = path;
    CheckContent(progress, result);
}

void CUpdateVerifier::CheckSmallDownloads(const pugi::xml_node& element, const std::wstring& folder,
                                          CProgress& progress, std::vector<CResult>* results)
{
    using namespace ManifestNames;
    const struct
    {
        const wchar_t* kind;
        const wchar_t* file;
        const wchar_t* size;
        const wchar_t* md5;
        const wchar_t* words;
    } downloads[] = {
        {L"patch", kPatchFile, kPatchSizeByte, kPatchMd5, L"patch"},
        {L"packed", kPackedFile, kPackedSizeByte, kPackedMd5, L"compressed file"},
    };
    for (const auto& download : downloads) {
        if (!element.attribute(download.file))
            continue;
        CResult result;
        result.kind = download.kind;
        result.forName = element.attribute(kFileName).as_string();
        result.name = element.attribute(download.file).as_string();
        result.path = folder + result.name;
        result.size = static_cast<uint64_t>(element.attribute(download.size).as_llong());
        const std::string md5 = ManifestText(element.attribute(download.md5));
        if (IsMd5Digest(md5))
            result.md5 = md5;
        if (!FileExists(result.path)) {
            result.result = L"missing";
            result.problem = std::wstring(L"missing ") + download.words + L": " + result.path;
        } else {
            CheckContent(progress, &result);
        }
        if (result.problem.empty()) {
            if (std::wstring(download.kind) == L"packed") {
                CheckRebuild(element, nullptr, &result);
            } else if (m_options.baseFolder) {
                std::wstring baseFolder;
                if (!FullFolderPath(*m_options.baseFolder, &baseFolder))
                    baseFolder = AddTrailingBackslash(*m_options.baseFolder);
                const std::wstring base = baseFolder + result.forName;
                CheckRebuild(element, &base, &result);
            } else {
                m_patchesUnapplied = true;
            }
        }
        if (!result.problem.empty() && result.result == std::wstring(L"ok"))
            result.result = L"notRebuilt";
        results->push_back(result);
    }
}

void CUpdateVerifier::CheckRebuild(const pugi::xml_node& element, const std::wstring* base, CResult* result)
{
    using namespace ManifestNames;
    const uint64_t newSize = static_cast<uint64_t>(element.attribute(kSizeByte).as_llong());
    const std::string newMd5 = ManifestText(element.attribute(kMd5));
    CHandle baseFile;
    if (base != nullptr) {
        // The version the patch is made from, as the manifest records it.
        const uint64_t baseSize = static_cast<uint64_t>(element.attribute(kPatchBaseSizeByte).as_llong());
        const std::string baseMd5 = ManifestText(element.attribute(kPatchBaseMd5));
        std::string actualMd5;
        std::wstring failed;
        if (!FileExists(*base)) {
            result->problem = L"patch not applied, its base is missing: " + *base;
            return;
        }
        if (GetFileSizeByName(*base) != baseSize || !DigestOfFile(*base, &actualMd5, &failed) ||
            (IsMd5Digest(baseMd5) && !SameMd5Digest(actualMd5, baseMd5))) {
            result->problem = L"patch not applied, its base is not the version it is made from: " + *base;
            return;
        }
        baseFile.Reset(CreateFileW(base->c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!baseFile) {
            result->problem = L"cannot read " + *base + L": " + ErrorText(GetLastError());
            return;
        }
    }
    CHandle download(
        CreateFileW(result->path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!download) {
        result->problem = L"cannot read " + result->path + L": " + ErrorText(GetLastError());
        return;
    }
    // Rebuilt into a temporary file that goes with its handle: memory stays
    // small whatever the size.
    wchar_t folder[MAX_PATH + 1] = {};
    wchar_t name[MAX_PATH + 1] = {};
    if (GetTempPathW(MAX_PATH, folder) == 0 || GetTempFileNameW(folder, L"qxr", 0, name) == 0) {
        result->problem = L"cannot create a temporary file to rebuild " + result->path + L": " +
                          ErrorText(GetLastError());
        return;
    }
    CHandle staged(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!staged) {
        result->problem = L"cannot create a temporary file to rebuild " + result->path + L": " +
                          ErrorText(GetLastError());
        DeleteFileW(name);
        return;
    }
    std::string rebuiltMd5;
    const CRebuildResult rebuilt =
        RebuildFile(download.Get(), baseFile ? baseFile.Get() : nullptr, staged.Get(), newSize, &rebuiltMd5);
    if (!rebuilt.Ok()) {
        result->problem = std::wstring(L"does not rebuild ") + result->forName + L" (" +
                          RebuildStatusText(rebuilt.status) + L"): " + result->path;
        if (rebuilt.error != 0)
            result->problem += L": " + ErrorText(rebuilt.error);
        return;
    }
    if (IsMd5Digest(newMd5) && !SameMd5Digest(rebuiltMd5, newMd5)) {
        result->problem = L"rebuilds " + result->forName + L" with MD5 " + AnsiToWide(rebuiltMd5) +
                          L", the manifest says " + AnsiToWide(newMd5) + L": " + result->path;
        return;
    }
    result->rebuilt = true;
}

void CUpdateVerifier::CheckInstalled(const pugi::xml_node& element, CProgress& progress, CResult* result)
{
    using namespace ManifestNames;
    result->name = element.attribute(kFileName).as_string();
    result->path = m_installed + result->name;
    result->remove = !element.attribute(kIsUpdate).as_bool();
    const DWORD attributes = GetFileAttributesW(result->path.c_str());
    const DWORD error = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_SUCCESS;
    if (result->remove) {
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return;
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            result->result = L"unreadable";
            result->problem = L"cannot read " + result->path + L": " + ErrorText(error);
        } else {
            result->result = L"notRemoved";
            result->problem = L"not removed: " + result->path;
        }
        return;
    }
    ReadExpected(element, result);
    CheckPresent(attributes, error, progress, result);
}

void CUpdateVerifier::CheckBaseFile(const pugi::xml_node& element, CProgress& progress, CResult* result)
{
    using namespace ManifestNames;
    result->name = element.attribute(kFileName).as_string();
    result->path = m_installed + result->name;
    result->keep = true;
    ReadExpected(element, result);
    const DWORD attributes = GetFileAttributesW(result->path.c_str());
    const DWORD error = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_SUCCESS;
    CheckPresent(attributes, error, progress, result);
    // Not a file of the update: a difference means the folder was not the
    // version the update was made from, or was changed since.
    if (!result->problem.empty())
        result->problem = L"base version, " + result->problem;
}

void CUpdateVerifier::CheckPresent(DWORD attributes, DWORD error, CProgress& progress, CResult* result)
{
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        result->result = L"missing";
        result->problem = L"missing: " + result->path;
        return;
    }
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        result->result = L"unreadable";
        result->problem = L"cannot read " + result->path + L": " + ErrorText(error);
        return;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        result->result = L"notAFile";
        result->problem = L"a folder, not a file: " + result->path;
        return;
    }
    CheckContent(progress, result);
}

void CUpdateVerifier::CheckContent(CProgress& progress, CResult* result)
{
    result->hasActualSize = true;
    result->actualSize = GetFileSizeByName(result->path);
    if (result->actualSize != result->size) {
        result->result = L"wrongSize";
        result->problem = L"wrong size: " + result->path + L" has " + std::to_wstring(result->actualSize) +
                          L" bytes, the manifest says " + std::to_wstring(result->size);
        return;
    }
    // Read in full also without a digest to compare: the engine must be
    // able to read it.
    std::wstring failed;
    progress.BeginFile(L"hashing", m_index, m_count, result->name, result->size);
    if (!DigestOfFile(result->path, &result->actualMd5, &failed, &progress)) {
        result->result = L"unreadable";
        result->problem = L"cannot read " + result->path + L": " + ErrorText(GetLastError());
        return;
    }
    if (!result->md5.empty() && !SameMd5Digest(result->actualMd5, result->md5)) {
        result->result = L"wrongMd5";
        result->problem = L"wrong MD5: " + result->path + L" has " + AnsiToWide(result->actualMd5) +
                          L", the manifest says " + AnsiToWide(result->md5);
    }
}

void CUpdateVerifier::PrintJson(const std::wstring& folder, const wchar_t* folderFrom) const
{
    CJsonWriter json;
    json.BeginObject();
    json.Key(L"command");
    json.String(L"verify");
    json.Key(L"manifest");
    json.String(m_options.manifest);
    json.Key(L"checks");
    json.String(m_options.installedFolder ? L"installed" : L"downloads");
    json.Key(L"folder");
    json.String(folder);
    json.Key(L"folderFrom");
    json.String(folderFrom);
    uint64_t bytes = 0;
    size_t problems = 0;
    json.Key(L"files");
    json.BeginArray();
    for (const CResult& result : m_results) {
        json.BeginObject();
        json.Key(L"name");
        json.String(result.name);
        json.Key(L"path");
        json.String(result.path);
        json.Key(L"action");
        json.String(result.kind != nullptr ? result.kind : result.remove ? L"remove" : result.keep ? L"keep" : L"install");
        if (result.kind != nullptr) {
            json.Key(L"for");
            json.String(result.forName);
            json.Key(L"rebuilt");
            json.Bool(result.rebuilt);
        }
        if (result.absent) {
            json.Key(L"absent");
            json.Bool(true);
        }
        json.Key(L"result");
        json.String(result.result);
        if (!result.remove) {
            json.Key(L"size");
            json.Number(result.size);
        }
        if (result.hasActualSize) {
            json.Key(L"actualSize");
            json.Number(result.actualSize);
        }
        if (!result.md5.empty()) {
            json.Key(L"md5");
            json.String(Wide(result.md5));
        }
        if (!result.actualMd5.empty()) {
            json.Key(L"actualMd5");
            json.String(Wide(result.actualMd5));
        }
        if (!result.problem.empty()) {
            json.Key(L"problem");
            json.String(result.problem);
        }
        json.EndObject();
        bytes += result.absent ? 0 : result.size;
        problems += result.problem.empty() ? 0 : 1;
    }
    json.EndArray();
    json.Key(L"totals");
    json.BeginObject();
    json.Key(L"files");
    json.Number(m_results.size());
    json.Key(L"bytes");
    json.Number(bytes);
    json.Key(L"problems");
    json.Number(problems);
    json.EndObject();
    json.EndObject();
    PrintOut(json.Text());
}
