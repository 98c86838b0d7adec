#include "makeupdate/FileContent.h"

#include "makeupdate/Progress.h"

#include "platform/FileWriter.h"
#include "platform/Handles.h"
#include "platform/Md5.h"

#include <cstring>
#include <vector>

namespace {

const DWORD kBlockSize = 1 << 20;

// Opened for reading while other programs may still read or write it, as the
// update engine opens its downloads.
CHandle OpenForReading(const std::wstring& path)
{
    return CHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

// Reads up to size bytes; read is 0 at the end of the file.
bool ReadBlock(const CHandle& file, unsigned char* buffer, DWORD size, DWORD* read)
{
    *read = 0;
    return ReadFile(file.Get(), buffer, size, read, nullptr) != FALSE;
}

bool Failed(const std::wstring& path, std::wstring* failedPath)
{
    *failedPath = path;
    return false;
}

void Advance(CProgress* progress, DWORD bytes)
{
    if (progress != nullptr)
        progress->Advance(bytes);
}

} // namespace

bool SameContent(const std::wstring& a, const std::wstring& b, bool* same, std::wstring* failedPath,
                 CProgress* progress, std::string* md5OfSame)
{
    *same = false;
    if (md5OfSame != nullptr)
        md5OfSame->clear();
    CHandle first = OpenForReading(a);
    if (!first)
        return Failed(a, failedPath);
    CHandle second = OpenForReading(b);
    if (!second)
        return Failed(b, failedPath);
    LARGE_INTEGER firstSize{};
    LARGE_INTEGER secondSize{};
    if (!GetFileSizeEx(first.Get(), &firstSize))
        return Failed(a, failedPath);
    if (!GetFileSizeEx(second.Get(), &secondSize))
        return Failed(b, failedPath);
    if (firstSize.QuadPart != secondSize.QuadPart)
        return true;

    CMd5 md5;
    std::vector<unsigned char> firstBlock(kBlockSize);
    std::vector<unsigned char> secondBlock(kBlockSize);
    for (;;) {
        DWORD firstRead = 0;
        DWORD secondRead = 0;
        if (!ReadBlock(first, firstBlock.data(), kBlockSize, &firstRead))
            return Failed(a, failedPath);
        // The same count from the second file: a disk file gives whole blocks
        // until its end, so the two reads line up.
        if (!ReadBlock(second, secondBlock.data(), kBlockSize, &secondRead))
            return Failed(b, failedPath);
        if (firstRead != secondRead || std::memcmp(firstBlock.data(), secondBlock.data(), firstRead) != 0)
            return true;
        if (md5OfSame != nullptr && firstRead != 0 && !md5.Update(firstBlock.data(), firstRead))
            return Failed(a, failedPath);
        Advance(progress, firstRead);
        if (firstRead == 0) {
            if (md5OfSame != nullptr) {
                *md5OfSame = md5.FinishHex();
                if (md5OfSame->empty())
                    return Failed(a, failedPath);
            }
            *same = true;
            return true;
        }
    }
}

bool CopyWithDigest(const std::wstring& source, const std::wstring& target, CCopiedFile* copied,
                    std::wstring* failedPath, CProgress* progress)
{
    *copied = CCopiedFile();
    CHandle input = OpenForReading(source);
    if (!input)
        return Failed(source, failedPath);
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(input.Get(), &information))
        return Failed(source, failedPath);
    copied->attributes = information.dwFileAttributes;
    copied->lastWrite = information.ftLastWriteTime;

    CFileWriter output;
    output.path = target;
    output.creationDisposition = CREATE_NEW;
    if (!output.Open()) {
        SetLastError(output.lastError);
        return Failed(target, failedPath);
    }
    CMd5 md5;
    std::vector<unsigned char> block(kBlockSize);
    for (;;) {
        DWORD read = 0;
        if (!ReadBlock(input, block.data(), kBlockSize, &read))
            return Failed(source, failedPath);
        if (read == 0)
            break;
        if (!md5.Update(block.data(), read))
            return Failed(source, failedPath);
        if (!output.Write(block.data(), read)) {
            SetLastError(output.lastError);
            return Failed(target, failedPath);
        }
        if (output.bytesWritten != read) {
            // A write that succeeds short has no error code of its own.
            SetLastError(ERROR_DISK_FULL);
            return Failed(target, failedPath);
        }
        copied->size += read;
        Advance(progress, read);
    }
    copied->md5 = md5.FinishHex();
    if (copied->md5.empty())
        return Failed(source, failedPath);
    // Set after the last write, which would otherwise stamp the time of the copy.
    if (!SetFileTime(output.handle.Get(), nullptr, nullptr, &copied->lastWrite))
        return Failed(target, failedPath);
    return true;
}

namespace {

// Hashes the rest of an open file a block at a time; size (optional) gets
// the bytes read.
bool HashOpenFile(const CHandle& input, const std::wstring& path, std::string* md5, uint64_t* size,
                  std::wstring* failedPath, CProgress* progress)
{
    CMd5 digest;
    std::vector<unsigned char> block(kBlockSize);
    for (;;) {
        DWORD read = 0;
        if (!ReadBlock(input, block.data(), kBlockSize, &read))
            return Failed(path, failedPath);
        if (read == 0)
            break;
        if (!digest.Update(block.data(), read))
            return Failed(path, failedPath);
        if (size != nullptr)
            *size += read;
        Advance(progress, read);
    }
    *md5 = digest.FinishHex();
    if (md5->empty())
        return Failed(path, failedPath);
    return true;
}

} // namespace

bool DigestOfFile(const std::wstring& path, std::string* md5, std::wstring* failedPath, CProgress* progress)
{
    md5->clear();
    CHandle input = OpenForReading(path);
    if (!input)
        return Failed(path, failedPath);
    return HashOpenFile(input, path, md5, nullptr, failedPath, progress);
}

bool DescribeFile(const std::wstring& source, CCopiedFile* described, std::wstring* failedPath, CProgress* progress)
{
    *described = CCopiedFile();
    CHandle input = OpenForReading(source);
    if (!input)
        return Failed(source, failedPath);
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(input.Get(), &information))
        return Failed(source, failedPath);
    described->attributes = information.dwFileAttributes;
    described->lastWrite = information.ftLastWriteTime;
    return HashOpenFile(input, source, &described->md5, &described->size, failedPath, progress);
}
