#include "makeupdate/FileTree.h"

#include "platform/FileHelpers.h"
#include "platform/Handles.h"

#include <algorithm>

namespace {

bool IsDotEntry(const wchar_t* name)
{
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

bool ListBelow(const std::wstring& root, const std::wstring& relative, std::vector<std::wstring>* files,
               std::wstring* failedFolder, std::vector<std::wstring>* folders = nullptr)
{
    WIN32_FIND_DATAW data{};
    CFindHandle find(FindFirstFileW((root + relative + L"*").c_str(), &data));
    if (!find) {
        // A folder without even "." and ".." (a drive's root) reports no match.
        if (GetLastError() == ERROR_FILE_NOT_FOUND)
            return true;
        *failedFolder = root + relative;
        return false;
    }
    do {
        if (IsDotEntry(data.cFileName))
            continue;
        const std::wstring path = relative + data.cFileName;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (folders != nullptr)
                folders->push_back(path);
            if (!ListBelow(root, path + L"\\", files, failedFolder, folders))
                return false;
        } else {
            files->push_back(path);
        }
    } while (FindNextFileW(find.Get(), &data));
    if (GetLastError() != ERROR_NO_MORE_FILES) {
        *failedFolder = root + relative;
        return false;
    }
    return true;
}

} // namespace

bool FullFolderPath(const std::wstring& path, std::wstring* full)
{
    if (path.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), &buffer[0], nullptr);
        if (length == 0)
            return false;
        if (length < buffer.size()) {
            buffer.resize(length);
            break;
        }
        buffer.assign(length, L'\0');
    }
    *full = AddTrailingBackslash(buffer);
    return true;
}

bool IsFolder(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsSameOrInside(const std::wstring& inner, const std::wstring& outer)
{
    if (inner.size() < outer.size())
        return false;
    return CompareStringOrdinal(inner.c_str(), static_cast<int>(outer.size()), outer.c_str(),
                                static_cast<int>(outer.size()), TRUE) == CSTR_EQUAL;
}

bool ListFiles(const std::wstring& folder, std::vector<std::wstring>* files, std::wstring* failedFolder)
{
    files->clear();
    if (!ListBelow(folder, L"", files, failedFolder))
        return false;
    std::sort(files->begin(), files->end());
    return true;
}

bool ListFolders(const std::wstring& folder, std::vector<std::wstring>* folders, std::wstring* failedFolder)
{
    folders->clear();
    std::vector<std::wstring> files;
    if (!ListBelow(folder, L"", &files, failedFolder, folders))
        return false;
    std::sort(folders->begin(), folders->end());
    return true;
}

bool IsEmptyFolder(const std::wstring& folder, bool* empty)
{
    *empty = false;
    WIN32_FIND_DATAW data{};
    CFindHandle find(FindFirstFileW((folder + L"*").c_str(), &data));
    if (!find) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND)
            return false;
        *empty = true;
        return true;
    }
    do {
        if (!IsDotEntry(data.cFileName))
            return true;
    } while (FindNextFileW(find.Get(), &data));
    if (GetLastError() != ERROR_NO_MORE_FILES)
        return false;
    *empty = true;
    return true;
}

std::wstring ParentOf(const std::wstring& relativePath)
{
    const size_t slash = relativePath.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : relativePath.substr(0, slash);
}
