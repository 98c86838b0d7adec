#include "makeupdate/UpdateVerifier.h"

#include "makeupdate/Console.h"
#include "makeupdate/FileContent.h"
#include "makeupdate/FileTree.h"
#include "makeupdate/JsonWriter.h"
#include "makeupdate/Progress.h"

#include "update/ManifestFormat.h"

#include "platform/FileHelpers.h"
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
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        PrintError(L"cannot read the manifest " + manifest + L": " + ErrorText(GetLastError()));
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        // Most likely the package folder that make wrote.
        std::wstring line = L"the manifest path is a folder, not a file: " + manifest;
        const std::wstring inside = AddTrailingBackslash(manifest) + L"update.xml";
        if (FileExists(inside))
            line += L" (its manifest: " + inside + L")";
        PrintError(line);
        return false;
    }
    // Parsed as the engine parses it: default options, encoding detected.
    const pugi::xml_parse_result parsed = document->load_file(manifest.c_str());
    if (!parsed) {
        PrintError(L"cannot read the manifest " + manifest + L": " + OneLine(AnsiToWide(parsed.description())) +
                   L" at offset " + std::to_wstring(parsed.offset));
        return false;
    }
    const pugi::xml_node update = document->child(kUpdate);
    // The engine refuses a manifest without either element as a whole.
    if (!update.child(kInfo) || !update.child(kFiles)) {
        PrintError(L"not an update manifest (no " +
                   std::wstring(!update ? kUpdate : !update.child(kInfo) ? kInfo : kFiles) + L" element): " +
                   manifest);
        return false;
    }
    return true;
}

int CUpdateVerifier::Run()
{
    using namespace ManifestNames;
    pugi::xml_document document;
    if (!LoadManifest(&document))
        return eExitUnusable;
    if (m_options.installedFolder) {
        if (!FullFolderPath(*m_options.installedFolder, &m_installed) || !IsFolder(m_installed)) {
            PrintError(L"installed folder not found: " + *m_options.installedFolder);
            return eExitUnusable;
        }
    }
    const pugi::xml_node info = document.child(kUpdate).child(kInfo);
    const pugi::xml_node files = document.child(kUpdate).child(kFiles);
    // Names as the manifest gives them, as the engine uses them.
    const std::wstring updateFolder = info.attribute(kUpdateFolder).as_string();
    const std::wstring folder = m_options.installedFolder ? m_installed : updateFolder;

    std::vector<pugi::xml_node> checked;
    for (const pugi::xml_node& element : ItemElements(files, files.attribute(kCount).as_int())) {
        const bool install = element.attribute(kIsUpdate).as_bool();
        // The engine removes only what is not also marked for update.
        const bool remove = !install && element.attribute(kIsRemove).as_bool();
        if (install || (remove && m_options.installedFolder))
            checked.push_back(element);
    }
    m_count = checked.size();
    CProgress progress;
    uint64_t bytes = 0;
    size_t problems = 0;
    for (const pugi::xml_node& element : checked) {
        ++m_index;
        CResult result;
        if (m_options.installedFolder)
            CheckInstalled(element, progress, &result);
        else
            CheckDownload(element, updateFolder, progress, &result);
        bytes += result.size;
        if (!result.problem.empty())
            ++problems;
        if (!m_options.json) {
            if (!result.problem.empty())
                PrintError(result.problem);
            else if (m_options.installedFolder)
                PrintOut((result.remove ? L"ok, removed: " : L"ok: ") + result.path);
        }
        m_results.push_back(result);
    }
    progress.Finish();

    if (m_options.json) {
        PrintJson(folder);
    } else {
        const std::wstring noun = m_options.installedFolder ? L"file" : L"download";
        const std::wstring& subject = m_options.installedFolder ? m_installed : m_options.manifest;
        PrintOut(Count(checked.size(), noun) + L" checked, " + Count(problems, L"problem") + L": " + subject);
        PrintOut(L"total: " + Count(checked.size(), L"file") + L", " + Count(bytes, L"byte"));
    }
    return problems == 0 ? eExitDone : eExitProblems;
}

void CUpdateVerifier::CheckDownload(const pugi::xml_node& element, const std::wstring& updateFolder,
                                    CProgress& progress, CResult* result)
{
    using namespace ManifestNames;
    result->name = element.attribute(kFileName).as_string();
    result->path = updateFolder + result->name;
    ReadExpected(element, result);
    // The engine refuses such an item: its write could never complete.
    const int64_t declared = element.attribute(kSizeByte).as_llong();
    if (declared >= (1LL << 32)) {
        result->result = L"tooLarge";
        result->problem = L"4 GiB or more, the engine refuses it: " + result->path;
        return;
    }
    const std::wstring path = FindDownloadW(updateFolder, result->name, element.attribute(kTempFileName).as_string());
    if (path.empty()) {
        result->result = L"missing";
        result->problem = L"missing download: " + result->path;
        return;
    }
    result->path = path;
    CheckContent(progress, result);
}

void CUpdateVerifier::CheckInstalled(const pugi::xml_node& element, CProgress& progress, CResult* result)
{
    using namespace ManifestNames;
    result->name = element.attribute(kFileName).as_string();
    result->path = m_installed + result->name;
    result->remove = !element.attribute(kIsUpdate).as_bool();
    const DWORD attributes = GetFileAttributesW(result->path.c_str());
    const DWORD error = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_SUCCESS;
    const bool absent = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    if (attributes == INVALID_FILE_ATTRIBUTES && !absent) {
        result->result = L"unreadable";
        result->problem = L"cannot read " + result->path + L": " + ErrorText(error);
        return;
    }
    if (result->remove) {
        if (!absent) {
            result->result = L"notRemoved";
            result->problem = L"not removed: " + result->path;
        }
        return;
    }
    ReadExpected(element, result);
    if (absent) {
        result->result = L"missing";
        result->problem = L"missing: " + result->path;
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

void CUpdateVerifier::PrintJson(const std::wstring& folder) const
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
        json.String(result.remove ? L"remove" : L"install");
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
        bytes += result.size;
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
