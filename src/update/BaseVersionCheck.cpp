#include "update/BaseVersionCheck.h"

#include "update/ManifestFormat.h"
#include "update/UpdateMessages.h"

#include "platform/Handles.h"
#include "platform/Md5Lanes.h"
#include "platform/PathRules.h"
#include "platform/TextConversion.h"

#include <easylogging++.h>

#include <windows.h>

#include <algorithm>
#include <vector>

namespace {

// Files named one by one; past these, one line with the count.
constexpr size_t kShown = 5;
constexpr size_t kBlockBytes = 256 << 10;

// A file whose content is still to be hashed, open for reading.
struct CHashJob
{
    size_t index; // in the record
    CHandle file;
    int64_t size;
};

// Why the installed file is not the base version's, as far as its name,
// presence and size tell; empty when those match. hash: set when its MD5 is
// to be compared (the file is then open in file).
std::wstring FirstDifference(const std::wstring& folder, const CBaseFile& file, bool* hash, CHandle* opened)
{
    *hash = false;
    // A name that a manifest may not use is never opened (a device would block).
    if (!StaysInside(file.name) || NamesDevice(file.name))
        return L"недопустимое имя";
    const std::wstring path = folder + file.name;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return L"файл отсутствует";
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return L"на месте файла находится папка";
    const int64_t size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (size != file.size)
        return L"размер " + std::to_wstring(size) + L" байт вместо " + std::to_wstring(file.size);
    if (!IsMd5Digest(file.md5))
        return std::wstring();
    opened->Reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!*opened) {
        const DWORD code = GetLastError();
        // Held open by the application, which still runs at the load: its
        // size is that of the base version, and nothing of it changes.
        if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION) {
            LOG(WARNING) << ToLogText(UpdateMessages::kBaseUnread + file.name);
            return std::wstring();
        }
        return L"не удалось прочитать, код " + std::to_wstring(code);
    }
    *hash = true;
    return std::wstring();
}

// Hashes the jobs' contents four side by side (as staging hashes small
// files), a block of each at a time, and sets the reason of each whose MD5
// is not the record's. The memory is the four blocks, whatever the sizes.
void HashSideBySide(std::vector<CHashJob>& jobs, const CBaseRecord& record, std::vector<std::wstring>* reasons)
{
    CMd5Lanes md5;
    struct Lane
    {
        CHashJob* job = nullptr;
        int64_t done = 0;
        std::vector<unsigned char> buffer;
        DWORD read = 0;
    } lanes[CMd5Lanes::kLanes];
    for (Lane& lane : lanes)
        lane.buffer.resize(kBlockBytes);
    size_t next = 0;
    const auto settle = [&](int index, bool whole) {
        Lane& lane = lanes[index];
        const CBaseFile& file = record.files[lane.job->index];
        const std::string found = md5.FinishHex(index);
        if (!whole)
            (*reasons)[lane.job->index] = L"не удалось прочитать, код " + std::to_wstring(GetLastError());
        else if (!SameMd5Digest(found, file.md5))
            (*reasons)[lane.job->index] = L"MD5 " + AnsiToWide(found) + L" вместо " + AnsiToWide(file.md5);
        lane.job->file.Close();
        lane.job = nullptr;
    };
    for (;;) {
        bool busy = false;
        for (int index = 0; index < CMd5Lanes::kLanes; ++index) {
            if (lanes[index].job == nullptr && next < jobs.size()) {
                lanes[index].job = &jobs[next++];
                lanes[index].done = 0;
                md5.Reset(index);
            }
            busy = busy || lanes[index].job != nullptr;
        }
        if (!busy)
            return;
        const unsigned char* data[CMd5Lanes::kLanes] = {};
        DWORD common = 0;
        bool first = true;
        for (int index = 0; index < CMd5Lanes::kLanes; ++index) {
            Lane& lane = lanes[index];
            if (lane.job == nullptr)
                continue;
            if (lane.done == lane.job->size) {
                settle(index, true);
                continue;
            }
            if (!ReadFile(lane.job->file.Get(), lane.buffer.data(), static_cast<DWORD>(lane.buffer.size()), &lane.read,
                          nullptr) ||
                lane.read == 0) {
                settle(index, false);
                continue;
            }
            lane.done += lane.read;
            data[index] = lane.buffer.data();
            common = first ? lane.read : std::min(common, lane.read);
            first = false;
        }
        md5.UpdateTogether(data, common);
        for (int index = 0; index < CMd5Lanes::kLanes; ++index) {
            if (data[index] != nullptr && lanes[index].read > common)
                md5.Update(index, lanes[index].buffer.data() + common, lanes[index].read - common);
        }
    }
}

} // namespace

CBaseRecord ReadBaseRecord(const pugi::xml_node& update)
{
    using namespace ManifestNames;
    CBaseRecord record;
    const pugi::xml_node base = update.child(kBase);
    if (!base)
        return record;
    record.present = true;
    record.version = base.attribute(kBaseVersion).as_string();
    for (const pugi::xml_node& element : base.children(kBaseFile)) {
        CBaseFile file;
        file.name = element.attribute(kFileName).as_string();
        file.size = element.attribute(kSizeByte).as_llong(-1);
        file.md5 = WideToAnsi(element.attribute(kMd5).as_string());
        record.files.push_back(file);
    }
    return record;
}

size_t CheckBaseVersion(const std::wstring& folder, const CBaseRecord& record)
{
    using namespace UpdateMessages;
    const ULONGLONG start = GetTickCount64();
    std::vector<std::wstring> reasons(record.files.size());
    std::vector<CHashJob> jobs;
    uint64_t bytes = 0;
    for (size_t i = 0; i < record.files.size(); ++i) {
        bool hash = false;
        CHandle file;
        reasons[i] = FirstDifference(folder, record.files[i], &hash, &file);
        if (hash) {
            bytes += static_cast<uint64_t>(record.files[i].size);
            jobs.push_back(CHashJob{i, std::move(file), record.files[i].size});
        }
    }
    HashSideBySide(jobs, record, &reasons);
    size_t differing = 0;
    for (size_t i = 0; i < record.files.size(); ++i) {
        if (reasons[i].empty())
            continue;
        if (++differing <= kShown)
            LOG(ERROR) << ToLogText(kBaseDiffers + record.files[i].name + L": " + reasons[i]);
    }
    if (differing > kShown)
        LOG(ERROR) << ToLogText(kBaseDiffersMore) << differing - kShown;
    LOG(INFO) << ToLogText(kBaseChecked) << record.files.size() << ToLogText(L", байт ") << bytes
              << ToLogText(L" за ") << GetTickCount64() - start << ToLogText(L" мс");
    return differing;
}
