#include "update/UpdateStaging.h"

#include "update/ManifestFormat.h"

#include "platform/FileHelpers.h"
#include "platform/Handles.h"
#include "platform/Md5Lanes.h"

#include <algorithm>

namespace {

enum eDownload
{
    eFound,
    eNoDownload,
    eOtherSize,
};

// Finds the item's download (path: its full name) and compares its size with the manifest's.
eDownload LocateDownload(const CUpdateFileItem& item, const std::wstring& updateFolder, std::wstring* path)
{
    const std::wstring source = FindDownloadW(updateFolder, item.FileNameW(), item.TempFileNameW());
    if (source.empty())
        return eNoDownload;
    *path = source;
    return GetFileSizeByName(*path) == static_cast<uint64_t>(item.sizeBytes) ? eFound : eOtherSize;
}

// Finds the download of one item and stages it at stagedPath: eDiscrepancy
// for another size, a file that changed or could not be read after its size
// matched, or content whose MD5 differs from the item's digest (a corrupted
// download of the right size must not be installed); eNotStaged (code: the
// system's) when the staged file cannot be written. A missing download
// leaves the item without content (it was checked to be of size 0).
// Nothing of a download is held in memory beyond the block buffer.
// Logs nothing: it may run on a helper thread.
eStageResult LoadItemContent(CUpdateFileItem& item, const std::wstring& updateFolder, const std::wstring& stagedPath,
                             std::vector<unsigned char>& buffer, DWORD* code)
{
    std::wstring widePath;
    const eDownload download = LocateDownload(item, updateFolder, &widePath);
    if (download != eFound)
        return download == eNoDownload ? eStaged : eDiscrepancy;
    const eStageResult staged =
        StageDownload(widePath, item.sizeBytes, item.md5, item.modified, stagedPath, buffer, &item.staged);
    if (staged == eNotStaged)
        *code = LastErrorOr(ERROR_WRITE_FAULT);
    return staged;
}


struct CContentJobs
{
    std::vector<CContentJob>* jobs;
    const std::wstring* updateFolder;
    LONG next;
    HANDLE jobDone; // auto-reset, set after each job
};

void JobDone(CContentJobs& shared, CContentJob& job, eStageResult result, DWORD code = 0)
{
    job.result = result;
    job.code = code;
    InterlockedExchange(&job.done, 1);
    SetEvent(shared.jobDone);
}

// Files up to this size whose digest is to be checked are staged side by
// side, up to four at a time, their blocks hashed together (see Md5Lanes.h).
// Larger ones are staged alone: hashed by the system's provider they are as
// fast, and they would keep a lane busy long after the files around them.
constexpr int64_t kLaneMaxBytes = 32 << 20;

bool GoesInALane(const CContentJob& job)
{
    return !job.stagedPath.empty() && IsMd5Digest(job.item->md5) && job.item->sizeBytes >= 0 &&
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
    // download, a discrepancy, or content read into memory instead).
    bool Start(int index, CContentJob& job)
    {
        CUpdateFileItem& item = *job.item;
        std::wstring widePath;
        const eDownload download = LocateDownload(item, *m_shared.updateFolder, &widePath);
        if (download != eFound) {
            // No download: nothing to stage (its size was checked to be 0).
            JobDone(m_shared, job, download == eNoDownload ? eStaged : eDiscrepancy);
            return false;
        }
        CLane& lane = m_lanes[index];
        const eStageResult opened = lane.copy.Open(widePath, item.sizeBytes, job.stagedPath, &item.staged);
        if (opened != eStaged) {
            lane.copy = CStageCopy(); // lets go of the download
            Settle(job, opened);
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
                    LoadItemContent(*job->item, *shared.updateFolder, job->stagedPath, buffer, &code);
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

// Writes each staged file out to the disk as soon as it is complete, while the
// workers copy the next ones: mostly waiting for the disk, it costs them
// little. Otherwise the rename over the old file would wait for that writing
// (the file system writes a file's pending data out when the file replaces
// another by rename), one file after the other, after the application has been
// ended. And the new content is then on the disk before it replaces the old.
DWORD WINAPI FlushStagedWorker(void* context)
{
    CContentJobs& shared = *static_cast<CContentJobs*>(context);
    for (CContentJob& job : *shared.jobs) {
        while (InterlockedCompareExchange(&job.done, 0, 0) == 0)
            WaitForSingleObject(shared.jobDone, 50);
        // A failed flush leaves the data to be written later, as without it.
        if (job.result == eStaged && job.item->staged.IsStaged())
            FlushFileBuffers(job.item->staged.Get());
    }
    return 0;
}

} // namespace

void StageDownloads(std::vector<CContentJob>& jobs, const std::wstring& updateFolder)
{
    CHandle jobDone(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    CContentJobs shared{&jobs, &updateFolder, 0, jobDone.Get()};
    CHandle flusher;
    if (jobDone)
        flusher.Reset(CreateThread(nullptr, 0, &FlushStagedWorker, &shared, 0, nullptr));
    CHandle helper;
    if (jobs.size() > 1)
        helper.Reset(CreateThread(nullptr, 0, &LoadContentWorker, &shared, 0, nullptr));
    // Without a helper thread the work is simply done on this one.
    LoadContentWorker(&shared);
    if (helper)
        WaitForSingleObject(helper.Get(), INFINITE);
    if (flusher)
        WaitForSingleObject(flusher.Get(), INFINITE);
}
