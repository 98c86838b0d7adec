#include "platform/PathRules.h"

#include "platform/FileHelpers.h"
#include "platform/Handles.h"

#include <cwctype>
#include <vector>

namespace {

bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// The components of name, split at either separator.
std::vector<std::wstring> Components(const std::wstring& name)
{
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (;;) {
        size_t end = start;
        while (end < name.size() && !IsSeparator(name[end]))
            ++end;
        parts.push_back(name.substr(start, end - start));
        if (end == name.size())
            return parts;
        start = end + 1;
    }
}

// Windows drops trailing dots and blanks of a component ("." and ".." stay).
std::wstring Trimmed(std::wstring part)
{
    while (!part.empty() && (part.back() == L' ' || part.back() == L'.') && part != L"." && part != L"..")
        part.pop_back();
    return part;
}

bool IsDeviceComponent(const std::wstring& component)
{
    // The device is what stands before the first dot, blanks before it dropped.
    std::wstring base = Trimmed(component);
    base = base.substr(0, base.find(L'.'));
    while (!base.empty() && base.back() == L' ')
        base.pop_back();
    base = ComparableText(base);
    if (base == L"CON" || base == L"PRN" || base == L"AUX" || base == L"NUL" || base == L"CONIN$" ||
        base == L"CONOUT$")
        return true;
    if (base.size() != 4 || (base.compare(0, 3, L"COM") != 0 && base.compare(0, 3, L"LPT") != 0))
        return false;
    // COM1-COM9, LPT1-LPT9, and the superscript digits one to three that the system takes as well.
    const wchar_t digit = base[3];
    return (digit >= L'1' && digit <= L'9') || digit == L'\x00B9' || digit == L'\x00B2' || digit == L'\x00B3';
}

} // namespace

bool StaysInside(const std::wstring& name)
{
    if (name.empty() || IsSeparator(name[0]) || name.find(L':') != std::wstring::npos)
        return false;
    for (const std::wstring& part : Components(name)) {
        if (Trimmed(part) == L"..")
            return false;
    }
    return true;
}

bool NamesDevice(const std::wstring& name)
{
    for (const std::wstring& part : Components(name)) {
        if (IsDeviceComponent(part))
            return true;
    }
    return false;
}

std::wstring ComparableText(const std::wstring& text)
{
    if (text.empty())
        return text;
    // The invariant upper case is the one the file systems' case-blind
    // comparison follows, whatever the user's locale.
    const int size = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text.c_str(), static_cast<int>(text.size()),
                                   nullptr, 0, nullptr, nullptr, 0);
    if (size <= 0)
        return text;
    std::wstring upper(static_cast<size_t>(size), L'\0');
    LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text.c_str(), static_cast<int>(text.size()), &upper[0], size,
                  nullptr, nullptr, 0);
    return upper;
}

std::wstring LongPathOf(const std::wstring& path)
{
    // Resolving a name costs a lookup of each component; only a name with "~"
    // can be a short name the system made, so the others are left as they are.
    if (path.find(L'~') == std::wstring::npos)
        return path;
    // The longest part that exists is resolved; the rest is kept as written.
    for (size_t end = path.size(); end != std::wstring::npos && end > 0; end = path.find_last_of(L"\\/", end - 1)) {
        const std::wstring head = path.substr(0, end);
        const DWORD needed = GetLongPathNameW(head.c_str(), nullptr, 0);
        if (needed == 0)
            continue;
        std::wstring resolved(needed, L'\0');
        const DWORD length = GetLongPathNameW(head.c_str(), &resolved[0], needed);
        if (length == 0 || length >= needed)
            return path;
        resolved.resize(length);
        return resolved + path.substr(end);
    }
    return path;
}

std::wstring ComparablePath(const std::wstring& path)
{
    return ComparableText(LongPathOf(FullPathOf(path)));
}

std::wstring FolderNamesLandIn(const std::wstring& folder)
{
    const std::wstring probe = FullPathOf(folder + L"x");
    const size_t slash = probe.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : probe.substr(0, slash + 1);
}

bool IsBelow(const std::wstring& path, const std::wstring& folder)
{
    return path.size() > folder.size() &&
           CompareStringOrdinal(path.c_str(), static_cast<int>(folder.size()), folder.c_str(),
                                static_cast<int>(folder.size()), TRUE) == CSTR_EQUAL;
}

bool IsLinkAt(const std::wstring& path, DWORD attributes)
{
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return false;
    CHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                             nullptr));
    FILE_ATTRIBUTE_TAG_INFO tag{};
    // Not to be asked: taken for a link, so that nothing is written through it.
    if (!file || !GetFileInformationByHandleEx(file.Get(), FileAttributeTagInfo, &tag, sizeof(tag)))
        return true;
    // Under Wine a symbolic link of the host is a reparse point by its
    // attributes, while the handle opened on it is the link's target (no tag).
    if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return true;
    return IsReparseTagNameSurrogate(tag.ReparseTag);
}

CFolderListing::Folder& CFolderListing::Listing(const std::wstring& folderPath)
{
    const std::wstring key = ComparableText(folderPath);
    auto found = m_folders.find(key);
    if (found != m_folders.end())
        return found->second;
    Folder& folder = m_folders[key];
    WIN32_FIND_DATAW data{};
    CFindHandle find(FindFirstFileExW((folderPath + L"*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                      nullptr, FIND_FIRST_EX_LARGE_FETCH));
    // A folder that cannot be listed (missing, no access) leaves every
    // question to the real calls.
    if (!find)
        return folder;
    do {
        folder.names[ComparableText(data.cFileName)] = Entry{data.dwFileAttributes, data.cFileName};
    } while (FindNextFileW(find.Get(), &data));
    folder.listed = GetLastError() == ERROR_NO_MORE_FILES;
    if (!folder.listed)
        folder.names.clear();
    return folder;
}

const CFolderListing::Entry* CFolderListing::Find(const std::wstring& path, bool* listed)
{
    *listed = false;
    const size_t slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos || slash + 1 == path.size())
        return nullptr;
    const Folder& folder = Listing(path.substr(0, slash + 1));
    *listed = folder.listed;
    const auto found = folder.names.find(ComparableText(Trimmed(path.substr(slash + 1))));
    return found == folder.names.end() ? nullptr : &found->second;
}

DWORD CFolderListing::Attributes(const std::wstring& path)
{
    bool listed = false;
    if (const Entry* entry = Find(path, &listed))
        return entry->attributes;
    if (listed && path.find(L'~', path.find_last_of(L"\\/") + 1) == std::wstring::npos)
        return INVALID_FILE_ATTRIBUTES;
    return GetFileAttributesW(path.c_str());
}

std::wstring CFolderListing::AsListed(const std::wstring& path)
{
    bool listed = false;
    const Entry* entry = Find(path, &listed);
    return entry == nullptr ? path : path.substr(0, path.find_last_of(L"\\/") + 1) + entry->name;
}

DWORD CPathChecker::AttributesOf(const std::wstring& path)
{
    return m_listed ? m_listing.Attributes(path) : GetFileAttributesW(path.c_str());
}

ePathCheck CPathChecker::Check(const std::wstring& root, const std::wstring& path, std::wstring* where)
{
    if (!IsBelow(path, root))
        return ePathPlain;
    size_t end = root.size();
    for (;;) {
        size_t next = path.find_first_of(L"\\/", end);
        const bool last = next == std::wstring::npos;
        const std::wstring component = path.substr(0, last ? path.size() : next);
        const bool known = !last && m_plainFolders.count(ComparableText(component)) != 0;
        if (!known && !component.empty() && !IsSeparator(component.back())) {
            const DWORD attributes = AttributesOf(component);
            if (attributes == INVALID_FILE_ATTRIBUTES)
                return ePathPlain;
            if (IsLinkAt(component, attributes)) {
                *where = component;
                return ePathThroughLink;
            }
            const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            if (!last && !folder) {
                *where = component;
                return ePathThroughFile;
            }
            if (last && folder) {
                *where = component;
                return ePathIsFolder;
            }
            if (!last)
                m_plainFolders[ComparableText(component)] = true;
        }
        if (last)
            return ePathPlain;
        end = next + 1;
    }
}
