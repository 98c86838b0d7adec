// Channel benchmark. The driver process is the reader: it creates the channel
// as the service does and starts one poster process; the same messages then
// go through a message-mode named pipe between two processes, and a
// single-thread memcpy of 64 KiB blocks gives the copying limit.
//   QXChannelBench.exe [rounds]                 the driver; prints the figures
//   QXChannelBench.exe channel-post COUNT SIZE  a poster (started by the driver)
//   QXChannelBench.exe pipe-post NAME COUNT SIZE
#include "channel/RequestChannel.h"
#include "channel/client/RequestPoster.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kSlotSize = 65536; // the service's channel
constexpr DWORD kSlots = 8;

double Now()
{
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return double(counter.QuadPart) / double(frequency.QuadPart);
}

std::vector<unsigned char> Message(size_t size, uint32_t sequence)
{
    std::vector<unsigned char> message(size);
    for (size_t i = 0; i < size; ++i)
        message[i] = static_cast<unsigned char>(i * 7 + sequence);
    std::memset(message.data(), 0, std::min<size_t>(8, size)); // length word (the poster writes it) and kind 0
    if (size >= 12)
        std::memcpy(message.data() + 8, &sequence, 4);
    return message;
}

std::wstring SelfPath()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

bool StartChild(const std::wstring& arguments, CHandle* process)
{
    std::wstring command = L"\"" + SelfPath() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return false;
    CloseHandle(info.hThread);
    process->Reset(info.hProcess);
    return true;
}

DWORD FinishChild(CHandle& process)
{
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process.Get(), 60000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.Get(), &code);
    else
        TerminateProcess(process.Get(), 1);
    return code;
}

// ---- child programs

int ChannelPost(DWORD count, DWORD size)
{
    CRequestPoster poster;
    if (!poster.Open())
        return static_cast<int>(poster.LastError());
    std::vector<unsigned char> message = Message(size, 0);
    for (DWORD i = 0; i < count; ++i) {
        if (size >= 12)
            std::memcpy(message.data() + 8, &i, 4);
        if (!poster.Post(message.data(), size, 30000))
            return static_cast<int>(poster.LastError());
    }
    return 0;
}

int PipePost(const wchar_t* name, DWORD count, DWORD size)
{
    CHandle pipe;
    for (int attempt = 0; attempt < 100 && !pipe; ++attempt) {
        pipe.Reset(CreateFileW(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!pipe)
            WaitNamedPipeW(name, 100);
    }
    if (!pipe)
        return static_cast<int>(GetLastError());
    std::vector<unsigned char> message = Message(size, 0);
    for (DWORD i = 0; i < count; ++i) {
        if (size >= 12)
            std::memcpy(message.data() + 8, &i, 4);
        DWORD written = 0;
        if (!WriteFile(pipe.Get(), message.data(), size, &written, nullptr) || written != size)
            return static_cast<int>(GetLastError());
    }
    FlushFileBuffers(pipe.Get());
    return 0;
}

// ---- measurements: messages per second, from the first message to the last

struct Figure
{
    double messagesPerSecond = 0;
    bool ok = false;
};

// Waits for the poster and turns the reader's count and times into a figure:
// the rate from the first message to the last, when every one arrived.
Figure Finish(const char* what, CHandle& poster, DWORD received, DWORD count, double first, double last)
{
    Figure figure;
    const DWORD code = FinishChild(poster);
    if (received == count && code == 0 && count > 1) {
        figure.messagesPerSecond = (count - 1) / (last - first);
        figure.ok = true;
    } else {
        std::fprintf(stderr, "%s: %lu of %lu messages, poster exit %lu\n", what, received, count, code);
    }
    return figure;
}

Figure MeasureChannel(DWORD count, DWORD size)
{
    Figure figure;
    CRequestChannel channel;
    if (!channel.Create(kSlotSize, kSlots)) {
        std::fprintf(stderr, "channel: Create failed, error %lu\n", channel.LastError());
        return figure;
    }
    CHandle poster;
    if (!StartChild(L"channel-post " + std::to_wstring(count) + L" " + std::to_wstring(size), &poster))
        return figure;
    // The service worker's loop: copy the slot out, free it, handle the copy.
    std::vector<unsigned char> buffer(kSlotSize);
    double first = 0, last = 0;
    DWORD received = 0;
    while (received < count) {
        volatile LONG* state = nullptr;
        unsigned char* slot = channel.Receive(&state, nullptr);
        if (slot == nullptr)
            break;
        const DWORD copied = channel.MessageLength(slot);
        std::memcpy(buffer.data(), slot, copied);
        channel.ReleaseSlot(state);
        if (copied != 0)
            HandleRequest(buffer.data(), copied);
        uint32_t sequence = 0;
        std::memcpy(&sequence, buffer.data() + 8, 4);
        if (size >= 12 && sequence != received) {
            std::fprintf(stderr, "channel: message %lu arrived as %u\n", received, sequence);
            break;
        }
        last = Now();
        if (received++ == 0)
            first = last;
    }
    return Finish("channel", poster, received, count, first, last);
}

Figure MeasurePipe(DWORD count, DWORD size)
{
    Figure figure;
    const std::wstring name = L"\\\\.\\pipe\\QXChannelBench-" + std::to_wstring(GetCurrentProcessId());
    CHandle pipe(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                  1, kSlotSize, kSlotSize, 0, nullptr));
    if (!pipe)
        return figure;
    CHandle poster;
    if (!StartChild(L"pipe-post " + name + L" " + std::to_wstring(count) + L" " + std::to_wstring(size), &poster))
        return figure;
    if (!ConnectNamedPipe(pipe.Get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)
        return figure;
    std::vector<unsigned char> buffer(kSlotSize);
    double first = 0, last = 0;
    DWORD received = 0;
    while (received < count) {
        DWORD read = 0;
        if (!ReadFile(pipe.Get(), buffer.data(), kSlotSize, &read, nullptr) || read != size)
            break;
        HandleRequest(buffer.data(), read);
        last = Now();
        if (received++ == 0)
            first = last;
    }
    return Finish("pipe", poster, received, count, first, last);
}

// 64 KiB blocks from a 512 KiB source (as big as the channel's slots) into
// one 64 KiB buffer, as the reader copies them.
Figure MeasureMemcpy(DWORD count)
{
    std::vector<unsigned char> source(kSlotSize * kSlots), target(kSlotSize);
    for (size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<unsigned char>(i);
    volatile unsigned sink = 0;
    const double start = Now();
    for (DWORD i = 0; i < count; ++i) {
        std::memcpy(target.data(), source.data() + size_t(i % kSlots) * kSlotSize, kSlotSize);
        sink = sink + target[i % kSlotSize];
    }
    Figure figure;
    figure.messagesPerSecond = count / (Now() - start);
    figure.ok = true;
    return figure;
}

// The same copies, but out of a page-file section like the channel's segment.
Figure MeasureMappedMemcpy(DWORD count)
{
    Figure figure;
    CHandle mapping(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | SEC_COMMIT, 0,
                                       kSlotSize * kSlots, nullptr));
    CMappedView view(MapViewOfFile(mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!view)
        return figure;
    unsigned char* source = static_cast<unsigned char*>(view.Get());
    std::vector<unsigned char> target(kSlotSize);
    for (size_t i = 0; i < kSlotSize * kSlots; ++i)
        source[i] = static_cast<unsigned char>(i);
    volatile unsigned sink = 0;
    const double start = Now();
    for (DWORD i = 0; i < count; ++i) {
        std::memcpy(target.data(), source + size_t(i % kSlots) * kSlotSize, kSlotSize);
        sink = sink + target[i % kSlotSize];
    }
    figure.messagesPerSecond = count / (Now() - start);
    figure.ok = true;
    return figure;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

template <typename Measure>
double Repeat(int rounds, Measure measure)
{
    std::vector<double> rates;
    for (int i = 0; i < rounds; ++i) {
        const Figure figure = measure();
        if (!figure.ok)
            return 0;
        rates.push_back(figure.messagesPerSecond);
    }
    return Median(rates);
}

void Row(const char* what, DWORD size, DWORD count, double rate)
{
    std::printf("%-28s %8lu %9lu %14.0f %12.1f\n", what, size, count, rate, rate * size / 1e6);
}

int Driver(int rounds)
{
    const DWORD smallCount = 200000, smallPipeCount = 50000;
    const DWORD largeCount = 20000, largePipeCount = 10000;
    std::printf("rounds per figure: %d (median shown); reader copies min(slotSize, 65536) per message\n", rounds);
    std::printf("%-28s %8s %9s %14s %12s\n", "transport", "bytes", "messages", "messages/s", "MB/s");
    const double channelSmall = Repeat(rounds, [&] { return MeasureChannel(smallCount, 256); });
    Row("channel (65536 x 8 slots)", 256, smallCount, channelSmall);
    const double pipeSmall = Repeat(rounds, [&] { return MeasurePipe(smallPipeCount, 256); });
    Row("named pipe, message mode", 256, smallPipeCount, pipeSmall);
    const double channelLarge = Repeat(rounds, [&] { return MeasureChannel(largeCount, kSlotSize); });
    Row("channel (65536 x 8 slots)", kSlotSize, largeCount, channelLarge);
    const double pipeLarge = Repeat(rounds, [&] { return MeasurePipe(largePipeCount, kSlotSize); });
    Row("named pipe, message mode", kSlotSize, largePipeCount, pipeLarge);
    const double copy = Repeat(rounds, [&] { return MeasureMemcpy(200000); });
    Row("memcpy 64 KiB, one thread", kSlotSize, 200000, copy);
    const double mappedCopy = Repeat(rounds, [&] { return MeasureMappedMemcpy(200000); });
    Row("memcpy 64 KiB from a section", kSlotSize, 200000, mappedCopy);
    if (channelSmall == 0 || pipeSmall == 0 || channelLarge == 0 || pipeLarge == 0)
        return 1;
    std::printf("\n256 B:  channel / pipe message rate = %.2f (aim >= 3)\n", channelSmall / pipeSmall);
    std::printf("64 KiB: channel / memcpy rate       = %.2f (aim >= 0.5)\n", channelLarge / copy);
    std::printf("64 KiB: channel / pipe message rate = %.2f\n", channelLarge / pipeLarge);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 4 && std::strcmp(argv[1], "channel-post") == 0)
        return ChannelPost(std::strtoul(argv[2], nullptr, 10), std::strtoul(argv[3], nullptr, 10));
    if (argc >= 5 && std::strcmp(argv[1], "pipe-post") == 0) {
        const std::string name = argv[2];
        return PipePost(std::wstring(name.begin(), name.end()).c_str(), std::strtoul(argv[3], nullptr, 10),
                        std::strtoul(argv[4], nullptr, 10));
    }
    return Driver(argc >= 2 ? std::max(1, std::atoi(argv[1])) : 5);
}
