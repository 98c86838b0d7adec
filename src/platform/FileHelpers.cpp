#include "platform/FileHelpers.h"

#include "platform/Handles.h"

uint64_t GetFileSizeByName(const std::wstring& path)
{
    WIN32_FIND_DATAW data{};
    CFindHandle find(FindFirstFileW(path.c_str(), &data));
    if (!find)
        return 0;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) + data.nFileSizeLow;
}

bool TimeStampToFileTime(int64_t timeStamp, FILETIME* fileTime)
{
    // Seconds from 1601 to 1970, then 100-nanosecond units. Values whose product
    // would overflow are refused rather than wrapped.
    const int64_t epochOffset = 11644473600LL;
    const int64_t unitsPerSecond = 10000000LL;
    if (timeStamp < -epochOffset || timeStamp > INT64_MAX / unitsPerSecond - epochOffset)
        return false;
    const uint64_t local = static_cast<uint64_t>((timeStamp + epochOffset) * unitsPerSecond);

    FILETIME localTime{static_cast<DWORD>(local & 0xFFFFFFFF), static_cast<DWORD>(local >> 32)};
    SYSTEMTIME systemTime{};
    FileTimeToSystemTime(&localTime, &systemTime);
    FILETIME roundTrip{};
    if (!SystemTimeToFileTime(&systemTime, &roundTrip))
        return false;
    FILETIME utc{};
    if (!LocalFileTimeToFileTime(&roundTrip, &utc))
        return false;
    *fileTime = utc;
    return true;
}

bool FileTimeToTimeStamp(const FILETIME& fileTime, int64_t* timeStamp)
{
    FILETIME local{};
    if (!FileTimeToLocalFileTime(&fileTime, &local))
        return false;
    const uint64_t units = (static_cast<uint64_t>(local.dwHighDateTime) << 32) | local.dwLowDateTime;
    // Whole seconds since 1601 first, so a time before 1970 rounds down too.
    *timeStamp = static_cast<int64_t>(units / 10000000ULL) - 11644473600LL;
    return true;
}

std::wstring AddTrailingBackslash(const std::wstring& path)
{
    if (path.empty() || path.back() == L'\\')
        return path;
    return path + L'\\';
}

std::wstring FullPathOf(const std::wstring& path)
{
    const DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (length == 0)
        return path;
    std::wstring full(length, L'\0');
    const DWORD written = GetFullPathNameW(path.c_str(), length, &full[0], nullptr);
    if (written == 0 || written >= length)
        return path;
    full.resize(written);
    return full;
}

DWORD LastErrorOr(DWORD fallback)
{
    const DWORD code = GetLastError();
    return code != 0 ? code : fallback;
}

bool FileExists(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool FileExistsA(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool SameFile(const std::wstring& first, const std::wstring& second)
{
    BY_HANDLE_FILE_INFORMATION info[2]{};
    const std::wstring* paths[2] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        CHandle file(CreateFileW(paths[i]->c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!file || !GetFileInformationByHandle(file.Get(), &info[i]))
            return false;
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
}

bool SamePathText(const std::wstring& first, const std::wstring& second)
{
    return CompareStringOrdinal(first.c_str(), static_cast<int>(first.size()), second.c_str(),
                                static_cast<int>(second.size()), TRUE) == CSTR_EQUAL;
}

std::wstring ModulePath()
{
    std::wstring module(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, &module[0], static_cast<DWORD>(module.size()));
        if (length == 0)
            return std::wstring();
        if (length < module.size()) {
            module.resize(length);
            return module;
        }
        module.resize(module.size() * 2);
    }
}
