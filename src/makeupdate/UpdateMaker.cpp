#include "makeupdate/UpdateMaker.h"

#include "makeupdate/Console.h"
#include "makeupdate/FileContent.h"
#include "makeupdate/FileTree.h"

#include "update/ManifestFormat.h"

#include "platform/FileHelpers.h"
#include "platform/FileWriter.h"

#include <pugixml.hpp>

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

} // namespace

int CUpdateMaker::Run()
{
    if (!CheckFolders() || !CompareTrees())
        return eExitUnusable;
    if (!WriteDownloads() || !WriteManifest()) {
        RemoveWritten();
        return eExitUnusable;
    }
    for (const CItem& item : m_items)
        PrintOut((item.isNew ? L"new:     " : L"changed: ") + item.relativePath);
    PrintOut(std::wstring(kManifestName) + L" lists " + Count(m_items.size(), L"file") + L": " + m_out + kManifestName);
    return eExitDone;
}

bool CUpdateMaker::Unusable(const std::wstring& line)
{
    PrintError(line);
    return false;
}

bool CUpdateMaker::CheckFolders()
{
    if (!FullFolderPath(m_options.oldFolder, &m_old) || !IsFolder(m_old))
        return Unusable(L"old folder not found: " + m_options.oldFolder);
    if (!FullFolderPath(m_options.newFolder, &m_new) || !IsFolder(m_new))
        return Unusable(L"new folder not found: " + m_options.newFolder);
    if (!FullFolderPath(m_options.outFolder, &m_out))
        return Unusable(L"unusable output folder: " + m_options.outFolder + L": " + ErrorText(GetLastError()));
    // The update is read from the new tree and installed into the old one:
    // its downloads inside either would become part of a version.
    if (IsSameOrInside(m_out, m_new))
        return Unusable(L"the output folder lies inside the new folder: " + m_out);
    if (IsSameOrInside(m_out, m_old))
        return Unusable(L"the output folder lies inside the old folder: " + m_out);
    const DWORD attributes = GetFileAttributesW(m_out.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return true; // created when the downloads are written
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return Unusable(L"the output path is a file: " + m_out);
    // Only an empty folder can be removed again without losing anything when
    // the run cannot finish.
    bool empty = false;
    if (!IsEmptyFolder(m_out, &empty))
        return Unusable(L"cannot list " + m_out + L": " + ErrorText(GetLastError()));
    if (!empty)
        return Unusable(L"the output folder is not empty: " + m_out);
    return true;
}

bool CUpdateMaker::CompareTrees()
{
    std::vector<std::wstring> newFiles;
    std::wstring failed;
    if (!ListFiles(m_new, &newFiles, &failed))
        return Unusable(L"cannot list " + failed + L": " + ErrorText(GetLastError()));
    std::vector<std::wstring> oldFiles;
    if (!ListFiles(m_old, &oldFiles, &failed))
        return Unusable(L"cannot list " + failed + L": " + ErrorText(GetLastError()));

    for (const std::wstring& relative : newFiles) {
        const std::wstring newPath = m_new + relative;
        const std::wstring oldPath = m_old + relative;
        const DWORD attributes = GetFileAttributesW(oldPath.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            m_problems.push_back(L"cannot be installed, the old tree has a folder of its name: " + newPath);
            continue;
        }
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            // The engine creates the folders a new file needs, but not over a
            // file of the old version.
            if (HasFileAmongFolders(relative))
                m_problems.push_back(L"cannot be installed, the old tree has a file where its folder is: " + newPath);
            else if (GetFileSizeByName(newPath) >= (1ULL << 32))
                m_problems.push_back(L"cannot be installed, 4 GiB or more: " + newPath);
            else
                m_items.push_back(CItem{relative, true});
            continue;
        }
        if (GetFileSizeByName(newPath) >= (1ULL << 32)) {
            m_problems.push_back(L"cannot be installed, 4 GiB or more: " + newPath);
            continue;
        }
        bool same = false;
        if (!SameContent(oldPath, newPath, &same, &failed)) {
            m_problems.push_back(L"cannot read " + failed + L": " + ErrorText(GetLastError()));
            continue;
        }
        if (!same)
            m_items.push_back(CItem{relative, false});
    }
    if (!m_problems.empty()) {
        for (const std::wstring& problem : m_problems)
            PrintError(problem);
        return false;
    }
    // Files only the old version has are removed by the update, after the
    // files it installs (or, kept, only reported).
    for (const std::wstring& relative : oldFiles) {
        if (FileExists(m_new + relative))
            continue;
        if (m_options.keepRemoved)
            PrintError(L"not removed by the update: " + m_old + relative);
        else
            m_items.push_back(CItem{relative, false, true});
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

bool CUpdateMaker::WriteDownloads()
{
    if (!CreateFolders(m_out))
        return Unusable(L"cannot create " + m_out + L": " + ErrorText(GetLastError()));
    for (CItem& item : m_items) {
        if (item.remove)
            continue;
        const std::wstring parent = ParentOf(item.relativePath);
        if (!parent.empty() && !CreateFolders(m_out + parent + L"\\"))
            return Unusable(L"cannot create " + m_out + parent + L": " + ErrorText(GetLastError()));
        const std::wstring target = m_out + item.relativePath;
        CCopiedFile copied;
        std::wstring failed;
        const bool done = CopyWithDigest(m_new + item.relativePath, target, &copied, &failed);
        const DWORD error = GetLastError();
        // The target exists from its creation on, also when the copy failed.
        if (FileExists(target))
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
    }
    return true;
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
    info.append_attribute(kUpdateFolder) =
        m_options.updateFolder ? AddTrailingBackslash(*m_options.updateFolder).c_str() : m_out.c_str();
    info.append_attribute(kTargetFolder) =
        m_options.targetFolder ? AddTrailingBackslash(*m_options.targetFolder).c_str() : m_old.c_str();
    if (m_options.version)
        info.append_attribute(kAssignedVersion) = m_options.version->c_str();
    if (m_options.appToRun)
        info.append_attribute(kAppToRun) = m_options.appToRun->c_str();
    if (m_options.params)
        info.append_attribute(kParams) = m_options.params->c_str();
    if (m_options.restartClient)
        info.append_attribute(kRestartQuoteBench) = L"1";

    pugi::xml_node files = update.append_child(kFiles);
    files.append_attribute(kCount) = std::to_wstring(m_items.size()).c_str();
    for (size_t index = 0; index < m_items.size(); ++index) {
        const CItem& item = m_items[index];
        pugi::xml_node element = files.append_child(ItemElementName(static_cast<int>(index)).c_str());
        element.append_attribute(kFileName) = item.relativePath.c_str();
        if (item.remove) {
            // Not isUpdate: an engine that does not know removals skips it.
            element.append_attribute(kIsRemove) = L"1";
            continue;
        }
        element.append_attribute(kSizeByte) = std::to_wstring(item.size).c_str();
        element.append_attribute(kModified) = std::to_wstring(item.modified).c_str();
        element.append_attribute(kMd5) = std::wstring(item.md5.begin(), item.md5.end()).c_str();
        element.append_attribute(kAttr) = std::to_wstring(item.attributes).c_str();
        element.append_attribute(kIsUpdate) = L"1";
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
