#include "update/StagedFile.h"

#include "update/KillPoint.h"
#include "update/ReplaceFault.h"
#include "update/ManifestFormat.h"

#include "platform/FileHelpers.h"
#include "platform/FilePatch.h"
#include "platform/Md5.h"
#include "platform/NativeFile.h"

#include <algorithm>
#include <cstring>
#include <utility>

bool ManifestFileTime(int64_t modified, LARGE_INTEGER* value)
{
    FILETIME time{};
    if (!TimeStampToFileTime(modified, &time))
        return false;
    value->LowPart = time.dwLowDateTime;
    value->HighPart = static_cast<LONG>(time.dwHighDateTime);
    return true;
}

bool CStagedFile::Create(const std::wstring& path)
{
    Discard();
    m_path = path;
    if (InjectedFault(eStepCreateNew, path.c_str()))
        return false;
    // A name that exists is never ours: it is not overwritten.
    m_file.Reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    PassKillPoint(eKillStage);
    return m_file.IsValid();
}

bool CStagedFile::RenameTo(const std::wstring& path, bool replace, CHandle* released)
{
    // The name is taken as the system gets it: a length in bytes, no terminator needed.
    std::vector<unsigned char> block(sizeof(FILE_RENAME_INFO) + path.size() * sizeof(wchar_t));
    FILE_RENAME_INFO* info = reinterpret_cast<FILE_RENAME_INFO*>(block.data());
    info->ReplaceIfExists = replace ? TRUE : FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(path.size() * sizeof(wchar_t));
    std::memcpy(info->FileName, path.c_str(), path.size() * sizeof(wchar_t));
    if (!SetFileInformationByHandle(m_file.Get(), FileRenameInfo, info, static_cast<DWORD>(block.size())))
        return false;
    if (released != nullptr)
        *released = std::move(m_file);
    else
        m_file.Close();
    return true;
}

bool CStagedFile::LinkTo(const std::wstring& path, CHandle* released)
{
    const NTSTATUS status = LinkOpenFile(m_file.Get(), path);
    if (status != 0) {
        SetLastErrorFromStatus(status);
        return false;
    }
    if (released != nullptr)
        *released = std::move(m_file);
    else
        m_file.Close();
    return true;
}

void CStagedFile::Discard()
{
    if (!m_file)
        return;
    const DWORD saved = GetLastError();
    FILE_DISPOSITION_INFO disposition{TRUE};
    SetFileInformationByHandle(m_file.Get(), FileDispositionInfo, &disposition, sizeof(disposition));
    m_file.Close();
    SetLastError(saved);
}

namespace {

// The manifest's time on every time of the staged file, in one call; the
// attributes stay (0: unchanged). A stamp outside what the time conversions
// accept leaves the times as written.
DWORD StampTimes(HANDLE file, int64_t modified)
{
    LARGE_INTEGER value{};
    if (!ManifestFileTime(modified, &value))
        return 0;
    FILE_BASIC_INFO info{};
    SetAllTimes(info, value);
    info.FileAttributes = 0;
    if (!SetFileInformationByHandle(file, FileBasicInfo, &info, sizeof(info)))
        return LastErrorOr(ERROR_GEN_FAILURE);
    return 0;
}

} // namespace

void CStagedFile::Stamp(int64_t modified)
{
    stampError = InjectedFault(eStepStampNew, m_path.c_str()) ? LastErrorOr(ERROR_GEN_FAILURE)
                                                               : StampTimes(m_file.Get(), modified);
}

CStageCopy::eOpened CStageCopy::OpenDownload(const std::wstring& source, int64_t size)
{
    m_size = size;
    m_done = 0;
    m_endSeen = false;
    m_download.Reset(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!m_download)
        return eNotOpened;
    LARGE_INTEGER length{};
    if (!GetFileSizeEx(m_download.Get(), &length) || length.QuadPart != size)
        return eOtherSize;
    return eOpenedDownload;
}

bool StageEmpty(const std::wstring& stagedPath, int64_t modified, CStagedFile* staged)
{
    if (!staged->Create(stagedPath))
        return false;
    staged->Stamp(modified);
    return true;
}

bool CStageCopy::CreateStaged(const std::wstring& stagedPath, CStagedFile* staged)
{
    m_staged = staged;
    return staged->Create(stagedPath);
}

bool CStageCopy::Read(unsigned char* buffer, size_t capacity, DWORD* read)
{
    const int64_t left = m_size - m_done;
    // When the rest fits, one byte more is asked for: the end of the download
    // is then seen by this read, without one more read at the finish.
    const bool lookPastEnd = left < static_cast<int64_t>(capacity);
    const DWORD want = static_cast<DWORD>(lookPastEnd ? left + 1 : static_cast<int64_t>(capacity));
    *read = 0;
    if (!ReadFile(m_download.Get(), buffer, want, read, nullptr) || *read == 0 || *read > left)
        return false;
    m_endSeen = lookPastEnd && *read == left;
    m_done += *read;
    return true;
}

bool CStageCopy::Write(const unsigned char* buffer, DWORD size)
{
    DWORD written = 0;
    if (InjectedFault(eStepWriteNew, m_staged->Path().c_str()))
        return false;
    const bool ok = WriteFile(m_staged->Get(), buffer, size, &written, nullptr) && written == size;
    PassKillPoint(eKillStage);
    return ok;
}

bool CStageCopy::Finish(int64_t modified, std::vector<unsigned char>& buffer)
{
    // A download that grew past its size since it was measured is not what was described.
    DWORD extra = 0;
    if (!m_endSeen && (!ReadFile(m_download.Get(), buffer.data(), 1, &extra, nullptr) || extra != 0))
        return false;
    m_download.Close();
    m_staged->Stamp(modified);
    return true;
}

namespace {

// Hashes the blocks of one copy on a thread of its own: for a large file,
// hashing keeps one core busy and reading and writing another, side by side
// instead of one after the other. The copying thread fills a free block,
// writes it and hands it over; the hashing thread hashes it and frees it.
class CHashPipeline
{
public:
    static constexpr int kSlots = 4;
    static constexpr size_t kBlockBytes = 1 << 20;

    ~CHashPipeline() { Finish(); }

    // False when the thread cannot be had: the caller then hashes itself.
    bool Start()
    {
        m_free.Reset(CreateSemaphoreW(nullptr, kSlots, kSlots, nullptr));
        m_filled.Reset(CreateSemaphoreW(nullptr, 0, kSlots, nullptr));
        if (!m_free || !m_filled)
            return false;
        for (Slot& slot : m_slots)
            slot.data.resize(kBlockBytes);
        m_thread.Reset(CreateThread(nullptr, 0, &Run, this, 0, nullptr));
        return m_thread.IsValid();
    }

    // Waits for a free block to read into.
    unsigned char* NextFree()
    {
        WaitForSingleObject(m_free.Get(), INFINITE);
        return m_slots[m_next].data.data();
    }
    // Hands the block last given by NextFree over for hashing; 0 bytes end the stream.
    void Filled(DWORD size)
    {
        m_ended = size == 0;
        m_slots[m_next].size = size;
        m_next = (m_next + 1) % kSlots;
        ReleaseSemaphore(m_filled.Get(), 1, nullptr);
    }
    // Ends the stream and waits for the thread; the digest as hexadecimal
    // digits, empty when hashing failed.
    std::string Finish()
    {
        if (!m_thread)
            return std::string();
        if (!m_ended) {
            NextFree();
            Filled(0);
        }
        WaitForSingleObject(m_thread.Get(), INFINITE);
        m_thread.Close();
        return m_ok ? m_digest.FinishHex() : std::string();
    }

private:
    struct Slot
    {
        std::vector<unsigned char> data;
        DWORD size = 0;
    };

    static DWORD WINAPI Run(void* context)
    {
        CHashPipeline& pipeline = *static_cast<CHashPipeline*>(context);
        for (int index = 0;; index = (index + 1) % kSlots) {
            WaitForSingleObject(pipeline.m_filled.Get(), INFINITE);
            const Slot& slot = pipeline.m_slots[index];
            if (slot.size == 0)
                return 0;
            if (pipeline.m_ok && !pipeline.m_digest.Update(slot.data.data(), slot.size))
                pipeline.m_ok = false;
            ReleaseSemaphore(pipeline.m_free.Get(), 1, nullptr);
        }
    }

    Slot m_slots[kSlots];
    int m_next = 0;
    CHandle m_free;
    CHandle m_filled;
    CHandle m_thread;
    CMd5 m_digest;
    bool m_ok = true;
    bool m_ended = false;
};

// Checked files from this size on are hashed on a thread of their own.
constexpr int64_t kPipelineMinBytes = 8 << 20;

// The copy of an open download with its MD5 taken by a hashing thread;
// eDiscrepancy also for a digest that differs or could not be taken.
eStageResult StagePipelined(CStageCopy& copy, CHashPipeline& hasher, const std::string& md5, int64_t modified,
                            std::vector<unsigned char>& buffer, CStagedFile* staged, StagedProgressFn progress,
                            void* context)
{
    int64_t written = 0;
    while (!copy.Done()) {
        unsigned char* block = hasher.NextFree();
        DWORD read = 0;
        if (!copy.Read(block, CHashPipeline::kBlockBytes, &read)) {
            hasher.Filled(0);
            return eDiscrepancy;
        }
        // Written before it is handed over: the hashing thread only reads it.
        const bool ok = copy.Write(block, read);
        hasher.Filled(read);
        if (!ok)
            return eNotStaged;
        written += read;
        if (progress != nullptr)
            progress(context, staged->Get(), written);
    }
    const bool whole = copy.Finish(modified, buffer);
    return whole && SameMd5Digest(hasher.Finish(), md5) ? eStaged : eDiscrepancy;
}

} // namespace

eStageResult StageDownload(CStageCopy& copy, const std::string& md5, int64_t modified, const std::wstring& stagedPath,
                           std::vector<unsigned char>& buffer, CStagedFile* staged, StagedProgressFn progress,
                           void* context)
{
    if (!copy.CreateStaged(stagedPath, staged))
        return eNotStaged;
    const bool check = IsMd5Digest(md5);
    if (check && copy.Size() >= kPipelineMinBytes) {
        CHashPipeline hasher;
        if (hasher.Start()) {
            const eStageResult result =
                StagePipelined(copy, hasher, md5, modified, buffer, staged, progress, context);
            if (result != eStaged)
                staged->Discard();
            return result;
        }
    }
    CMd5 digest;
    int64_t written = 0;
    while (!copy.Done()) {
        DWORD read = 0;
        // Hashed while the block is still in the cache from its read.
        if (!copy.Read(buffer.data(), buffer.size(), &read) || (check && !digest.Update(buffer.data(), read))) {
            staged->Discard();
            return eDiscrepancy;
        }
        if (!copy.Write(buffer.data(), read)) {
            staged->Discard();
            return eNotStaged;
        }
        written += read;
        if (progress != nullptr)
            progress(context, staged->Get(), written);
    }
    if (!copy.Finish(modified, buffer) || (check && !SameMd5Digest(digest.FinishHex(), md5))) {
        staged->Discard();
        return eDiscrepancy;
    }
    return eStaged;
}

eStageResult StageRebuilt(const std::wstring& download, int64_t downloadSize, const std::wstring& base, int64_t newSize,
                          const std::string& md5, int64_t modified, const std::wstring& stagedPath,
                          CStagedFile* staged, DWORD* code)
{
    // Nobody may change what the file is built from while it is built.
    CHandle source(CreateFileW(download.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size{};
    if (!source || !GetFileSizeEx(source.Get(), &size) || (downloadSize >= 0 && size.QuadPart != downloadSize))
        return eDiscrepancy;
    CHandle installed;
    if (!base.empty()) {
        installed.Reset(CreateFileW(base.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!installed)
            return eDiscrepancy;
    }
    if (newSize < 0 || !staged->Create(stagedPath)) {
        *code = LastErrorOr(ERROR_WRITE_FAULT);
        return eNotStaged;
    }
    std::string built;
    const CRebuildResult result = RebuildFile(source.Get(), installed ? installed.Get() : nullptr, staged->Get(),
                                              static_cast<uint64_t>(newSize), &built);
    PassKillPoint(eKillStage);
    if (result.status == eOutputFailed || InjectedFault(eStepWriteNew, stagedPath.c_str())) {
        *code = result.status == eOutputFailed && result.error != 0 ? result.error : LastErrorOr(ERROR_WRITE_FAULT);
        staged->Discard();
        return eNotStaged;
    }
    if (!result.Ok() || (IsMd5Digest(md5) && !SameMd5Digest(built, md5))) {
        staged->Discard();
        return eDiscrepancy;
    }
    staged->Stamp(modified);
    return eStaged;
}
