// The update engine's object lifetime and the manifest loader: the run's
// settings and, for every file to install, its new content checked and staged
// beside the application file (or, where that cannot be done, read into memory).
#include "update/QXUpdate.h"

#include "update/ManifestFormat.h"
#include "update/UpdateMessages.h"

#include "platform/FileHelpers.h"
#include "platform/Handles.h"
#include "platform/Md5Lanes.h"
#include "platform/TextConversion.h"

#include <easylogging++.h>
#include <pugixml.hpp>

#include <algorithm>
#include <memory>
#include <set>
#include <vector>

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
        *code = GetLastError() != 0 ? GetLastError() : static_cast<DWORD>(ERROR_WRITE_FAULT);
    return staged;
}

// One item whose content is to be staged, and how that went.
struct CContentJob
{
    CUpdateFileItem* item;
    std::wstring stagedPath;
    eStageResult result;
    DWORD code; // of a staged file that could not be written
    LONG done;  // set, interlocked, once result is final
};

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
        const DWORD code = result == eNotStaged ? (GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT) : 0;
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

void LoadContents(std::vector<CContentJob>& jobs, const std::wstring& updateFolder)
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

} // namespace

CUpdateFileItem::~CUpdateFileItem()
{
    delete[] content;
}

CQXUpdate::~CQXUpdate()
{
    Reset();
}

void CQXUpdate::Reset()
{
    AbandonTransaction();
    for (CUpdateFileItem* item : files)
        delete item;
    files.clear();
    updateFolder.clear();
    targetFolder.clear();
    wideUpdateFolder.clear();
    wideTargetFolder.clear();
    wideAppToRun.clear();
    wideParams.clear();
    key.clear();
    appToRun.clear();
    params.clear();
    filesKey.clear();
}

namespace {

// True when name stays inside the folder it is appended to: no "..", no
// leading separator, no drive or stream (":").
bool StaysInside(const std::wstring& name)
{
    if (name.empty() || name[0] == L'\\' || name[0] == L'/' || name.find(L':') != std::wstring::npos)
        return false;
    size_t start = 0;
    for (;;) {
        const size_t end = name.find_first_of(L"\\/", start);
        std::wstring part = name.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        // Windows drops trailing dots and blanks: ". ." is ".." too.
        while (!part.empty() && (part.back() == L' ' || part.back() == L'.') && part != L"." && part != L"..")
            part.pop_back();
        if (part == L"..")
            return false;
        if (end == std::wstring::npos)
            return true;
        start = end + 1;
    }
}

// The name as Windows compares it within a folder: full path, upper case.
std::wstring ComparableName(const std::wstring& folder, const std::wstring& name)
{
    const std::wstring path = folder + name;
    std::wstring full(MAX_PATH, L'\0');
    DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    if (length >= full.size()) {
        full.resize(length);
        length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    }
    full.resize(length < full.size() ? length : 0);
    if (full.empty())
        full = path;
    CharUpperBuffW(&full[0], static_cast<DWORD>(full.size()));
    return full;
}

const char kEmptyMd5[] = "d41d8cd98f00b204e9800998ecf8427e";

} // namespace

bool CQXUpdate::CheckItems(size_t first)
{
    using namespace UpdateMessages;
    bool ok = true;
    const auto refuse = [&ok](const wchar_t* reason, const std::wstring& name) {
        LOG(ERROR) << ToLogText(kRefused + std::wstring(reason) + name);
        ok = false;
    };
    const std::wstring downloads = UpdateFolderW();
    const std::wstring folder = TargetFolderW();
    std::set<std::wstring> names;
    uint64_t needed = 0;
    for (size_t i = first; i < files.size(); ++i) {
        CUpdateFileItem& item = *files[i];
        if (!item.doUpdate && !item.doRemove)
            continue;
        const std::wstring name = item.FileNameW();
        const std::wstring tempName = item.TempFileNameW();
        if (!StaysInside(name) || (item.doUpdate && !tempName.empty() && !StaysInside(tempName))) {
            refuse(L"имя файла выходит за пределы папки: ", name);
            continue;
        }
        if (!names.insert(ComparableName(folder, name)).second) {
            refuse(L"файл указан в обновлении дважды: ", name);
            continue;
        }
        if (!item.doUpdate)
            continue;
        if (item.sizeBytes >= 0 && (static_cast<uint64_t>(item.sizeBytes) >> 32) != 0) {
            refuse(L"размер файла 4 ГиБ или больше: ", name);
            continue;
        }
        if (FindDownloadW(downloads, name, tempName).empty()) {
            if (item.sizeBytes != 0) {
                refuse(L"файл для установки не найден: ", name);
            } else if (IsMd5Digest(item.md5) && !SameMd5Digest(item.md5, kEmptyMd5)) {
                // The digest names other content than the empty file.
                item.downloadComplete = false;
                LOG(ERROR) << ToLogText(L"Обнаружено расхождение в данных файла: " + name);
                ok = false;
            }
            continue;
        }
        if (item.sizeBytes > 0)
            needed += static_cast<uint64_t>(item.sizeBytes);
    }
    if (!ok)
        return false;
    // The new files are staged beside the old ones until the commit: the
    // volume must hold both, or the run would fail half-way (and every retry too).
    ULARGE_INTEGER available{};
    if (needed > 0 && GetDiskFreeSpaceExW(folder.empty() ? nullptr : folder.c_str(), &available, nullptr, nullptr) &&
        available.QuadPart < needed) {
        LOG(ERROR) << ToLogText(kRefused) << ToLogText(L"недостаточно места на диске: нужно ") << needed
                   << ToLogText(L" байт, свободно ") << available.QuadPart << ToLogText(L" байт: " + folder);
        return false;
    }
    return true;
}

bool CQXUpdate::LoadUpdateInfoFromXmlFile(std::wstring path)
{
    using namespace ManifestNames;
    using namespace UpdateMessages;
    if (!FileExists(path))
        return false;
    pugi::xml_document document;
    if (!document.load_file(path.c_str()))
        return false;

    bool result = true;
    const pugi::xml_node update = document.child(kUpdate);
    const pugi::xml_node info = update.child(kInfo);
    if (!info) {
        result = false;
    } else {
        SetUpdateFolder(ManifestText(info.attribute(kUpdateFolder)));
        SetTargetFolder(ManifestText(info.attribute(kTargetFolder)));
        wideUpdateFolder = info.attribute(kUpdateFolder).as_string();
        wideTargetFolder = info.attribute(kTargetFolder).as_string();
        const std::string hexKey = ManifestText(info.attribute(kKey));
        std::vector<unsigned char> decoded(hexKey.size() / 2 + 1, 0);
        HexToBytes(hexKey, decoded.data());
        SetKey(std::string(reinterpret_cast<const char*>(decoded.data()), hexKey.size() / 2));
    }
    // Absent attributes (and a missing info element) read as empty, 0 or false.
    xKey = static_cast<uint8_t>(info.attribute(kXKey).as_int() & 0xFF);
    assignedVersion.ParseWide(info.attribute(kAssignedVersion).as_string());
    forceUpdateDate = info.attribute(kForceUpdateDate).as_llong();
    performDbBackup = info.attribute(kPerformDbBackup).as_bool();
    restartQuoteBench = info.attribute(kRestartQuoteBench).as_bool();
    appToRun = ManifestText(info.attribute(kAppToRun));
    params = ManifestText(info.attribute(kParams));
    wideAppToRun = info.attribute(kAppToRun).as_string();
    wideParams = info.attribute(kParams).as_string();
    key = UnmaskKey(key, std::string(1, static_cast<char>(xKey)));

    const pugi::xml_node filesElement = update.child(kFiles);
    if (!filesElement)
        return false;
    const int count = filesElement.attribute(kCount).as_int();
    filesKey = ManifestText(filesElement.attribute(kFilesKey));

    const size_t first = files.size();
    for (const pugi::xml_node& element : ItemElements(filesElement, count)) {
        auto item = std::make_unique<CUpdateFileItem>();
        item->fileName = ManifestText(element.attribute(kFileName));
        item->tempFileName = ManifestText(element.attribute(kTempFileName));
        item->wideFileName = element.attribute(kFileName).as_string();
        item->wideTempFileName = element.attribute(kTempFileName).as_string();
        item->md5 = ManifestText(element.attribute(kMd5));
        item->attributes = element.attribute(kAttr).as_uint();
        item->sizeBytes = element.attribute(kSizeByte).as_llong();
        item->modified = element.attribute(kModified).as_llong();
        item->downloadComplete = element.attribute(kDownloadComplete).as_bool();
        item->doUpdate = element.attribute(kIsUpdate).as_bool();
        item->doRemove = !item->doUpdate && element.attribute(kIsRemove).as_bool();
        files.push_back(item.get());
        item.release();
    }

    // An update that could only fail half-way is refused before anything is
    // touched. Then content is staged in the application folder once the
    // run's changes are planned and journaled; a load that has failed, or a
    // run whose journal cannot be written, stages nothing.
    if (info)
        RestoreLegacyBackups(first);
    if (result && !CheckItems(first))
        result = false;
    const bool stage = result && BeginTransaction();
    if (!stage)
        result = false;
    std::vector<CContentJob> jobs;
    for (size_t i = first; stage && i < files.size(); ++i) {
        CUpdateFileItem* item = files[i];
        if (item->doUpdate && item->change >= 0)
            jobs.push_back({item, journal.entries[static_cast<size_t>(item->change)].staged, eStaged, 0, 0});
    }
    LoadContents(jobs, UpdateFolderW());

    // Logged here, in the items' order, whichever thread loaded them.
    for (const CContentJob& job : jobs) {
        if (job.result == eStaged)
            continue;
        result = false;
        if (job.result == eNotStaged) {
            LOG(ERROR) << ToLogText(kRefused) << ToLogText(L"не удалось подготовить файл к установке: ")
                       << ToLogText(job.item->FileNameW()) << ToLogText(kCode) << job.code;
            continue;
        }
        job.item->downloadComplete = false;
        LOG(ERROR) << ToLogText(L"Обнаружено расхождение в данных файла: " + job.item->FileNameW());
    }
    // A run that will not replace anything leaves nothing staged behind: its
    // staged files and journal go when the object is reset or destroyed.
    return result;
}

std::string UnmaskKey(const std::string& data, const std::string& mask)
{
    if (data.empty() || mask.empty())
        return data;
    std::string result = data;
    unsigned rotation = 7;
    size_t maskIndex = 0;
    for (char& value : result) {
        const unsigned byte =
            static_cast<unsigned char>(~(static_cast<unsigned char>(value) ^ static_cast<unsigned char>(mask[maskIndex])));
        value = static_cast<char>(((byte << rotation) | (byte >> (8 - rotation))) & 0xFF);
        rotation = rotation == 1 ? 7 : rotation - 1;
        if (++maskIndex == mask.size())
            maskIndex = 0;
    }
    return result;
}
