// Update-run benchmark. Given a folder whose "upd" subfolder holds the files
// to install and whose "old" subfolder holds older versions under the same
// names (and md5.txt, "digest  name" lines of the new files), it measures
// three workloads, round by round, each paired with xcopy /Y of the same
// files over a folder that holds the old versions (so the peer overwrites too):
//   fresh    the update run into an empty application folder;
//   replace  the update run over a folder of the old versions;
//   md5      as replace, with an MD5 on every item of the manifest.
// Each is timed as a whole process, with the update run's memory counters
// polled until it ends; which of the pair goes first alternates by round. It prints every round, then per workload the minimum,
// median and maximum of the per-round ratio and the peak memory.
//   QXUpdateRunBench.exe ROUNDS DATA_FOLDER PRODUCT_EXE
// The folder is left in place (the runner script owns and deletes it).
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
                   const std::vector<FileEntry>& files, const std::map<std::wstring, std::wstring>* digests)
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
                                    L"\"/><files count=\"" + std::to_wstring(files.size()) + L"\">" + items +
                                    L"</files></update>"));
}

struct Workload
{
    const char* name;
    const wchar_t* manifest;
    bool overOldFiles;
    std::vector<double> ratios, runTimes, copyTimes;
    SIZE_T peakWorkingSet = 0;
    SIZE_T peakPagefile = 0;
};

void PrintSpread(const char* what, std::vector<double> values, const char* unit)
{
    std::sort(values.begin(), values.end());
    std::printf("  %-22s min %.3f%s  median %.3f%s  max %.3f%s\n", what, values.front(), unit, Median(values), unit,
                values.back(), unit);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: QXUpdateRunBench.exe ROUNDS DATA_FOLDER PRODUCT_EXE\n");
        return 2;
    }
    const int rounds = std::max(1, _wtoi(argv[1]));
    std::wstring data = argv[2];
    if (data.back() != L'\\')
        data += L'\\';
    const std::wstring downloads = data + L"upd\\";
    const std::wstring oldVersions = data + L"old\\";
    const std::wstring target = data + L"app\\";
    const std::wstring copies = data + L"xcopy\\";
    const std::wstring bin = data + L"bin\\";
    const std::wstring product = bin + L"QXClientUpdSvc.exe";

    const std::vector<FileEntry> files = ListFiles(downloads);
    uint64_t total = 0;
    for (const FileEntry& file : files)
        total += file.size;
    const std::map<std::wstring, std::wstring> digests = ReadDigests(data + L"md5.txt");
    CreateDirectoryW(bin.c_str(), nullptr);
    if (files.empty() || !CopyFileW(argv[3], product.c_str(), FALSE) ||
        !WriteManifest(data + L"plain.xml", downloads, target, files, nullptr) ||
        !WriteManifest(data + L"md5.xml", downloads, target, files, &digests)) {
        std::fprintf(stderr, "cannot prepare %s (%lu)\n", Utf8(data).c_str(), GetLastError());
        return 1;
    }
    std::printf("files: %zu, %.1f MiB in all\n", files.size(), double(total) / 1048576.0);

    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring xcopyCommand =
        L"\"" + std::wstring(system) + L"\\xcopy.exe\" \"" + downloads + L"*\" \"" + copies + L"\" /Q /Y";

    Workload workloads[] = {
        {"fresh", L"plain.xml", false, {}, {}, {}},
        {"replace", L"plain.xml", true, {}, {}, {}},
        {"replace+md5", L"md5.xml", true, {}, {}, {}},
    };
    // Round 0 warms the caches and is not counted.
    for (int round = 0; round <= rounds; ++round) {
        for (Workload& workload : workloads) {
            // Which of the two goes first alternates from round to round: on
            // a virtual machine a process can find the memory it writes the
            // files into slow or fast depending on what ran before it, and
            // with a fixed order one side could always get the slow turn.
            RunFigures run, copy;
            bool runOk = false, copyOk = false;
            for (int turn = 0; turn < 2; ++turn) {
                if ((turn == 0) == (round % 2 == 1)) {
                    if (workload.overOldFiles ? !CopyFolder(oldVersions, target) : !EmptyFolder(target)) {
                        std::fprintf(stderr, "cannot prepare the application folder\n");
                        return 1;
                    }
                    const std::wstring updateCommand =
                        L"\"" + product + L"\" update \"updfile:" + data + workload.manifest + L"\"";
                    run = RunTimed(updateCommand, bin);
                    runOk = run.ok && SameFiles(files, target);
                    RemoveTree(target);
                } else {
                    if (!CopyFolder(oldVersions, copies)) {
                        std::fprintf(stderr, "cannot prepare the copy folder\n");
                        return 1;
                    }
                    copy = RunTimed(xcopyCommand, data);
                    copyOk = copy.ok && SameFiles(files, copies);
                    RemoveTree(copies);
                }
            }

            if (!runOk || !copyOk) {
                std::fprintf(stderr, "round %d, %s: %s did not produce the files\n", round, workload.name,
                             runOk ? "xcopy" : "the update run");
                return 1;
            }
            std::printf("round %d%s %-12s update run %.3f s (peak working set %.1f MiB), xcopy %.3f s%s, ratio %.2f\n",
                        round, round == 0 ? " (warm-up)" : "", workload.name, run.seconds,
                        double(run.peakWorkingSet) / 1048576.0, copy.seconds, round % 2 == 1 ? "" : " (first)",
                        run.seconds / copy.seconds);
            if (round == 0)
                continue;
            workload.runTimes.push_back(run.seconds);
            workload.copyTimes.push_back(copy.seconds);
            workload.ratios.push_back(run.seconds / copy.seconds);
            workload.peakWorkingSet = std::max(workload.peakWorkingSet, run.peakWorkingSet);
            workload.peakPagefile = std::max(workload.peakPagefile, run.peakPagefile);
        }
    }

    const double installed = double(total) / 1048576.0;
    for (const Workload& workload : workloads) {
        std::printf("%s:\n", workload.name);
        PrintSpread("ratio (run / xcopy)", workload.ratios, "");
        PrintSpread("update run", workload.runTimes, " s");
        PrintSpread("xcopy", workload.copyTimes, " s");
        const double peak = double(std::max(workload.peakWorkingSet, workload.peakPagefile)) / 1048576.0;
        std::printf("  %-22s %.1f MiB working set, %.1f MiB pagefile; installed %.1f MiB; over installed %+.1f MiB\n",
                    "peak memory", double(workload.peakWorkingSet) / 1048576.0,
                    double(workload.peakPagefile) / 1048576.0, installed, peak - installed);
    }
    return 0;
}
