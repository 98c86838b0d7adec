#include "platform/NativeFile.h"

#include "platform/Handles.h"

#include <cstddef>
#include <cstring>
#include <vector>

namespace {

using RtlDosPathNameToNtPathNameFn = BOOLEAN(NTAPI*)(PCWSTR, PUNICODE_STRING, PCWSTR*, PVOID);
using RtlFreeUnicodeStringFn = VOID(NTAPI*)(PUNICODE_STRING);
using NtOpenFileFn = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, ULONG, ULONG);
using NtFileInformationFn = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
using NtCloseFn = NTSTATUS(NTAPI*)(HANDLE);
using NtQuerySystemInformationFn = NTSTATUS(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
using RtlNtStatusToDosErrorFn = ULONG(NTAPI*)(NTSTATUS);
using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);

constexpr NTSTATUS kStatusInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);
constexpr NTSTATUS kStatusObjectNameInvalid = static_cast<NTSTATUS>(0xC0000033L);
constexpr NTSTATUS kStatusProcedureNotFound = static_cast<NTSTATUS>(0xC000007AL);
constexpr ULONG kFileBasicInformation = 4;
constexpr ULONG kFileLinkInformation = 11;
constexpr ULONG kSystemProcessInformation = 5;

// ntdll is mapped into every process; its exports are looked up once.
struct NtdllEntries
{
    RtlDosPathNameToNtPathNameFn dosPathToNtPath = nullptr;
    RtlFreeUnicodeStringFn freeUnicodeString = nullptr;
    NtOpenFileFn openFile = nullptr;
    NtFileInformationFn queryInformationFile = nullptr;
    NtFileInformationFn setInformationFile = nullptr;
    NtCloseFn close = nullptr;
    NtQuerySystemInformationFn querySystemInformation = nullptr;
    RtlNtStatusToDosErrorFn statusToDosError = nullptr;

    NtdllEntries()
    {
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        if (ntdll == nullptr)
            return;
        dosPathToNtPath = reinterpret_cast<RtlDosPathNameToNtPathNameFn>(
            GetProcAddress(ntdll, "RtlDosPathNameToNtPathName_U"));
        freeUnicodeString = reinterpret_cast<RtlFreeUnicodeStringFn>(GetProcAddress(ntdll, "RtlFreeUnicodeString"));
        openFile = reinterpret_cast<NtOpenFileFn>(GetProcAddress(ntdll, "NtOpenFile"));
        queryInformationFile = reinterpret_cast<NtFileInformationFn>(GetProcAddress(ntdll, "NtQueryInformationFile"));
        setInformationFile = reinterpret_cast<NtFileInformationFn>(GetProcAddress(ntdll, "NtSetInformationFile"));
        close = reinterpret_cast<NtCloseFn>(GetProcAddress(ntdll, "NtClose"));
        querySystemInformation =
            reinterpret_cast<NtQuerySystemInformationFn>(GetProcAddress(ntdll, "NtQuerySystemInformation"));
        statusToDosError = reinterpret_cast<RtlNtStatusToDosErrorFn>(GetProcAddress(ntdll, "RtlNtStatusToDosError"));
    }

    bool HasFileCalls() const
    {
        return dosPathToNtPath != nullptr && freeUnicodeString != nullptr && openFile != nullptr &&
               queryInformationFile != nullptr && setInformationFile != nullptr && close != nullptr &&
               statusToDosError != nullptr;
    }
};

const NtdllEntries& Ntdll()
{
    static const NtdllEntries entries;
    return entries;
}

struct NtHandleTraits
{
    using Type = HANDLE;
    static Type Empty() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Type h) { Ntdll().close(h); }
};
using CNtHandle = CUniqueHandle<NtHandleTraits>;

// The NT name that RtlDosPathNameToNtPathName_U allocates on the process heap.
class CNtPathName
{
public:
    CNtPathName() = default;
    ~CNtPathName()
    {
        if (m_name.Buffer != nullptr)
            Ntdll().freeUnicodeString(&m_name);
    }
    CNtPathName(const CNtPathName&) = delete;
    CNtPathName& operator=(const CNtPathName&) = delete;

    bool Convert(const std::wstring& path)
    {
        return Ntdll().dosPathToNtPath(path.c_str(), &m_name, nullptr, nullptr) != FALSE && m_name.Buffer != nullptr;
    }
    UNICODE_STRING* Get() { return &m_name; }

private:
    UNICODE_STRING m_name{};
};

// Clears the last-error value, checks that the native file calls are at hand
// and gives path's NT name. An empty or malformed path is refused here,
// before any native call sees it. 0, or the failing status (also in the
// last-error value).
NTSTATUS PrepareFileCall(const std::wstring& path, CNtPathName& name)
{
    SetLastError(0);
    if (!Ntdll().HasFileCalls()) {
        SetLastErrorFromStatus(kStatusProcedureNotFound);
        return kStatusProcedureNotFound;
    }
    if (!name.Convert(path)) {
        SetLastErrorFromStatus(kStatusObjectNameInvalid);
        return kStatusObjectNameInvalid;
    }
    return 0;
}

// Opens path with the given access, then runs the query or the set of class 4.
NTSTATUS ExchangeBasicInfo(const std::wstring& path, ACCESS_MASK access, NtFileInformationFn call,
                           QX_FILE_BASIC_INFORMATION* record)
{
    SetLastError(0);
    CNtHandle file;
    HANDLE opened = nullptr;
    const NTSTATUS openStatus = NtOpenFileByPath(path, &opened, access, FILE_SHARE_READ, 0);
    if (openStatus != 0) {
        SetLastErrorFromStatus(openStatus);
        return openStatus;
    }
    file.Reset(opened);

    IO_STATUS_BLOCK ioStatus{};
    const NTSTATUS status = call(file.Get(), &ioStatus, record, sizeof(*record), kFileBasicInformation);
    if (status != 0)
        SetLastErrorFromStatus(status);
    return status;
}

SYSTEM_INFO g_systemInfo{};

// The record is filled during static initialisation, before the entry point runs.
const struct CSystemInfoInitializer
{
    CSystemInfoInitializer() { InitSystemInfo(); }
} g_systemInfoInitializer;

} // namespace

// A failing status as a Windows error code. A status without a Windows
// counterpart is kept as it is, so the last-error value is never 0 after a failure.
void SetLastErrorFromStatus(NTSTATUS status)
{
    if (status == 0) {
        SetLastError(0);
        return;
    }
    const RtlNtStatusToDosErrorFn convert = Ntdll().statusToDosError;
    ULONG code = convert != nullptr ? convert(status) : ERROR_MR_MID_NOT_FOUND;
    if (code == 0 || code == ERROR_MR_MID_NOT_FOUND)
        code = static_cast<ULONG>(status);
    SetLastError(code);
}

NTSTATUS NtOpenFileByPath(const std::wstring& path, HANDLE* handle, ACCESS_MASK desiredAccess, ULONG shareAccess,
                          ULONG openOptions)
{
    CNtPathName name;
    const NTSTATUS named = PrepareFileCall(path, name);
    if (named != 0)
        return named;
    const NtdllEntries& ntdll = Ntdll();

    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof(attributes);
    attributes.RootDirectory = nullptr;
    attributes.ObjectName = name.Get();
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    attributes.SecurityDescriptor = nullptr;
    attributes.SecurityQualityOfService = nullptr;

    IO_STATUS_BLOCK ioStatus{};
    const NTSTATUS status = ntdll.openFile(handle, desiredAccess, &attributes, &ioStatus, shareAccess, openOptions);
    if (status != 0)
        SetLastErrorFromStatus(status);
    return status;
}

NTSTATUS GetFileBasicInfo(QX_FILE_BASIC_INFORMATION* info, const std::wstring& path)
{
    // Queried into a local record so that a failure leaves the caller's untouched.
    QX_FILE_BASIC_INFORMATION record;
    std::memset(&record, 0, sizeof(record));
    const NTSTATUS status = ExchangeBasicInfo(path, FILE_READ_ATTRIBUTES, Ntdll().queryInformationFile, &record);
    if (status == 0)
        *info = record;
    return status;
}

NTSTATUS SetFileBasicInfo(const std::wstring& path, QX_FILE_BASIC_INFORMATION info)
{
    return ExchangeBasicInfo(path, FILE_WRITE_ATTRIBUTES, Ntdll().setInformationFile, &info);
}

NTSTATUS LinkOpenFile(HANDLE file, const std::wstring& path)
{
    CNtPathName name;
    const NTSTATUS named = PrepareFileCall(path, name);
    if (named != 0)
        return named;
    const NtdllEntries& ntdll = Ntdll();
    // FILE_LINK_INFORMATION: whether to replace, a root (none: the name is
    // whole), the name's length in bytes and the name, without a terminator.
    struct LinkInformation
    {
        BOOLEAN replaceIfExists;
        HANDLE rootDirectory;
        ULONG fileNameLength;
        WCHAR fileName[1];
    };
    const USHORT bytes = name.Get()->Length;
    std::vector<unsigned char> block(offsetof(LinkInformation, fileName) + bytes);
    LinkInformation* info = reinterpret_cast<LinkInformation*>(block.data());
    info->replaceIfExists = FALSE;
    info->rootDirectory = nullptr;
    info->fileNameLength = bytes;
    std::memcpy(info->fileName, name.Get()->Buffer, bytes);
    IO_STATUS_BLOCK ioStatus{};
    const NTSTATUS status = ntdll.setInformationFile(file, &ioStatus, info, static_cast<ULONG>(block.size()),
                                                     kFileLinkInformation);
    SetLastErrorFromStatus(status);
    return status;
}

void InitSystemInfo()
{
    static const IsWow64ProcessFn isWow64Process = []() -> IsWow64ProcessFn {
        const HMODULE kernel32 = GetModuleHandleW(L"kernel32");
        return kernel32 != nullptr ? reinterpret_cast<IsWow64ProcessFn>(GetProcAddress(kernel32, "IsWow64Process"))
                                   : nullptr;
    }();
    BOOL wow64 = FALSE;
    if (isWow64Process != nullptr && !isWow64Process(GetCurrentProcess(), &wow64))
        wow64 = FALSE;
    if (wow64)
        GetNativeSystemInfo(&g_systemInfo);
    else
        GetSystemInfo(&g_systemInfo);
}

const SYSTEM_INFO& SystemInfo()
{
    return g_systemInfo;
}

void* QueryProcessSnapshot(NTSTATUS* status, ULONG* returnedLength)
{
    const NtQuerySystemInformationFn query = Ntdll().querySystemInformation;
    if (query == nullptr)
        return nullptr;
    if (g_systemInfo.dwAllocationGranularity == 0)
        InitSystemInfo();
    SIZE_T size = g_systemInfo.dwAllocationGranularity;
    // The size doubles while the list does not fit; a size that ULONG cannot
    // carry ends the loop like a failed allocation.
    while (size != 0 && size <= 0xFFFFFFFFu) {
        void* block = VirtualAlloc(nullptr, size, MEM_COMMIT, PAGE_READWRITE);
        if (block == nullptr)
            return nullptr;
        std::memset(block, 0, size);
        const NTSTATUS result =
            query(kSystemProcessInformation, block, static_cast<ULONG>(size), returnedLength);
        if (status != nullptr)
            *status = result;
        if (result == 0)
            return block;
        VirtualFree(block, 0, MEM_RELEASE);
        if (result != kStatusInfoLengthMismatch)
            return nullptr;
        size *= 2;
    }
    return nullptr;
}
