// Update-run benchmark. Given a folder whose "upd" subfolder holds the files
// to install, it writes a manifest for all of them and then, round by round,
//   - runs the update executable on it into a fresh application folder, and
//   - copies the same files with xcopy into a fresh folder,
// timing each as a whole process and polling the update run's memory
// counters until it ends. It prints every round and the medians.
//   QXUpdateRunBench.exe ROUNDS DATA_FOLDER PRODUCT_EXE
// The folder is left in place (the runner script owns and deletes it).
#include "platform/Handles.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cwchar>
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
    const std::wstring target = data + L"app\\";
    const std::wstring copies = data + L"xcopy\\";
    const std::wstring bin = data + L"bin\\";
    const std::wstring product = bin + L"QXClientUpdSvc.exe";

    const std::vector<FileEntry> files = ListFiles(downloads);
    uint64_t total = 0;
    std::wstring items;
    for (size_t i = 0; i < files.size(); ++i) {
        total += files[i].size;
        items += L"<I" + std::to_wstring(i) + L" FileName=\"" + files[i].name + L"\" SizeByte=\"" +
                 std::to_wstring(files[i].size) + L"\" Modified=\"1500000000\" isUpdate=\"1\"/>";
    }
    const std::wstring manifest = data + L"update.xml";
    CreateDirectoryW(bin.c_str(), nullptr);
    if (files.empty() || !CopyFileW(argv[3], product.c_str(), FALSE) ||
        !WriteText(manifest, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n" +
                                 Utf8(L"<update><info UpdateFolder=\"" + downloads + L"\" TargetFolder=\"" + target +
                                      L"\"/><files count=\"" + std::to_wstring(files.size()) + L"\">" + items +
                                      L"</files></update>"))) {
        std::fprintf(stderr, "cannot prepare %s (%lu)\n", Utf8(data).c_str(), GetLastError());
        return 1;
    }
    std::printf("files: %zu, %.1f MiB in all\n", files.size(), double(total) / 1048576.0);

    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring updateCommand = L"\"" + product + L"\" update \"updfile:" + manifest + L"\"";
    const std::wstring xcopyCommand =
        L"\"" + std::wstring(system) + L"\\xcopy.exe\" \"" + downloads + L"*\" \"" + copies + L"\" /Q /Y";

    std::vector<double> runTimes, copyTimes, ratios;
    SIZE_T peakWorkingSet = 0, peakPagefile = 0;
    // Round 0 warms the caches and is not counted.
    for (int round = 0; round <= rounds; ++round) {
        RemoveTree(target);
        CreateDirectoryW(target.c_str(), nullptr);
        const RunFigures run = RunTimed(updateCommand, bin);
        const bool runOk = run.ok && SameFiles(files, target);
        RemoveTree(target);

        RemoveTree(copies);
        CreateDirectoryW(copies.c_str(), nullptr);
        const RunFigures copy = RunTimed(xcopyCommand, data);
        const bool copyOk = copy.ok && SameFiles(files, copies);
        RemoveTree(copies);

        if (!runOk || !copyOk) {
            std::fprintf(stderr, "round %d: %s did not produce the files\n", round, runOk ? "xcopy" : "the update run");
            return 1;
        }
        std::printf("round %d%s: update run %.3f s (peak working set %.1f MiB, peak pagefile %.1f MiB), "
                    "xcopy %.3f s, ratio %.2f\n",
                    round, round == 0 ? " (warm-up)" : "", run.seconds, double(run.peakWorkingSet) / 1048576.0,
                    double(run.peakPagefile) / 1048576.0, copy.seconds, run.seconds / copy.seconds);
        if (round == 0)
            continue;
        runTimes.push_back(run.seconds);
        copyTimes.push_back(copy.seconds);
        ratios.push_back(run.seconds / copy.seconds);
        peakWorkingSet = std::max(peakWorkingSet, run.peakWorkingSet);
        peakPagefile = std::max(peakPagefile, run.peakPagefile);
    }

    const double installed = double(total) / 1048576.0;
    const double peak = double(std::max(peakWorkingSet, peakPagefile)) / 1048576.0;
    std::printf("median update run:  %.3f s\n", Median(runTimes));
    std::printf("median xcopy:       %.3f s\n", Median(copyTimes));
    std::printf("median ratio:       %.2f (update run / xcopy, pair by pair; aim <= 1.00)\n", Median(ratios));
    std::printf("peak memory:        %.1f MiB working set, %.1f MiB pagefile; installed %.1f MiB; "
                "over installed %.1f MiB (aim <= 64)\n",
                double(peakWorkingSet) / 1048576.0, double(peakPagefile) / 1048576.0, installed, peak - installed);
    return 0;
}
