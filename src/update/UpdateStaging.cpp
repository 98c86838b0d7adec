#include "update/UpdateStaging.h"

#include "update/ManifestFormat.h"

#include "platform/FileHelpers.h"
#include "platform/HandleQueue.h"
#include "platform/Handles.h"
#include "platform/Md5Lanes.h"

#include <algorithm>
#include <deque>
#include <utility>
#include <vector>

namespace {

enum eDownload
{
    eFound,
    eNoDownload,
    eOtherSize,
};

// Opens the item's download into copy and compares its size with the
// manifest's. The download is opened by its name at once; only when that
// fails is it looked for as the manifest allows (its temporary name, a folder
// under its name), so most items cost one lookup in the update folder.
eDownload OpenItemDownload(const CUpdateFileItem& item, const std::wstring& updateFolder, CStageCopy& copy)
{
    switch (copy.OpenDownload(updateFolder + item.FileNameW(), item.sizeBytes)) {
    case CStageCopy::eOpenedDownload:
        return eFound;
    case CStageCopy::eOtherSize:
        return eOtherSize;
    case CStageCopy::eNotOpened:
        break;
    }
    const std::wstring source = FindDownloadW(updateFolder, item.FileNameW(), item.TempFileNameW());
    // Only an empty file needs no download; the load refuses any other
    // without one, and staging never takes it for an empty one.
    if (source.empty())
        return item.sizeBytes == 0 ? eNoDownload : eOtherSize;
    // Found but not to be opened, or of another size: a discrepancy either way.
    return copy.OpenDownload(source, item.sizeBytes) == CStageCopy::eOpenedDownload ? eFound : eOtherSize;
}

// How many threads write staged files out to the disk while the workers copy
// the next ones. Mostly waiting for the disk, they cost the
// workers little, and several at once let the file system write many small
// files out in one go instead of one after the other. Otherwise the rename
// over the old file would wait for that writing (the file system writes a
// file's pending data out when the file replaces another by rename), one file
// after the other, after the application has been ended. And the new content
// is then on the disk before it replaces the old.
constexpr int kFlushThreads = 8;

// A large file is written out while it is copied, a part at a time, rather
// than all of it after its last block.
constexpr int64_t kFlushPartBytes = 64 << 20;

void FlushPart(void* context, HANDLE staged, int64_t written)
{
    if (written % kFlushPartBytes >= static_cast<int64_t>(kStageBufferBytes) || written < kFlushPartBytes)
        return;
    // A duplicate handle is the queue's own, so the file may be let go of meanwhile.
    HANDLE duplicated = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), staged, GetCurrentProcess(), &duplicated, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return; // written out with the rest of the file
    static_cast<CHandleQueue*>(context)->Push(duplicated, CHandle(duplicated));
}

// Finds the download of one item and stages it at stagedPath: eDiscrepancy
// for another size, a file that changed or could not be read after its size
// matched, or content whose MD5 differs from the item's digest (a corrupted
// download of the right size must not be installed); eNotStaged (code: the
// system's) when the staged file cannot be written. A missing download
// stages an empty file (the item was checked to be of size 0).
// Nothing of a download is held in memory beyond the block buffer.
// Logs nothing: it may run on a helper thread.
eStageResult LoadItemContent(CUpdateFileItem& item, const std::wstring& updateFolder, const std::wstring& targetFolder,
                             const std::wstring& stagedPath, std::vector<unsigned char>& buffer, CHandleQueue& flushes,
                             DWORD* code)
{
    if (item.source == eFromPacked)
        return StageRebuilt(updateFolder + item.packed.name, item.packed.size, std::wstring(), item.sizeBytes,
                            item.md5, item.modified, stagedPath, &item.staged, code);
    if (item.source == eFromPatch)
        return StageRebuilt(updateFolder + item.patch.name, item.patch.size, targetFolder + item.FileNameW(),
                            item.sizeBytes, item.md5, item.modified, stagedPath, &item.staged, code);
    CStageCopy copy;
    const eDownload download = OpenItemDownload(item, updateFolder, copy);
    if (download == eNoDownload && !StageEmpty(stagedPath, item.modified, &item.staged)) {
        *code = LastErrorOr(ERROR_WRITE_FAULT);
        return eNotStaged;
    }
    if (download != eFound)
        return download == eNoDownload ? eStaged : eDiscrepancy;
    const eStageResult staged =
        StageDownload(copy, item.md5, item.modified, stagedPath, buffer, &item.staged, &FlushPart, &flushes);
    if (staged == eNotStaged)
        *code = LastErrorOr(ERROR_WRITE_FAULT);
    return staged;
}


struct CContentJobs
{
    std::vector<CContentJob>* jobs;
    const std::wstring* updateFolder;
    const std::wstring* targetFolder;
    LONG next;
    CHandleQueue* flushes;
};

void JobDone(CContentJobs& shared, CContentJob& job, eStageResult result, DWORD code = 0)
{
    job.result = result;
    job.code = code;
    InterlockedExchange(&job.done, 1);
    if (result == eStaged && job.item->staged.IsStaged())
        shared.flushes->Push(job.item->staged.Get());
}

// Files up to this size whose digest is to be checked are staged side by
// side, up to four at a time, their blocks hashed together (see Md5Lanes.h).
// Larger ones are staged alone: hashed by the system's provider they are as
// fast, and they would keep a lane busy long after the files around them.
constexpr int64_t kLaneMaxBytes = 32 << 20;

bool GoesInALane(const CContentJob& job)
{
    // A file built from a small download is decoded, not copied.
    return !job.stagedPath.empty() && job.item->source == eFromWhole && IsMd5Digest(job.item->md5) &&
           job.item->sizeBytes >= 0 &&
           job.item->sizeBytes <= kLaneMaxBytes;
}

// One item being staged in a lane.
struct CLane
{
    CContentJob* job = nullptr;
    CStageCopy copy;
    std::vector<unsigned char> buffer;
    DWORD read = 0;
};

class CLaneStager
{
public:
    CLaneStager(CContentJobs& shared, std::vector<unsigned char>& buffer) : m_shared(shared), m_buffer(buffer)
    {
        for (CLane& lane : m_lanes)
            lane.buffer.resize(kStageBufferBytes);
    }

    bool IsFree(int index) const { return m_lanes[index].job == nullptr; }
    bool AnyBusy() const
    {
        for (const CLane& lane : m_lanes) {
            if (lane.job != nullptr)
                return true;
        }
        return false;
    }

    // Takes the job into the lane; false when it was settled at once (no
    // download, a discrepancy, or a staged file that could not be written).
    bool Start(int index, CContentJob& job)
    {
        CUpdateFileItem& item = *job.item;
        CLane& lane = m_lanes[index];
        const eDownload download = OpenItemDownload(item, *m_shared.updateFolder, lane.copy);
        if (download == eNoDownload && !StageEmpty(job.stagedPath, item.modified, &item.staged)) {
            Settle(job, eNotStaged);
            return false;
        }
        if (download != eFound) {
            lane.copy = CStageCopy(); // lets go of the download
            // No download: an empty file (its size was checked to be 0).
            JobDone(m_shared, job, download == eNoDownload ? eStaged : eDiscrepancy);
            return false;
        }
        if (!lane.copy.CreateStaged(job.stagedPath, &item.staged)) {
            lane.copy = CStageCopy();
            Settle(job, eNotStaged);
            return false;
        }
        lane.job = &job;
        m_md5.Reset(index);
        return true;
    }

    // Copies the next block of every busy lane, hashing the blocks together.
    void Step()
    {
        const unsigned char* data[CMd5Lanes::kLanes] = {};
        DWORD common = 0;
        bool first = true;
        for (int index = 0; index < CMd5Lanes::kLanes; ++index) {
            CLane& lane = m_lanes[index];
            if (lane.job == nullptr)
                continue;
            if (lane.copy.Done()) {
                lane.read = 0;
                continue;
            }
            if (!lane.copy.Read(lane.buffer.data(), lane.buffer.size(), &lane.read)) {
                End(index, eDiscrepancy);
                continue;
            }
            data[index] = lane.buffer.data();
            common = first ? lane.read : std::min(common, lane.read);
            first = false;
        }
        // Hashed while the blocks are still in the cache from their reads.
        m_md5.UpdateTogether(data, common);
        for (int index = 0; index < CMd5Lanes::kLanes; ++index) {
            CLane& lane = m_lanes[index];
            if (data[index] == nullptr)
                continue;
            if (lane.read > common)
                m_md5.Update(index, lane.buffer.data() + common, lane.read - common);
            if (!lane.copy.Write(lane.buffer.data(), lane.read))
                End(index, eNotStaged);
        }
        for (int index = 0; index < CMd5Lanes::kLanes; ++index) {
            CLane& lane = m_lanes[index];
            if (lane.job == nullptr || !lane.copy.Done())
                continue;
            const bool whole = lane.copy.Finish(lane.job->item->modified, m_buffer) &&
                               SameMd5Digest(m_md5.FinishHex(index), lane.job->item->md5);
            End(index, whole ? eStaged : eDiscrepancy);
        }
    }

private:
    void End(int index, eStageResult result)
    {
        CLane& lane = m_lanes[index];
        CContentJob& job = *lane.job;
        lane.job = nullptr;
        lane.copy = CStageCopy();
        Settle(job, result);
    }

    void Settle(CContentJob& job, eStageResult result)
    {
        const DWORD code = result == eNotStaged ? LastErrorOr(ERROR_WRITE_FAULT) : 0;
        if (result != eStaged)
            job.item->staged.Discard();
        JobDone(m_shared, job, result, code);
    }

    CContentJobs& m_shared;
    std::vector<unsigned char>& m_buffer;
    CLane m_lanes[CMd5Lanes::kLanes];
    CMd5Lanes m_md5;
};

CContentJob* NextJob(CContentJobs& shared)
{
    const LONG index = InterlockedIncrement(&shared.next) - 1;
    if (index < 0 || static_cast<size_t>(index) >= shared.jobs->size())
        return nullptr;
    return &(*shared.jobs)[static_cast<size_t>(index)];
}

// Reading, hashing and writing keeps one core busy; two workers keep a second
// core busy as well. Each takes the next item until none is left: into a free
// lane when it goes in one, otherwise loaded alone at once.
DWORD WINAPI LoadContentWorker(void* context)
{
    CContentJobs& shared = *static_cast<CContentJobs*>(context);
    std::vector<unsigned char> buffer(kStageBufferBytes);
    CLaneStager lanes(shared, buffer);
    bool more = true;
    for (;;) {
        for (int index = 0; index < CMd5Lanes::kLanes && more; ++index) {
            while (lanes.IsFree(index)) {
                CContentJob* job = NextJob(shared);
                if (job == nullptr) {
                    more = false;
                    break;
                }
                if (GoesInALane(*job)) {
                    lanes.Start(index, *job);
                    continue;
                }
                DWORD code = 0;
                const eStageResult result =
                    LoadItemContent(*job->item, *shared.updateFolder, *shared.targetFolder, job->stagedPath,
                                    buffer, *shared.flushes, &code);
                JobDone(shared, *job, result, code);
            }
        }
        if (!lanes.AnyBusy()) {
            if (!more)
                return 0;
            continue;
        }
        lanes.Step();
    }
}

} // namespace

void StageDownloads(std::vector<CContentJob>& jobs, const std::wstring& updateFolder, const std::wstring& targetFolder)
{
    CHandleQueue flushes;
    flushes.Start(kFlushThreads, &FlushFileBuffers);
    CContentJobs shared{&jobs, &updateFolder, &targetFolder, 0, &flushes};
    CHandle helper;
    if (jobs.size() > 1)
        helper.Reset(CreateThread(nullptr, 0, &LoadContentWorker, &shared, 0, nullptr));
    // Without a helper thread the work is simply done on this one.
    LoadContentWorker(&shared);
    if (helper)
        WaitForSingleObject(helper.Get(), INFINITE);
    flushes.Finish();
}
