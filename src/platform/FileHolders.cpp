#include "platform/FileHolders.h"

#include "platform/FileHelpers.h"
#include "platform/Handles.h"

#include <restartmanager.h>
#include <tlhelp32.h>

#include <winternl.h>

#include <algorithm>
#include <memory>
#include <thread>

namespace {

std::wstring FileNameOf(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

void AddHolder(std::vector<CFileHolder>* holders, DWORD processId, const std::wstring& imageName)
{
    for (const CFileHolder& holder : *holders) {
        if (holder.processId == processId)
            return;
    }
    holders->push_back(CFileHolder{imageName, processId});
}

// The processes that have any of paths among their modules.
void FindMappers(const std::vector<std::wstring>& paths, std::vector<CFileHolder>* holders)
{
    CHandle processes(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!processes)
        return;
    PROCESSENTRY32W process{};
    process.dwSize = sizeof(process);
    for (BOOL more = Process32FirstW(processes.Get(), &process); more; more = Process32NextW(processes.Get(), &process)) {
        if (process.th32ProcessID == 0)
            continue;
        // A process that ends meanwhile, or one of another session without
        // the rights, cannot be listed: it is passed over.
        CHandle modules(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, process.th32ProcessID));
        if (!modules)
            continue;
        MODULEENTRY32W module{};
        module.dwSize = sizeof(module);
        for (BOOL found = Module32FirstW(modules.Get(), &module); found; found = Module32NextW(modules.Get(), &module)) {
            const std::wstring modulePath = FullPathOf(module.szExePath);
            const bool holds = std::any_of(paths.begin(), paths.end(),
                                           [&](const std::wstring& path) { return SamePathText(path, modulePath); });
            if (holds) {
                AddHolder(holders, process.th32ProcessID, process.szExeFile);
                break;
            }
        }
    }
}

// The processes that the restart manager knows to hold any of paths open
// (it answers on Windows; elsewhere it may find none).
void AskRestartManager(const std::vector<std::wstring>& paths, std::vector<CFileHolder>* holders)
{
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    if (RmStartSession(&session, 0, key) != ERROR_SUCCESS)
        return;
    std::vector<LPCWSTR> names;
    for (const std::wstring& path : paths)
        names.push_back(path.c_str());
    if (RmRegisterResources(session, static_cast<UINT>(names.size()), names.data(), 0, nullptr, 0, nullptr) ==
        ERROR_SUCCESS) {
        std::vector<RM_PROCESS_INFO> found(16);
        for (int attempt = 0; attempt < 3; ++attempt) {
            UINT needed = 0;
            UINT count = static_cast<UINT>(found.size());
            DWORD reasons = 0;
            const DWORD result = RmGetList(session, &needed, &count, found.data(), &reasons);
            if (result == ERROR_MORE_DATA) {
                found.resize(needed + 4);
                continue;
            }
            if (result == ERROR_SUCCESS) {
                for (UINT i = 0; i < count; ++i) {
                    std::wstring image = FileNameOf(found[i].strAppName);
                    // The name the restart manager gives may be a display name:
                    // the image's own name is what the module lists give too.
                    CHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                                found[i].Process.dwProcessId));
                    wchar_t imagePath[MAX_PATH] = {};
                    DWORD length = MAX_PATH;
                    if (process && QueryFullProcessImageNameW(process.Get(), 0, imagePath, &length))
                        image = FileNameOf(imagePath);
                    AddHolder(holders, found[i].Process.dwProcessId, image);
                }
            }
            break;
        }
    }
    RmEndSession(session);
}

// A file's identity: the same for every name and every handle of it.
struct CFileIdentity
{
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool operator==(const CFileIdentity& other) const
    {
        return volume == other.volume && indexHigh == other.indexHigh && indexLow == other.indexLow;
    }
};

bool IdentityOf(HANDLE file, CFileIdentity* identity)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info))
        return false;
    *identity = CFileIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
}

// The system's handle table (extended form: full process ids and handle values).
struct CHandleEntry
{
    PVOID object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG access;
    USHORT creatorBackTraceIndex;
    USHORT typeIndex;
    ULONG attributes;
    ULONG reserved;
};
struct CHandleTable
{
    ULONG_PTR count;
    ULONG_PTR reserved;
    CHandleEntry entries[1];
};
const ULONG kSystemExtendedHandleInformation = 64;

using QuerySystemInformationFn = NTSTATUS(NTAPI*)(ULONG, PVOID, ULONG, PULONG);

// The processes with a handle open to any of the files identified. Reads the
// system's handle table, takes a copy of each file handle of another process
// and compares identities; only disk files are asked (a query of a pipe can
// wait for its pending read). Run on a thread of its own, bounded by the caller.
void FindOpenHandles(const std::vector<CFileIdentity>& files, std::vector<std::pair<DWORD, std::wstring>>* found)
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto query = ntdll != nullptr ? reinterpret_cast<QuerySystemInformationFn>(
                                              GetProcAddress(ntdll, "NtQuerySystemInformation"))
                                        : nullptr;
    if (query == nullptr)
        return;
    // A handle of our own to a disk file tells which type index files have.
    wchar_t module[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    CHandle probe(CreateFileW(module, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr));
    if (!probe)
        return;
    std::vector<unsigned char> table(1 << 20);
    for (;;) {
        ULONG needed = 0;
        const NTSTATUS status = query(kSystemExtendedHandleInformation, table.data(),
                                      static_cast<ULONG>(table.size()), &needed);
        if (status == 0)
            break;
        // STATUS_INFO_LENGTH_MISMATCH: the table grew; anything else: not to be had.
        if (static_cast<ULONG>(status) != 0xC0000004u || table.size() >= (256u << 20))
            return;
        table.resize(std::max<size_t>(table.size() * 2, needed + (64 << 10)));
    }
    const CHandleTable* handles = reinterpret_cast<const CHandleTable*>(table.data());
    const ULONG_PTR self = GetCurrentProcessId();
    USHORT fileType = 0;
    bool typeKnown = false;
    for (ULONG_PTR i = 0; i < handles->count; ++i) {
        const CHandleEntry& entry = handles->entries[i];
        if (entry.processId == self && entry.handle == reinterpret_cast<ULONG_PTR>(probe.Get())) {
            fileType = entry.typeIndex;
            typeKnown = true;
            break;
        }
    }
    if (!typeKnown)
        return;
    DWORD openedId = 0;
    CHandle process;
    for (ULONG_PTR i = 0; i < handles->count; ++i) {
        const CHandleEntry& entry = handles->entries[i];
        if (entry.typeIndex != fileType || entry.processId == self || entry.processId == 0)
            continue;
        const DWORD processId = static_cast<DWORD>(entry.processId);
        if (processId != openedId) {
            process.Reset(OpenProcess(PROCESS_DUP_HANDLE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
            openedId = processId;
        }
        if (!process)
            continue;
        HANDLE copy = nullptr;
        if (!DuplicateHandle(process.Get(), reinterpret_cast<HANDLE>(entry.handle), GetCurrentProcess(), &copy, 0,
                             FALSE, DUPLICATE_SAME_ACCESS))
            continue;
        CHandle owned(copy);
        CFileIdentity identity;
        if (GetFileType(owned.Get()) != FILE_TYPE_DISK || !IdentityOf(owned.Get(), &identity))
            continue;
        if (std::find(files.begin(), files.end(), identity) == files.end())
            continue;
        wchar_t image[MAX_PATH] = {};
        DWORD length = MAX_PATH;
        std::wstring name = QueryFullProcessImageNameW(process.Get(), 0, image, &length) ? FileNameOf(image)
                                                                                         : std::wstring(L"?");
        found->emplace_back(processId, name);
    }
}

// The handle table is walked on a thread of its own for at most this long:
// on a busy system it is large, and a query may wait on a file's lock.
const DWORD kHandleScanMs = 3000;

// The processes with any of paths open: the restart manager's answer, then
// the handle table's.
void FindOpeners(const std::vector<std::wstring>& paths, std::vector<CFileHolder>* holders)
{
    AskRestartManager(paths, holders);
    auto files = std::make_shared<std::vector<CFileIdentity>>();
    for (const std::wstring& path : paths) {
        CHandle file(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        CFileIdentity identity;
        if (file && IdentityOf(file.Get(), &identity))
            files->push_back(identity);
    }
    if (files->empty())
        return;
    struct Scan
    {
        std::vector<std::pair<DWORD, std::wstring>> found;
        CHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    };
    auto scan = std::make_shared<Scan>();
    if (!scan->done)
        return;
    // The thread keeps its own references: one that overruns its time ends
    // on its own, and what it finds then is not read.
    std::thread([files, scan]() {
        FindOpenHandles(*files, &scan->found);
        SetEvent(scan->done.Get());
    }).detach();
    if (WaitForSingleObject(scan->done.Get(), kHandleScanMs) != WAIT_OBJECT_0)
        return;
    for (const auto& holder : scan->found)
        AddHolder(holders, holder.first, holder.second);
}

} // namespace

std::vector<CFileHolder> FindFileHolders(const std::vector<std::wstring>& paths)
{
    const DWORD saved = GetLastError();
    std::vector<std::wstring> fullPaths;
    for (const std::wstring& path : paths) {
        if (!path.empty())
            fullPaths.push_back(FullPathOf(path));
    }
    std::vector<CFileHolder> holders;
    if (!fullPaths.empty()) {
        FindOpeners(fullPaths, &holders);
        FindMappers(fullPaths, &holders);
    }
    SetLastError(saved);
    return holders;
}

std::wstring DescribeFileHolders(const std::vector<CFileHolder>& holders)
{
    std::wstring text;
    for (const CFileHolder& holder : holders) {
        if (!text.empty())
            text += L", ";
        text += holder.imageName + L" (ID " + std::to_wstring(holder.processId) + L")";
    }
    return text;
}
