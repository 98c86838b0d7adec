// The codec of small downloads, driven by bench/patch/run:
//   QXPatchBench patch OLD NEW OUT [LEVEL]  writes the patch, prints its size
//   QXPatchBench packed NEW OUT          writes the compressed file, prints its size
//   QXPatchBench time DOWNLOAD BASE|- NEW ROUNDS
//       per round, rebuilding NEW's content from DOWNLOAD (against BASE) and
//       copying NEW (CopyFileW, the peer), each into a fresh file; prints the
//       ratio rebuild / copy of each round, then min, median and max
//   QXPatchBench memory DOWNLOAD BASE|- NEWSIZE
//       rebuilds once, sampling the committed private memory every few
//       milliseconds; prints the peak above the start
#include "platform/FilePatch.h"
#include "platform/FilePatchMaker.h"
#include "platform/Handles.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

// Committed private memory over the address space: Wine's PrivateUsage
// counter leaves out the heap; mapped views of files are not MEM_PRIVATE.
SIZE_T PrivateBytes()
{
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (const char* at = nullptr; VirtualQuery(at, &region, sizeof(region)) == sizeof(region);
         at = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
            total += region.RegionSize;
    }
    return total;
}

CHandle OpenRead(const std::wstring& path)
{
    return CHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
}

uint64_t SizeOf(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool Rebuild(const std::wstring& download, const std::wstring& base, const std::wstring& target, uint64_t newSize,
             const CRebuildProgress* progress = nullptr)
{
    CHandle input = OpenRead(download);
    CHandle baseFile;
    if (base != L"-")
        baseFile = OpenRead(base);
    CHandle staged(CreateFileW(target.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    std::string md5;
    const CRebuildResult result =
        RebuildFile(input.Get(), baseFile ? baseFile.Get() : nullptr, staged.Get(), newSize, &md5, progress);
    if (!result.Ok())
        fwprintf(stderr, L"rebuild failed: %ls (%lu)\n", RebuildStatusText(result.status), result.error);
    return result.Ok();
}

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to)
{
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    return double(to.QuadPart - from.QuadPart) / double(frequency.QuadPart);
}

int Time(const std::wstring& download, const std::wstring& base, const std::wstring& newPath, int rounds)
{
    const uint64_t newSize = SizeOf(newPath);
    const std::wstring rebuilt = newPath + L".rebuilt";
    const std::wstring copied = newPath + L".copied";
    std::vector<double> ratios;
    for (int round = 1; round <= rounds; ++round) {
        DeleteFileW(rebuilt.c_str());
        DeleteFileW(copied.c_str());
        LARGE_INTEGER t0{}, t1{}, t2{};
        QueryPerformanceCounter(&t0);
        if (!Rebuild(download, base, rebuilt, newSize))
            return 1;
        QueryPerformanceCounter(&t1);
        if (!CopyFileW(newPath.c_str(), copied.c_str(), FALSE))
            return 1;
        QueryPerformanceCounter(&t2);
        const double ratio = Seconds(t0, t1) / Seconds(t1, t2);
        wprintf(L"round %d: rebuild %.1f ms, copy %.1f ms, ratio %.2f\n", round, Seconds(t0, t1) * 1000,
                Seconds(t1, t2) * 1000, ratio);
        ratios.push_back(ratio);
    }
    DeleteFileW(rebuilt.c_str());
    DeleteFileW(copied.c_str());
    std::sort(ratios.begin(), ratios.end());
    wprintf(L"rebuild / copy: min %.2f, median %.2f, max %.2f\n", ratios.front(), ratios[ratios.size() / 2],
            ratios.back());
    return 0;
}

int Memory(const std::wstring& download, const std::wstring& base, uint64_t newSize)
{
    const SIZE_T start = PrivateBytes();
    std::atomic<bool> done{false};
    std::atomic<SIZE_T> peak{start};
    std::thread sampler([&] {
        while (!done) {
            peak = std::max<SIZE_T>(peak, PrivateBytes());
            Sleep(2);
        }
    });
    const std::wstring target = download + L".rebuilt";
    const bool ok = Rebuild(download, base, target, newSize);
    done = true;
    sampler.join();
    DeleteFileW(target.c_str());
    wprintf(L"peak private memory above the start while rebuilding %llu bytes: %.1f MiB\n",
            static_cast<unsigned long long>(newSize), double(peak - start) / 1048576.0);
    return ok ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::vector<std::wstring> a(argv + 1, argv + argc);
    CPackedOutput written;
    std::wstring failed;
    if ((a.size() == 4 || a.size() == 5) && a[0] == L"patch") {
        CPackOptions options;
        if (a.size() == 5)
            options.level = _wtoi(a[4].c_str());
        if (!WritePatchFile(a[1], a[2], a[3], &written, &failed, options))
            return fwprintf(stderr, L"failed: %ls %lu\n", failed.c_str(), GetLastError()), 1;
        wprintf(L"%llu\n", static_cast<unsigned long long>(written.size));
        return 0;
    }
    if (a.size() == 3 && a[0] == L"packed") {
        if (!WritePackedFile(a[1], a[2], &written, &failed))
            return fwprintf(stderr, L"failed: %ls %lu\n", failed.c_str(), GetLastError()), 1;
        wprintf(L"%llu\n", static_cast<unsigned long long>(written.size));
        return 0;
    }
    if (a.size() == 5 && a[0] == L"time")
        return Time(a[1], a[2], a[3], _wtoi(a[4].c_str()));
    if (a.size() == 4 && a[0] == L"memory")
        return Memory(a[1], a[2], _wcstoui64(a[3].c_str(), nullptr, 10));
    fwprintf(stderr, L"usage: QXPatchBench patch OLD NEW OUT [LEVEL] | packed NEW OUT | time DOWNLOAD BASE|- NEW ROUNDS | "
                     L"memory DOWNLOAD BASE|- NEWSIZE\n");
    return 1;
}
