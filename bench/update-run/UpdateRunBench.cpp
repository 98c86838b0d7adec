// Update-run benchmark. Given a folder whose "upd" subfolder holds the files
// to install and whose "old" subfolder holds older versions under the same
// names (and md5.txt, "digest  name" lines of the new files), it measures the
// workloads it is given, round by round:
//   fresh     the update run into an empty application folder;
//   replace   the update run over a folder of the old versions;
//   md5       as replace, with an MD5 on every item of the manifest;
// each paired with two peers over a folder that holds the old versions:
// xcopy /Y of the same files, and the durable peer, that xcopy followed by
// writing the copied files out to the disk (sync -f of the folder, the
// promise the update run gives before it swaps), so that the figures show
// what the durability costs and what is overhead. Each is timed as a whole
// process, with the update run's memory counters polled until it ends.
//   downtime  the client application (QXBenchClient.exe under the client's
//             name, in the application folder of old versions) is running;
//             the update run with an MD5 on every item, RestartQuoteBench and
//             the pid: of a requester that ends half a second after the run
//             starts; measured: from the moment the old client has ended (its
//             process handle signalled) to the moment the new one runs (the
//             performance counter it writes first), paired with the peer way
//             of doing the same job: end the client, xcopy /Y, start it.
// Which of a round's turns goes first rotates by round. It prints every round,
// then per workload the minimum, median and maximum of the per-round ratios.
//   QXUpdateRunBench.exe ROUNDS DATA_FOLDER PRODUCT_EXE WORKLOAD...
// QX_BENCH_UNIX_DATA: the data folder's Linux path (for sync -f, which Wine
// runs as a Linux program, its end seen by a file its shell creates). The folder
// is left in place (the runner script owns and deletes it).
#include "platform/Handles.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

double Now()
{
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return double(counter.QuadPart) / double(frequency.QuadPart);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0.0 : (n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2);
}

struct FileEntry
{
    std::wstring name;
    uint64_t size;
};

std::vector<FileEntry> ListFiles(const std::wstring& folder)
{
    std::vector<FileEntry> files;
    WIN32_FIND_DATAW data{};
    CFindHandle find(FindFirstFileW((folder + L"*").c_str(), &data));
    if (!find)
        return files;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            files.push_back({data.cFileName, (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow});
    } while (FindNextFileW(find.Get(), &data));
    std::sort(files.begin(), files.end(), [](const FileEntry& a, const FileEntry& b) { return a.name < b.name; });
    return files;
}

void RemoveTree(const std::wstring& folder)
{
    for (const FileEntry& file : ListFiles(folder)) {
        const std::wstring path = folder + file.name;
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
    }
    RemoveDirectoryW(folder.c_str());
}

std::string Utf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(size_t(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), &bytes[0], size, nullptr, nullptr);
    return bytes;
}

bool WriteText(const std::wstring& path, const std::string& text)
{
    CHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.Get(), text.data(), DWORD(text.size()), &written, nullptr) &&
           written == text.size();
}

struct RunFigures
{
    bool ok = false;
    double seconds = 0;
    SIZE_T peakWorkingSet = 0;
    SIZE_T peakPagefile = 0;
};

void TakeMemory(HANDLE process, RunFigures* figures)
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(process, &counters, sizeof(counters)))
        return;
    figures->peakWorkingSet = std::max({figures->peakWorkingSet, counters.PeakWorkingSetSize, counters.WorkingSetSize});
    figures->peakPagefile = std::max({figures->peakPagefile, counters.PeakPagefileUsage, counters.PagefileUsage});
}

// Starts the command with its output to NUL and waits for it, polling the
// memory counters every few milliseconds while it runs.
RunFigures RunTimed(std::wstring command, const std::wstring& folder)
{
    RunFigures figures;
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    CHandle nul(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                            OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul.Get();
    startup.hStdOutput = nul.Get();
    startup.hStdError = nul.Get();
    PROCESS_INFORMATION info{};
    const double start = Now();
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(), &startup, &info)) {
        std::fprintf(stderr, "cannot start: %s (%lu)\n", Utf8(command).c_str(), GetLastError());
        return figures;
    }
    CHandle process(info.hProcess);
    CHandle thread(info.hThread);
    while (WaitForSingleObject(process.Get(), 5) == WAIT_TIMEOUT)
        TakeMemory(process.Get(), &figures);
    figures.seconds = Now() - start;
    TakeMemory(process.Get(), &figures);
    figures.ok = true;
    return figures;
}

// True when the folder holds exactly the expected files with their sizes.
bool SameFiles(const std::vector<FileEntry>& expected, const std::wstring& folder)
{
    const std::vector<FileEntry> found = ListFiles(folder);
    if (found.size() != expected.size())
        return false;
    for (size_t i = 0; i < found.size(); ++i) {
        if (_wcsicmp(found[i].name.c_str(), expected[i].name.c_str()) != 0 || found[i].size != expected[i].size)
            return false;
    }
    return true;
}

bool EmptyFolder(const std::wstring& folder)
{
    RemoveTree(folder);
    return CreateDirectoryW(folder.c_str(), nullptr) != FALSE;
}

// Makes folder hold a copy of every file of from (the old versions), written
// through to the disk like the files of an installed application: copies
// still dirty in the cache would make the measured run pay for their writing.
bool CopyFolder(const std::wstring& from, const std::wstring& folder)
{
    if (!EmptyFolder(folder))
        return false;
    for (const FileEntry& file : ListFiles(from)) {
        const std::wstring copy = folder + file.name;
        if (!CopyFileW((from + file.name).c_str(), copy.c_str(), FALSE))
            return false;
        CHandle written(CreateFileW(copy.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!written || !FlushFileBuffers(written.Get()))
            return false;
    }
    return true;
}

// "digest  name" lines as md5sum writes them.
std::map<std::wstring, std::wstring> ReadDigests(const std::wstring& path)
{
    std::map<std::wstring, std::wstring> digests;
    std::ifstream in(path.c_str());
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() < 35)
            continue;
        const std::string name = line.substr(34);
        digests[std::wstring(name.begin(), name.end())] =
            std::wstring(line.begin(), line.begin() + 32);
    }
    return digests;
}

bool WriteManifest(const std::wstring& path, const std::wstring& downloads, const std::wstring& target,
                   const std::vector<FileEntry>& files, const std::map<std::wstring, std::wstring>* digests,
                   bool restartClient)
{
    std::wstring items;
    for (size_t i = 0; i < files.size(); ++i) {
        items += L"<I" + std::to_wstring(i) + L" FileName=\"" + files[i].name + L"\" SizeByte=\"" +
                 std::to_wstring(files[i].size) + L"\" Modified=\"1500000000\" isUpdate=\"1\"";
        if (digests != nullptr) {
            const auto found = digests->find(files[i].name);
            if (found == digests->end())
                return false;
            items += L" MD5=\"" + found->second + L"\"";
        }
        items += L"/>";
    }
    return WriteText(path, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n" +
                               Utf8(L"<update><info UpdateFolder=\"" + downloads + L"\" TargetFolder=\"" + target +
                                    (restartClient ? L"\" RestartQuoteBench=\"1" : L"") + L"\"/><files count=\"" + std::to_wstring(files.size()) + L"\">" + items +
                                    L"</files></update>"));
}

struct Setup
{
    std::wstring data, downloads, oldVersions, target, copies, bin, product, clientExe, requesterExe, marks;
    std::wstring xcopyCommand, syncCommand;
    std::vector<FileEntry> files;
    LONGLONG frequency = 1;
};

// Which of count turns goes at place in this round: the order rotates, so
// that no side always gets the same turn (on a virtual machine a process can
// find the memory it writes the files into slow or fast depending on what ran
// before it).
int TurnAt(int round, int place, int count)
{
    return (place + round) % count;
}

struct CopyFigures
{
    bool ok = false;
    double xcopy = 0;
    double durable = 0;
};

// sync -f of the copy folder, seconds until it is done. Wine starts a Linux
// program but gives no handle that signals its end: the shell that runs it
// creates a file when it is done, and that file is waited for.
bool RunSync(const Setup& setup, double* seconds)
{
    const std::wstring done = setup.data + L"sync.done";
    DeleteFileW(done.c_str());
    const double start = Now();
    const RunFigures started = RunTimed(setup.syncCommand, setup.data);
    if (!started.ok)
        return false;
    while (GetFileAttributesW(done.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (Now() - start > 300) {
            std::fprintf(stderr, "sync -f did not end\n");
            return false;
        }
        Sleep(1);
    }
    *seconds = Now() - start;
    DeleteFileW(done.c_str());
    return true;
}

// xcopy over a folder of the old versions; when durable, then sync -f of it.
CopyFigures RunCopy(const Setup& setup, bool durable)
{
    CopyFigures figures;
    if (!CopyFolder(setup.oldVersions, setup.copies))
        return figures;
    const RunFigures copy = RunTimed(setup.xcopyCommand, setup.data);
    double synced = 0;
    if (durable && !RunSync(setup, &synced))
        return figures;
    figures.ok = copy.ok && SameFiles(setup.files, setup.copies);
    figures.xcopy = copy.seconds;
    figures.durable = copy.seconds + synced;
    RemoveTree(setup.copies);
    return figures;
}

struct Workload
{
    const char* name;
    const wchar_t* manifest;
    bool overOldFiles;
    bool downtime;
    std::vector<double> ratios, durableRatios, durabilityCosts, runTimes, copyTimes, durableTimes;
    SIZE_T peakWorkingSet = 0;
    SIZE_T peakPagefile = 0;
};

void PrintSpread(const char* what, std::vector<double> values, const char* unit)
{
    if (values.empty())
        return;
    std::sort(values.begin(), values.end());
    std::printf("  %-26s min %.3f%s  median %.3f%s  max %.3f%s\n", what, values.front(), unit, Median(values), unit,
                values.back(), unit);
}

// Each line of the client's mark file: process id and performance counter
// at its start.
struct Mark
{
    DWORD processId;
    LONGLONG counter;
};

std::vector<Mark> ReadMarks(const std::wstring& path)
{
    std::vector<Mark> marks;
    CHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file)
        return marks;
    std::string text(65536, '\0');
    DWORD read = 0;
    if (!ReadFile(file.Get(), &text[0], DWORD(text.size()), &read, nullptr))
        return marks;
    text.resize(read);
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        unsigned long processId = 0;
        long long counter = 0;
        if (std::sscanf(text.c_str() + start, "%lu %lld", &processId, &counter) == 2)
            marks.push_back({DWORD(processId), counter});
    }
    return marks;
}

// Waits (generously: the machine is shared) until the mark file holds more
// than count lines; false when it does not.
bool WaitForMark(const std::wstring& path, size_t count, Mark* mark)
{
    for (int waited = 0; waited < 60000; waited += 2) {
        const std::vector<Mark> marks = ReadMarks(path);
        if (marks.size() > count) {
            *mark = marks[count];
            return true;
        }
        Sleep(2);
    }
    return false;
}

CHandle StartProcess(std::wstring command, const std::wstring& folder, DWORD* processId = nullptr)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup, &info)) {
        std::fprintf(stderr, "cannot start: %s (%lu)\n", Utf8(command).c_str(), GetLastError());
        return CHandle();
    }
    CHandle thread(info.hThread);
    if (processId != nullptr)
        *processId = info.dwProcessId;
    return CHandle(info.hProcess);
}

// Records the performance counter at the moment a process ends: a thread
// that does nothing but wait on its handle.
struct EndWatch
{
    HANDLE process = nullptr;
    LONGLONG ended = 0;
    CHandle thread;

    static DWORD WINAPI Wait(void* context)
    {
        EndWatch& watch = *static_cast<EndWatch*>(context);
        if (WaitForSingleObject(watch.process, INFINITE) == WAIT_OBJECT_0) {
            LARGE_INTEGER now{};
            QueryPerformanceCounter(&now);
            watch.ended = now.QuadPart;
        }
        return 0;
    }
    bool Start(HANDLE watched)
    {
        process = watched;
        thread.Reset(CreateThread(nullptr, 0, &Wait, this, 0, nullptr));
        return thread.IsValid();
    }
    // The counter at the end, or 0 when the process has not ended in time.
    LONGLONG Ended()
    {
        if (!thread || WaitForSingleObject(thread.Get(), 60000) != WAIT_OBJECT_0)
            return 0;
        return ended;
    }
};

void EndProcess(DWORD processId)
{
    CHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
    if (process && TerminateProcess(process.Get(), 0))
        WaitForSingleObject(process.Get(), 30000);
}

const wchar_t kClientName[] = L"QuoteBenchApp.exe";

// The application folder with the old versions and the client running from
// it; the client's process handle, or none on failure.
CHandle PrepareClient(const Setup& setup)
{
    if (!CopyFolder(setup.oldVersions, setup.target) ||
        !CopyFileW(setup.clientExe.c_str(), (setup.target + kClientName).c_str(), FALSE)) {
        std::fprintf(stderr, "cannot prepare the application folder (%lu)\n", GetLastError());
        return CHandle();
    }
    const size_t count = ReadMarks(setup.marks).size();
    CHandle client = StartProcess(L"\"" + setup.target + kClientName + L"\"", setup.target);
    Mark mark{};
    if (!client || !WaitForMark(setup.marks, count, &mark)) {
        std::fprintf(stderr, "the client did not start\n");
        return CHandle();
    }
    return client;
}

struct DowntimeFigures
{
    bool ok = false;
    double downtime = 0;
    double whole = 0;
};

// From the old client's end to the new client's start, and the whole job.
DowntimeFigures MeasureDowntime(const Setup& setup, bool byUpdateRun, const std::wstring& manifest)
{
    DowntimeFigures figures;
    CHandle client = PrepareClient(setup);
    if (!client)
        return figures;
    EndWatch watch;
    if (!watch.Start(client.Get()))
        return figures;
    const size_t count = ReadMarks(setup.marks).size();
    RunFigures job;
    if (byUpdateRun) {
        DWORD requesterId = 0;
        CHandle requester =
            StartProcess(L"\"" + setup.requesterExe + L"\" requester 500", setup.bin, &requesterId);
        if (!requester)
            return figures;
        // The client is found in the updater's working directory.
        job = RunTimed(L"\"" + setup.product + L"\" update \"updfile:" + manifest + L"\" pid:" +
                           std::to_wstring(requesterId),
                       setup.target);
        WaitForSingleObject(requester.Get(), 30000);
    } else {
        const double start = Now();
        TerminateProcess(client.Get(), 0);
        WaitForSingleObject(client.Get(), 30000);
        const RunFigures copy = RunTimed(setup.xcopyCommand + L"", setup.data);
        CHandle started = StartProcess(L"\"" + setup.target + kClientName + L"\"", setup.target);
        job.ok = copy.ok && started.IsValid();
        job.seconds = Now() - start;
    }
    Mark mark{};
    const LONGLONG ended = watch.Ended();
    const bool restarted = WaitForMark(setup.marks, count, &mark);
    if (restarted)
        EndProcess(mark.processId);
    std::vector<FileEntry> expected = setup.files;
    expected.push_back({kClientName, 0});
    for (const FileEntry& file : ListFiles(setup.target)) {
        if (file.name == kClientName)
            expected.back().size = file.size;
    }
    std::sort(expected.begin(), expected.end(),
              [](const FileEntry& a, const FileEntry& b) { return a.name < b.name; });
    figures.ok = job.ok && ended != 0 && restarted && SameFiles(expected, setup.target);
    figures.downtime = double(mark.counter - ended) / double(setup.frequency);
    figures.whole = job.seconds;
    RemoveTree(setup.target);
    return figures;
}

std::wstring FolderOf(const std::wstring& path)
{
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

std::wstring ModuleFolder()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return FolderOf(path);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: QXUpdateRunBench.exe ROUNDS DATA_FOLDER PRODUCT_EXE WORKLOAD...\n"
                             "  WORKLOAD: fresh, replace, md5, downtime\n");
        return 2;
    }
    const int rounds = std::max(1, _wtoi(argv[1]));
    Setup setup;
    setup.data = argv[2];
    if (setup.data.back() != L'\\')
        setup.data += L'\\';
    const std::wstring& data = setup.data;
    setup.downloads = data + L"upd\\";
    setup.oldVersions = data + L"old\\";
    setup.target = data + L"app\\";
    setup.copies = data + L"xcopy\\";
    setup.bin = data + L"bin\\";
    setup.product = setup.bin + L"QXClientUpdSvc.exe";
    setup.clientExe = ModuleFolder() + L"QXBenchClient.exe";
    setup.requesterExe = setup.bin + L"QXBenchClient.exe";
    setup.marks = data + L"client-marks.txt";
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    setup.frequency = frequency.QuadPart;

    std::vector<Workload> workloads;
    for (int i = 4; i < argc; ++i) {
        const std::wstring name = argv[i];
        if (name == L"fresh")
            workloads.push_back({"fresh", L"plain.xml", false, false, {}, {}, {}, {}, {}, {}});
        else if (name == L"replace")
            workloads.push_back({"replace", L"plain.xml", true, false, {}, {}, {}, {}, {}, {}});
        else if (name == L"md5")
            workloads.push_back({"replace+md5", L"md5.xml", true, false, {}, {}, {}, {}, {}, {}});
        else if (name == L"downtime")
            workloads.push_back({"downtime", L"restart.xml", true, true, {}, {}, {}, {}, {}, {}});
        else {
            std::fprintf(stderr, "unknown workload: %s\n", Utf8(name).c_str());
            return 2;
        }
    }

    setup.files = ListFiles(setup.downloads);
    uint64_t total = 0;
    for (const FileEntry& file : setup.files)
        total += file.size;
    const std::map<std::wstring, std::wstring> digests = ReadDigests(data + L"md5.txt");
    CreateDirectoryW(setup.bin.c_str(), nullptr);
    if (setup.files.empty() || !CopyFileW(argv[3], setup.product.c_str(), FALSE) ||
        !CopyFileW(setup.clientExe.c_str(), setup.requesterExe.c_str(), FALSE) ||
        !WriteManifest(data + L"plain.xml", setup.downloads, setup.target, setup.files, nullptr, false) ||
        !WriteManifest(data + L"md5.xml", setup.downloads, setup.target, setup.files, &digests, false) ||
        !WriteManifest(data + L"restart.xml", setup.downloads, setup.target, setup.files, &digests, true)) {
        std::fprintf(stderr, "cannot prepare %s (%lu)\n", Utf8(data).c_str(), GetLastError());
        return 1;
    }
    // Inherited by every client started, whoever starts it.
    SetEnvironmentVariableW(L"QX_BENCH_CLIENT_MARK", setup.marks.c_str());
    std::printf("files: %zu, %.1f MiB in all\n", setup.files.size(), double(total) / 1048576.0);

    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    setup.xcopyCommand =
        L"\"" + std::wstring(system) + L"\\xcopy.exe\" \"" + setup.downloads + L"*\" \"" + setup.copies + L"\" /Q /Y";
    wchar_t unixData[MAX_PATH] = {};
    const DWORD unixLength = GetEnvironmentVariableW(L"QX_BENCH_UNIX_DATA", unixData, MAX_PATH);
    // A Linux program started from Wine: Wine runs it as it is.
    const std::wstring linuxData(unixData, unixLength);
    setup.syncCommand = L"\"Z:\\bin\\sh\" -c \"sync -f '" + linuxData + L"/xcopy' && : > '" + linuxData +
                        L"/sync.done'\"";
    const std::wstring downtimeCopy =
        L"\"" + std::wstring(system) + L"\\xcopy.exe\" \"" + setup.downloads + L"*\" \"" + setup.target + L"\" /Q /Y";

    // Round 0 warms the caches and is not counted.
    for (int round = 0; round <= rounds; ++round) {
        for (Workload& workload : workloads) {
            const char* counted = round == 0 ? " (warm-up)" : "";
            if (workload.downtime) {
                Setup peer = setup;
                peer.xcopyCommand = downtimeCopy;
                DowntimeFigures run, copy;
                for (int place = 0; place < 2; ++place) {
                    if (TurnAt(round, place, 2) == 0)
                        run = MeasureDowntime(setup, true, data + workload.manifest);
                    else
                        copy = MeasureDowntime(peer, false, std::wstring());
                }
                if (!run.ok || !copy.ok) {
                    std::fprintf(stderr, "round %d, downtime: %s did not install the files and restart the client\n",
                                 round, run.ok ? "the peer" : "the update run");
                    return 1;
                }
                std::printf("round %d%s %-12s downtime: update run %.3f s (whole run %.3f s), peer %.3f s "
                            "(end, xcopy, start), ratio %.3f\n",
                            round, counted, workload.name, run.downtime, run.whole, copy.downtime,
                            run.downtime / copy.downtime);
                if (round == 0)
                    continue;
                workload.runTimes.push_back(run.downtime);
                workload.copyTimes.push_back(copy.downtime);
                workload.ratios.push_back(run.downtime / copy.downtime);
                continue;
            }
            RunFigures run;
            CopyFigures copy, durable;
            bool runOk = false;
            for (int place = 0; place < 3; ++place) {
                const int turn = TurnAt(round, place, 3);
                if (turn == 0) {
                    if (workload.overOldFiles ? !CopyFolder(setup.oldVersions, setup.target)
                                              : !EmptyFolder(setup.target)) {
                        std::fprintf(stderr, "cannot prepare the application folder\n");
                        return 1;
                    }
                    run = RunTimed(L"\"" + setup.product + L"\" update \"updfile:" + data + workload.manifest + L"\"",
                                   setup.bin);
                    runOk = run.ok && SameFiles(setup.files, setup.target);
                    RemoveTree(setup.target);
                } else if (turn == 1) {
                    copy = RunCopy(setup, false);
                } else {
                    durable = RunCopy(setup, true);
                }
            }
            if (!runOk || !copy.ok || !durable.ok) {
                std::fprintf(stderr, "round %d, %s: %s did not produce the files\n", round, workload.name,
                             !runOk ? "the update run" : !copy.ok ? "xcopy" : "xcopy and sync");
                return 1;
            }
            std::printf("round %d%s %-12s update run %.3f s (peak working set %.1f MiB), xcopy %.3f s, "
                        "durable %.3f s (xcopy %.3f s), ratios %.2f / %.2f\n",
                        round, counted, workload.name, run.seconds, double(run.peakWorkingSet) / 1048576.0,
                        copy.xcopy, durable.durable, durable.xcopy, run.seconds / copy.xcopy,
                        run.seconds / durable.durable);
            if (round == 0)
                continue;
            workload.runTimes.push_back(run.seconds);
            workload.copyTimes.push_back(copy.xcopy);
            workload.durableTimes.push_back(durable.durable);
            workload.ratios.push_back(run.seconds / copy.xcopy);
            workload.durableRatios.push_back(run.seconds / durable.durable);
            workload.durabilityCosts.push_back(durable.durable / durable.xcopy);
            workload.peakWorkingSet = std::max(workload.peakWorkingSet, run.peakWorkingSet);
            workload.peakPagefile = std::max(workload.peakPagefile, run.peakPagefile);
        }
    }

    const double installed = double(total) / 1048576.0;
    for (const Workload& workload : workloads) {
        std::printf("%s:\n", workload.name);
        if (workload.downtime) {
            PrintSpread("ratio (run / peer)", workload.ratios, "");
            PrintSpread("downtime, update run", workload.runTimes, " s");
            PrintSpread("downtime, peer", workload.copyTimes, " s");
            continue;
        }
        PrintSpread("ratio (run / xcopy)", workload.ratios, "");
        PrintSpread("ratio (run / durable)", workload.durableRatios, "");
        PrintSpread("durable / its xcopy", workload.durabilityCosts, "");
        PrintSpread("update run", workload.runTimes, " s");
        PrintSpread("xcopy", workload.copyTimes, " s");
        PrintSpread("durable (xcopy, sync)", workload.durableTimes, " s");
        const double peak = double(std::max(workload.peakWorkingSet, workload.peakPagefile)) / 1048576.0;
        std::printf("  %-26s %.1f MiB working set, %.1f MiB pagefile; installed %.1f MiB; over installed %+.1f MiB\n",
                    "peak memory", double(workload.peakWorkingSet) / 1048576.0,
                    double(workload.peakPagefile) / 1048576.0, installed, peak - installed);
    }
    return 0;
}
