#pragma once
// Small file helpers: size by name, manifest time stamps, folder paths.
#include <windows.h>

#include <cstdint>
#include <string>

// Size of the first match of path (wildcards allowed); 0 when nothing matches.
uint64_t GetFileSizeByName(const std::wstring& path);

// Seconds since 1970-01-01 00:00:00 local wall-clock time -> UTC FILETIME,
// using the time-zone bias in force now. Returns false and leaves fileTime
// unchanged when the value is outside what the time conversions accept.
bool TimeStampToFileTime(int64_t timeStamp, FILETIME* fileTime);

// The inverse: a UTC FILETIME -> whole seconds since 1970-01-01 00:00:00 of
// the local wall clock (the time-zone bias in force now), rounded down, so
// that TimeStampToFileTime of the result gives the same time to the second.
// Returns false and leaves timeStamp unchanged when the conversion fails.
bool FileTimeToTimeStamp(const FILETIME& fileTime, int64_t* timeStamp);

// The path with one backslash appended unless it is empty or ends in one.
std::wstring AddTrailingBackslash(const std::wstring& path);

// The full path of this process's executable; empty when it cannot be had.
std::wstring ModulePath();

// The full form of a path (GetFullPathNameW); the path unchanged when that fails.
std::wstring FullPathOf(const std::wstring& path);

// The last-error value after a failed call, or fallback when the call left 0
// there: a failure always gets a definite code.
DWORD LastErrorOr(DWORD fallback);

// True when both paths lead to one file (compared by volume and file index,
// so a second link, a short name or another drive letter all agree). Asks
// for no access, so a file held open without sharing can still be compared;
// false when either cannot be opened.
bool SameFile(const std::wstring& first, const std::wstring& second);

// True when both texts name the same path as the system compares names:
// ordinal, without regard to letter case.
bool SamePathText(const std::wstring& first, const std::wstring& second);

// True when path names an existing file (attributes readable, not a directory).
bool FileExists(const std::wstring& path);
bool FileExistsA(const std::string& path);
