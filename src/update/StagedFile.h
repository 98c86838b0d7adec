#pragma once
// A new file's content staged beside the application file under its temporary
// name, before any application file is touched: copied from the download in
// one pass that checks its size (and its MD5 when the manifest gives one) and
// stamps it with the manifest's time. The staged file is held open without
// sharing until it is renamed over the application file, so nothing can change
// it between the check and the swap; one that is never swapped in is deleted.
#include <windows.h>

#include "platform/Handles.h"

#include <cstdint>
#include <string>
#include <vector>

// The manifest's time stamp as the value of a file time field; false (value
// untouched) when it is outside what the time conversions accept.
bool ManifestFileTime(int64_t modified, LARGE_INTEGER* value);

// All four times of a basic-information record set to one value.
template <class BasicInformation>
void SetAllTimes(BasicInformation& info, LARGE_INTEGER value)
{
    info.CreationTime = value;
    info.LastAccessTime = value;
    info.LastWriteTime = value;
    info.ChangeTime = value;
}

class CStagedFile
{
public:
    CStagedFile() = default;
    ~CStagedFile() { Discard(); }
    CStagedFile(const CStagedFile&) = delete;
    CStagedFile& operator=(const CStagedFile&) = delete;

    bool IsStaged() const { return m_file.IsValid(); }
    HANDLE Get() const { return m_file.Get(); }
    // Code of a failed read of the file's basic information while stamping
    // (0: stamped), for the warning the replacement logs in its place.
    DWORD stampError = 0;

    // Creates the file at path (no sharing, rights to rename and delete it);
    // fails when the name exists.
    bool Create(const std::wstring& path);
    // Renames the held file to path, which must not exist unless replace is
    // set; on success the file is no longer ours. False with the last-error value.
    bool RenameTo(const std::wstring& path, bool replace = false);
    // Deletes the file if it is still ours.
    void Discard();

private:
    CHandle m_file;
};

// Size of the block a download is copied through.
constexpr size_t kStageBufferBytes = 256 << 10;

enum eStageResult
{
    eStaged = 0,      // staged, size and digest checked, stamped
    eDiscrepancy = 1, // the download cannot be read in full, or has another size or digest
    eNotStaged = 2,   // the staged file could not be written: the caller reads the content into memory
};

// One download being copied to its staged file block by block, its size
// checked; the caller hashes each block between its read and its write.
// No write or delete sharing on the download: while it is copied nobody can change it.
class CStageCopy
{
public:
    // Opens the download at source, checks its size against size and creates
    // the staged file at stagedPath. eStaged: ready for the blocks.
    eStageResult Open(const std::wstring& source, int64_t size, const std::wstring& stagedPath, CStagedFile* staged);
    bool Done() const { return m_done == m_size; }
    // Reads the next block (at most capacity bytes, none past the size);
    // false on a failed or empty read, a discrepancy.
    bool Read(unsigned char* buffer, size_t capacity, DWORD* read);
    // Writes a block that was read; false when the staged file cannot take it.
    bool Write(const unsigned char* buffer, DWORD size);
    // After the last block: true when the download has not grown since it
    // was measured; the staged file is then stamped with modified.
    bool Finish(int64_t modified, std::vector<unsigned char>& buffer);

private:
    CHandle m_download;
    CStagedFile* m_staged = nullptr;
    int64_t m_size = 0;
    int64_t m_done = 0;
};

// Copies the download at source into staged (created at stagedPath), reading
// it through buffer. size: the manifest's size; md5: 32 hexadecimal digits to
// check, or empty; modified: the manifest's time stamp.
eStageResult StageDownload(const std::wstring& source, int64_t size, const std::string& md5, int64_t modified,
                           const std::wstring& stagedPath, std::vector<unsigned char>& buffer, CStagedFile* staged);
