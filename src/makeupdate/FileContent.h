#pragma once
// Reading files for the publishing tool: comparing two files byte by byte,
// copying a file while taking its MD5, and the MD5 of a file. Each returns
// false with the Windows code in the last-error value and the path that failed
// in failedPath. progress, when given, is advanced by the bytes of each block
// read (of the first file, for a comparison).
#include <windows.h>

#include <cstdint>
#include <string>

class CProgress;

// same: whether a and b hold the same bytes (sizes are compared first).
// md5OfSame, when given, receives the MD5 of that content when they are the
// same (taken from the blocks compared, so nothing is read twice); it is
// empty otherwise.
bool SameContent(const std::wstring& a, const std::wstring& b, bool* same, std::wstring* failedPath,
                 CProgress* progress = nullptr, std::string* md5OfSame = nullptr);

// What was copied: the bytes' count and digest, and the source's attributes
// and last-write time as they were while it was read.
struct CCopiedFile
{
    uint64_t size = 0;
    std::string md5; // 32 lower-case hexadecimal digits
    DWORD attributes = 0;
    FILETIME lastWrite{};
};

// Copies source to target, which must not exist yet, hashing each block as it
// passes, so the digest is that of the bytes written. The target gets the
// source's last-write time. A target left behind by a failure is the caller's
// to remove.
bool CopyWithDigest(const std::wstring& source, const std::wstring& target, CCopiedFile* copied,
                    std::wstring* failedPath, CProgress* progress = nullptr);

// What CopyWithDigest would tell of source, without writing a copy.
bool DescribeFile(const std::wstring& source, CCopiedFile* described, std::wstring* failedPath,
                  CProgress* progress = nullptr);

// The MD5 (32 lower-case hexadecimal digits) of the whole file.
bool DigestOfFile(const std::wstring& path, std::string* md5, std::wstring* failedPath, CProgress* progress = nullptr);
