#pragma once
// A new file's content staged in the run's folder in the application folder
// (see AppFileReplacement.h), before any application file is touched: copied
// from the download in one pass that checks its size (and its MD5 when the
// manifest gives one) and stamps it with the manifest's time. The staged file
// is held open without sharing until the swap gives it the application
// file's name, so nothing can change it between the check and the swap; one
// that is never swapped in is deleted.
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
    // Code of a failed stamping with the manifest's time (0: stamped), for
    // the warning the replacement logs in its place.
    DWORD stampError = 0;

    // Creates the file at path (no sharing, rights to rename and delete it);
    // fails when the name exists.
    bool Create(const std::wstring& path);
    const std::wstring& Path() const { return m_path; }
    // Stamps the file with the manifest's time modified; a failure is kept
    // in stampError.
    void Stamp(int64_t modified);
    // Renames the held file to path, which must not exist unless replace is
    // set; on success the file is no longer ours: its handle is closed, or
    // handed to released for the caller to close. False with the last-error value.
    bool RenameTo(const std::wstring& path, bool replace = false, CHandle* released = nullptr);
    // Gives the held file path as a second name (a hard link), which must not
    // exist; on success the file is no longer ours, as after RenameTo, while
    // its staged name stays a name of it: whoever finds both names on one
    // file knows it is the one staged. False with the last-error value
    // (ERROR_NOT_SUPPORTED and the like where the volume has no links).
    bool LinkTo(const std::wstring& path, CHandle* released = nullptr);
    // Deletes the file if it is still ours.
    void Discard();

private:
    CHandle m_file;
    std::wstring m_path;
};

// Size of the block a download is copied through.
constexpr size_t kStageBufferBytes = 256 << 10;

enum eStageResult
{
    eStaged = 0,      // staged, size and digest checked, stamped
    eDiscrepancy = 1, // the download cannot be read in full, or has another size or digest
    eNotStaged = 2,   // the staged file could not be written: the update is refused
};

// One download being copied to its staged file block by block, its size
// checked; the caller hashes each block between its read and its write.
// No write or delete sharing on the download: while it is copied nobody can change it.
class CStageCopy
{
public:
    enum eOpened
    {
        eOpenedDownload, // open, of the expected size
        eOtherSize,      // open, of another size
        eNotOpened,      // cannot be opened (last-error value: why)
    };
    // Opens the download at source and checks its size against size.
    eOpened OpenDownload(const std::wstring& source, int64_t size);
    // Creates the staged file at stagedPath for an open download; false with
    // the last-error value.
    bool CreateStaged(const std::wstring& stagedPath, CStagedFile* staged);
    bool Done() const { return m_done == m_size; }
    int64_t Size() const { return m_size; }
    // Reads the next block (at most capacity bytes, none past the size);
    // false on a failed or empty read, or when the download turns out to be
    // longer than its size: a discrepancy.
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
    // The last read asked for a byte past the size and found the end.
    bool m_endSeen = false;
};

// Stages an empty file, which needs no download, at stagedPath, stamped with
// modified; false with the last-error value when it cannot be created.
bool StageEmpty(const std::wstring& stagedPath, int64_t modified, CStagedFile* staged);

// Builds a new file of newSize bytes into staged, created at stagedPath, from
// a small download: its compressed file (base empty) or a patch against the
// installed file at base. The download must be of downloadSize bytes (when
// not negative); md5 (32 hexadecimal digits, or empty) is checked on the
// result; modified: the manifest's time stamp. The download and the base are
// held against writers while the file is built. eNotStaged (code) when the
// staged file cannot be written.
eStageResult StageRebuilt(const std::wstring& download, int64_t downloadSize, const std::wstring& base, int64_t newSize,
                          const std::string& md5, int64_t modified, const std::wstring& stagedPath,
                          CStagedFile* staged, DWORD* code);

// Called after each block written to the staged file, with the bytes written so far.
using StagedProgressFn = void (*)(void* context, HANDLE staged, int64_t written);

// Copies the open download of copy (OpenDownload) into staged, created at
// stagedPath, reading it through buffer. md5: 32 hexadecimal digits to check,
// or empty; modified: the manifest's time stamp; progress (optional) is told
// of every block written.
eStageResult StageDownload(CStageCopy& copy, const std::string& md5, int64_t modified, const std::wstring& stagedPath,
                           std::vector<unsigned char>& buffer, CStagedFile* staged,
                           StagedProgressFn progress = nullptr, void* context = nullptr);
