// The native file-information calls and the process snapshot, against the real ntdll.
#include "platform/Handles.h"
#include "platform/NativeFile.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// The four times and the attributes as kernel32 reads them, independently of
// the calls under test.
FILE_BASIC_INFO ReadBasicInfoThroughKernel32(const std::wstring& path)
{
    FILE_BASIC_INFO info{};
    CHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    EXPECT_TRUE(file.IsValid()) << GetLastError();
    if (file) {
        EXPECT_TRUE(GetFileInformationByHandleEx(file.Get(), FileBasicInfo, &info, sizeof(info))) << GetLastError();
    }
    return info;
}

QX_FILE_BASIC_INFORMATION Filled(unsigned char pattern)
{
    QX_FILE_BASIC_INFORMATION info;
    std::memset(&info, pattern, sizeof(info));
    return info;
}

// 2021-06-01 12:00:00 UTC as a file time.
constexpr LONGLONG kSomeTime = 132670224000000000LL;

} // namespace

TEST(NativeFile, GetFileBasicInfo_ReadsFileTimesAndAttributes)
{
    CTestFolder folder;
    const std::wstring path = folder / L"file.bin";
    ASSERT_TRUE(WriteBytes(path, "abc"));
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));

    SetLastError(1234);
    QX_FILE_BASIC_INFORMATION info = Filled(0xCC);
    EXPECT_EQ(0, GetFileBasicInfo(&info, path));
    EXPECT_EQ(0u, GetLastError());

    const FILE_BASIC_INFO expected = ReadBasicInfoThroughKernel32(path);
    EXPECT_EQ(expected.LastWriteTime.QuadPart, info.LastWriteTime.QuadPart);
    EXPECT_EQ(expected.CreationTime.QuadPart, info.CreationTime.QuadPart);
    EXPECT_NE(0, info.LastWriteTime.QuadPart);
    EXPECT_EQ(static_cast<ULONG>(FILE_ATTRIBUTE_READONLY), info.FileAttributes & FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(NativeFile, GetFileBasicInfo_DirectoryOpensWithDirectoryBit)
{
    CTestFolder folder;
    QX_FILE_BASIC_INFORMATION info = Filled(0);
    std::wstring path = folder.Path();
    path.pop_back(); // without the trailing backslash
    EXPECT_EQ(0, GetFileBasicInfo(&info, path));
    EXPECT_NE(0u, info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(0, GetFileBasicInfo(&info, folder.Path()));
    EXPECT_NE(0u, info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(NativeFile, GetFileBasicInfo_FailureSetsWindowsCodeAndLeavesRecord)
{
    CTestFolder folder;
    const struct
    {
        const char* what;
        std::wstring path;
        NTSTATUS status; // 0: any failing status
        DWORD lastError; // 0: any non-zero code
    } cases[] = {
        {"missing file in an existing folder", folder / L"missing.bin", static_cast<NTSTATUS>(0xC0000034L),
         ERROR_FILE_NOT_FOUND},
        {"missing folder", folder / L"no-such-folder\\file.bin", static_cast<NTSTATUS>(0xC000003AL),
         ERROR_PATH_NOT_FOUND},
        // Refused before NtOpenFile: the conversion to an NT name fails.
        {"empty path", L"", static_cast<NTSTATUS>(0xC0000033L), ERROR_INVALID_NAME},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QX_FILE_BASIC_INFORMATION info = Filled(0xA5);
        const QX_FILE_BASIC_INFORMATION before = info;
        SetLastError(0);
        const NTSTATUS status = GetFileBasicInfo(&info, c.path);
        const DWORD error = GetLastError();
        EXPECT_NE(0, status);
        if (c.status != 0) {
            EXPECT_EQ(c.status, status);
        }
        EXPECT_NE(0u, error);
        if (c.lastError != 0) {
            EXPECT_EQ(c.lastError, error);
        }
        EXPECT_EQ(0, std::memcmp(&before, &info, sizeof(info)));
    }
}

TEST(NativeFile, SetFileBasicInfo_SetsTheTimesItIsGiven)
{
    CTestFolder folder;
    const std::wstring path = folder / L"file.bin";
    ASSERT_TRUE(WriteBytes(path, "abc"));

    QX_FILE_BASIC_INFORMATION info{};
    ASSERT_EQ(0, GetFileBasicInfo(&info, path));
    info.CreationTime.QuadPart = kSomeTime;
    info.LastAccessTime.QuadPart = kSomeTime;
    info.LastWriteTime.QuadPart = kSomeTime;
    info.ChangeTime.QuadPart = kSomeTime;
    SetLastError(1234);
    EXPECT_EQ(0, SetFileBasicInfo(path, info));
    EXPECT_EQ(0u, GetLastError());

    const FILE_BASIC_INFO after = ReadBasicInfoThroughKernel32(path);
    EXPECT_EQ(kSomeTime, after.LastWriteTime.QuadPart);
    EXPECT_EQ(kSomeTime, after.LastAccessTime.QuadPart);
    EXPECT_EQ(kSomeTime, after.CreationTime.QuadPart);
    // The change time is not compared: under Wine it is the Linux ctime,
    // which the kernel sets to the moment of the change itself.
}

TEST(NativeFile, SetFileBasicInfo_ZeroFieldsLeaveTheirValues)
{
    CTestFolder folder;
    const std::wstring path = folder / L"file.bin";
    ASSERT_TRUE(WriteBytes(path, "abc"));
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
    const FILE_BASIC_INFO before = ReadBasicInfoThroughKernel32(path);

    QX_FILE_BASIC_INFORMATION info{};
    info.LastAccessTime.QuadPart = kSomeTime; // everything else 0: unchanged
    EXPECT_EQ(0, SetFileBasicInfo(path, info));

    const FILE_BASIC_INFO after = ReadBasicInfoThroughKernel32(path);
    EXPECT_EQ(kSomeTime, after.LastAccessTime.QuadPart);
    EXPECT_EQ(before.LastWriteTime.QuadPart, after.LastWriteTime.QuadPart);
    EXPECT_EQ(before.FileAttributes, after.FileAttributes);
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(NativeFile, SetFileBasicInfo_MissingFileFailsWithWindowsCode)
{
    CTestFolder folder;
    QX_FILE_BASIC_INFORMATION info{};
    info.LastWriteTime.QuadPart = kSomeTime;
    EXPECT_EQ(static_cast<NTSTATUS>(0xC0000034L), SetFileBasicInfo(folder / L"missing.bin", info));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_FALSE(PathExists(folder / L"missing.bin"));
}

TEST(NativeFile, NtOpenFileByPath_PassesAccessAndSharing)
{
    CTestFolder folder;
    const std::wstring path = folder / L"file.bin";
    ASSERT_TRUE(WriteBytes(path, "abc"));

    SetLastError(1234);
    HANDLE opened = nullptr;
    ASSERT_EQ(0, NtOpenFileByPath(path, &opened, FILE_READ_DATA | SYNCHRONIZE, 0, 0x20 /* synchronous I/O */));
    CHandle file(opened);
    EXPECT_EQ(0u, GetLastError());

    // The handle reads, and shares nothing with a second open.
    char buffer[8] = {};
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr)) << GetLastError();
    EXPECT_EQ(std::string("abc"), std::string(buffer, read));
    HANDLE second = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(INVALID_HANDLE_VALUE, second);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    CHandle(second).Close();
}

TEST(ProcessSnapshot, SystemInfo_FilledBeforeTheEntryPoint)
{
    EXPECT_EQ(65536u, SystemInfo().dwAllocationGranularity);
    EXPECT_NE(0u, SystemInfo().dwPageSize);
}

namespace {

// Walks the chain of records; false when an offset leaves the returned length.
bool FindProcess(const void* block, ULONG length, DWORD processId, const SYSTEM_PROCESS_INFORMATION** found)
{
    const unsigned char* base = static_cast<const unsigned char*>(block);
    ULONG offset = 0;
    *found = nullptr;
    for (;;) {
        if (offset + sizeof(SYSTEM_PROCESS_INFORMATION) > length)
            return false;
        const auto* record = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(base + offset);
        if (reinterpret_cast<ULONG_PTR>(record->UniqueProcessId) == processId)
            *found = record;
        if (record->NextEntryOffset == 0)
            return true;
        offset += record->NextEntryOffset;
    }
}

DWORD WINAPI WaitForEvent(LPVOID event)
{
    WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
    return 0;
}

} // namespace

TEST(ProcessSnapshot, QueryProcessSnapshot_HoldsThisProcessAndKeepsLastError)
{
    SetLastError(4321);
    NTSTATUS status = -1;
    ULONG length = 0;
    void* block = QueryProcessSnapshot(&status, &length);
    EXPECT_EQ(4321u, GetLastError());
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(0, status);

    const SYSTEM_PROCESS_INFORMATION* self = nullptr;
    EXPECT_TRUE(FindProcess(block, length, GetCurrentProcessId(), &self));
    EXPECT_NE(nullptr, self);
    EXPECT_TRUE(VirtualFree(block, 0, MEM_RELEASE));

    // The returned length is optional.
    block = QueryProcessSnapshot(&status, nullptr);
    ASSERT_NE(nullptr, block);
    VirtualFree(block, 0, MEM_RELEASE);
}

TEST(ProcessSnapshot, QueryProcessSnapshot_GrowsBeyondOneGranule)
{
    // Every thread adds a record of its own to this process's entry: enough
    // of them make the list larger than the first 64 KiB buffer.
    CHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(release.IsValid());
    std::vector<CHandle> threads;
    const int kThreads = 1200;
    for (int i = 0; i < kThreads; ++i) {
        CHandle thread(CreateThread(nullptr, 64 * 1024, WaitForEvent, release.Get(),
                                    STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
        ASSERT_TRUE(thread.IsValid()) << "thread " << i << ": " << GetLastError();
        threads.push_back(std::move(thread));
    }

    NTSTATUS status = -1;
    ULONG length = 0;
    void* block = QueryProcessSnapshot(&status, &length);
    SetEvent(release.Get());
    for (const CHandle& thread : threads)
        WaitForSingleObject(thread.Get(), 10000);

    ASSERT_NE(nullptr, block);
    EXPECT_EQ(0, status);
    EXPECT_GT(length, SystemInfo().dwAllocationGranularity);
    const SYSTEM_PROCESS_INFORMATION* self = nullptr;
    EXPECT_TRUE(FindProcess(block, length, GetCurrentProcessId(), &self));
    ASSERT_NE(nullptr, self);
    EXPECT_GE(self->NumberOfThreads, static_cast<ULONG>(kThreads));

    MEMORY_BASIC_INFORMATION region{};
    ASSERT_NE(0u, VirtualQuery(block, &region, sizeof(region)));
    EXPECT_GE(region.RegionSize, 2u * SystemInfo().dwAllocationGranularity);
    VirtualFree(block, 0, MEM_RELEASE);
}
