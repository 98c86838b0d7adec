#pragma once
// Calls into the native layer (ntdll), resolved at run time: a file's basic
// information (four times and attributes) by its ordinary path, and a
// snapshot of all processes.
#include <windows.h>
#include <winternl.h>

#include <string>

// The FILE_BASIC_INFORMATION record, 40 bytes, exchanged under class 4.
struct QX_FILE_BASIC_INFORMATION
{
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER ChangeTime;
    ULONG FileAttributes;
};
static_assert(sizeof(QX_FILE_BASIC_INFORMATION) == 40, "FILE_BASIC_INFORMATION is 40 bytes");

// A failing status as a Windows error code in the last-error value: 0 for a
// success, the status itself when it has no Windows counterpart.
void SetLastErrorFromStatus(NTSTATUS status);

// Each returns the NTSTATUS of the first failing step (0 on success) and
// leaves RtlNtStatusToDosError of it in the thread's last-error value (0 on
// success); a status without a Windows code is left there as it is. A path
// that has no NT name (an empty one) fails with STATUS_OBJECT_NAME_INVALID
// (error 123) before anything is opened.
NTSTATUS NtOpenFileByPath(const std::wstring& path, HANDLE* handle, ACCESS_MASK desiredAccess, ULONG shareAccess,
                          ULONG openOptions);
// On failure the output record is left as it was.
NTSTATUS GetFileBasicInfo(QX_FILE_BASIC_INFORMATION* info, const std::wstring& path);
// Time fields that are 0, and attributes that are 0, are left unchanged by the system.
NTSTATUS SetFileBasicInfo(const std::wstring& path, QX_FILE_BASIC_INFORMATION info);

// Gives the file open as `file` a second name (a hard link) at path, which
// must not exist. It needs no access of its own, so the handle a caller has
// already opened to check the file serves (one open of the file, not two).
NTSTATUS LinkOpenFile(HANDLE file, const std::wstring& path);

// Fills the process-wide system information record (runs once at start-up).
void InitSystemInfo();
const SYSTEM_INFO& SystemInfo();

// All processes as SYSTEM_PROCESS_INFORMATION records chained by NextEntryOffset.
// Returns the block (release with VirtualFree(block, 0, MEM_RELEASE)) or null;
// status receives the last NtQuerySystemInformation status. The last-error
// value is not touched.
void* QueryProcessSnapshot(NTSTATUS* status, ULONG* returnedLength = nullptr);
