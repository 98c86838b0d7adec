// Stands in for the client application and for the program an update starts.
//
// On start it appends one line to its record file:
//   start <TAB> process id <TAB> start time <TAB> own executable path <TAB> working directory <TAB> command line
// and, when it ends by itself, a second line:
//   exit <TAB> process id <TAB> time
// Times are UTC FILETIME values in decimal (100 ns since 1601). The file is
// UTF-8, one line per event, CR LF endings.
//
// The record file is named by the environment variable QX_STANDIN_RECORD (a
// process started by the updater inherits it); without it, QXStandIn.log in
// the folder of the executable.
//
// Then it waits until it is ended, unless told otherwise. Options, anywhere
// among its arguments (all other arguments are ignored):
//   --exit-after <ms>   exit by itself after that many milliseconds
//   --exit-code <n>     exit code when it exits by itself (default 0);
//                       alone it means: exit at once
//   --hold <path>       open that file without sharing and keep it open
//   --release-when <path> --release-text <text>
//                       with --hold: let the file go once the file at path
//                       holds text (compared as Windows-1251 bytes, as the
//                       update run writes its log), then append
//                       "released <TAB> process id"
//   --load <path>       load that DLL and keep it loaded
//
// Built a second time as a windowed program (QXWindowStandIn, with
// QX_STANDIN_WINDOW), it stands in for a desktop application: after its start
// line it appends
//   ready <TAB> process id <TAB> time <TAB> files
// where files counts the files in the update run's folders (".~qx*", their
// names in numbered subfolders) of its working directory at that moment, and
// then waits for messages, which the system reports as waiting for input;
// with --no-input it never does.
#include "platform/Handles.h"

#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

namespace {

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    const int needed = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string bytes(static_cast<size_t>(needed > 0 ? needed : 0), '\0');
    if (needed > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], needed, nullptr,
                            nullptr);
    return bytes;
}

std::wstring ModulePath()
{
    std::wstring buffer(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
    buffer.resize(length);
    return buffer;
}

std::wstring CurrentFolder()
{
    const DWORD size = GetCurrentDirectoryW(0, nullptr);
    if (size == 0)
        return std::wstring();
    std::wstring buffer(size, L'\0');
    const DWORD length = GetCurrentDirectoryW(size, &buffer[0]);
    buffer.resize(length < size ? length : 0);
    return buffer;
}

std::wstring RecordPath()
{
    wchar_t value[32768] = {};
    const DWORD length = GetEnvironmentVariableW(L"QX_STANDIN_RECORD", value, 32768);
    if (length > 0 && length < 32768)
        return value;
    const std::wstring module = ModulePath();
    return module.substr(0, module.find_last_of(L'\\') + 1) + L"QXStandIn.log";
}

unsigned long long Now()
{
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// One line per write, under an exclusive lock on a byte far past the end:
// append mode alone does not keep two instances that start together from
// writing at the same end offset (measured under Wine: a line was lost).
void AppendRecord(const std::string& line)
{
    const std::wstring path = RecordPath();
    for (int attempt = 0; attempt < 50; ++attempt) {
        CHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) {
            OVERLAPPED lockRange{};
            lockRange.OffsetHigh = 0x7FFFFFFF;
            if (LockFileEx(file.Get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lockRange)) {
                LARGE_INTEGER zero{};
                SetFilePointerEx(file.Get(), zero, nullptr, FILE_END);
                DWORD written = 0;
                WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
                UnlockFileEx(file.Get(), 0, 1, 0, &lockRange);
                return;
            }
        }
        Sleep(20);
    }
}

#ifdef QX_STANDIN_WINDOW
// Files in the update run's folders of the working directory.
unsigned long RunFolderFiles()
{
    unsigned long count = 0;
    WIN32_FIND_DATAW folder{};
    CFindHandle folders(FindFirstFileW(L".~qx*", &folder));
    if (!folders)
        return 0;
    do {
        WIN32_FIND_DATAW group{};
        CFindHandle groups(FindFirstFileW((std::wstring(folder.cFileName) + L"\\*").c_str(), &group));
        if (!groups)
            continue;
        do {
            if (group.cFileName[0] == L'.')
                continue;
            WIN32_FIND_DATAW file{};
            CFindHandle files(
                FindFirstFileW((std::wstring(folder.cFileName) + L"\\" + group.cFileName + L"\\*").c_str(), &file));
            if (!files)
                continue;
            do {
                if ((file.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                    ++count;
            } while (FindNextFileW(files.Get(), &file));
        } while (FindNextFileW(groups.Get(), &group));
    } while (FindNextFileW(folders.Get(), &folder));
    return count;
}

// Waits for messages until timeout ms have passed (INFINITE: for ever).
void WaitForInput(DWORD timeout)
{
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        DWORD left = INFINITE;
        if (timeout != INFINITE) {
            const ULONGLONG spent = GetTickCount64() - start;
            if (spent >= timeout)
                return;
            left = static_cast<DWORD>(timeout - spent);
        }
        if (MsgWaitForMultipleObjects(0, nullptr, FALSE, left, QS_ALLINPUT) != WAIT_OBJECT_0)
            return;
        MSG message{};
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&message);
    }
}
#endif

std::string ToCp1251(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    const int needed =
        WideCharToMultiByte(1251, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(needed > 0 ? needed : 0), '\0');
    if (needed > 0)
        WideCharToMultiByte(1251, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], needed, nullptr,
                            nullptr);
    return bytes;
}

// Waits until the file at path holds text: the event a test orders this
// program's next step by (it is read again every few milliseconds).
void WaitForText(const std::wstring& path, const std::string& text)
{
    for (;;) {
        CHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, 0, nullptr));
        std::string content;
        char block[4096];
        DWORD read = 0;
        while (file && ReadFile(file.Get(), block, sizeof(block), &read, nullptr) && read != 0)
            content.append(block, read);
        if (content.find(text) != std::string::npos)
            return;
        Sleep(20);
    }
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    CLocalMemory argvMemory(argv);

    DWORD exitAfter = INFINITE;
    UINT exitCode = 0;
    CHandle held;
    std::wstring releaseWhen;
    std::wstring releaseText;
    bool input = true;
    for (int i = 1; argv != nullptr && i < argc; ++i) {
        if (wcscmp(argv[i], L"--no-input") == 0)
            input = false;
    }
    for (int i = 1; argv != nullptr && i + 1 < argc; ++i) {
        if (wcscmp(argv[i], L"--exit-after") == 0) {
            exitAfter = static_cast<DWORD>(wcstoul(argv[++i], nullptr, 10));
        } else if (wcscmp(argv[i], L"--exit-code") == 0) {
            exitCode = static_cast<UINT>(wcstoul(argv[++i], nullptr, 10));
            if (exitAfter == INFINITE)
                exitAfter = 0;
        } else if (wcscmp(argv[i], L"--hold") == 0) {
            held.Reset(CreateFileW(argv[++i], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        } else if (wcscmp(argv[i], L"--release-when") == 0) {
            releaseWhen = argv[++i];
        } else if (wcscmp(argv[i], L"--release-text") == 0) {
            releaseText = argv[++i];
        } else if (wcscmp(argv[i], L"--load") == 0) {
            // Kept loaded (mapped) until the process ends.
            LoadLibraryW(argv[++i]);
        }
    }

    const std::string line = "start\t" + std::to_string(GetCurrentProcessId()) + "\t" + std::to_string(Now()) + "\t" +
                             ToUtf8(ModulePath()) + "\t" + ToUtf8(CurrentFolder()) + "\t" +
                             ToUtf8(GetCommandLineW()) + "\r\n";
    AppendRecord(line);

    if (held && !releaseWhen.empty()) {
        WaitForText(releaseWhen, ToCp1251(releaseText));
        held.Close();
        AppendRecord("released\t" + std::to_string(GetCurrentProcessId()) + "\r\n");
    }

#ifdef QX_STANDIN_WINDOW
    AppendRecord("ready\t" + std::to_string(GetCurrentProcessId()) + "\t" + std::to_string(Now()) + "\t" +
                 std::to_string(RunFolderFiles()) + "\r\n");
    if (input)
        WaitForInput(exitAfter);
    else
        Sleep(exitAfter);
#else
    (void)input;
    Sleep(exitAfter);
#endif
    AppendRecord("exit\t" + std::to_string(GetCurrentProcessId()) + "\t" + std::to_string(Now()) + "\r\n");
    return static_cast<int>(exitCode);
}
