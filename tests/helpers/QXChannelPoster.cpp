// Posts test messages into the update request channel, or raises stop-all.
//   QXChannelPoster.exe [--count N] [--size BYTES] [--id P] [--kind K]
//                       [--first SEQ] [--timeout MS] [--start-event NAME]
//                       [--stop-all] [--hold MS]
//                       [--stall-at claimed|half|copied
//                        (--stall-ms MS | --stall-event NAME)]
//                       [--report NAME] [--retry]
// Message i (sequence SEQ + i) carries the stamp of tests/channel/PosterMessage.h.
// --start-event waits for that named event before posting (so several posters
// start together), after releasing the semaphore NAME + "_ready" once when it
// exists (so that the test knows when every poster waits); --stop-all raises stop-all after posting; --hold keeps the
// channel's objects open for MS more milliseconds; --stall-at makes the first
// message stall for MS milliseconds after its slot is claimed (before the copy)
// half-way through the copy, or after the copy (before it is marked ready), as a
// poster that hangs or is killed there; with --stall-event it signals the event
// NAME + "_stalled" there and waits for NAME + "_resume" instead. --report keeps
// the number of messages posted so far in 32-bit word P of the named mapping,
// stored after each post returned success. --retry posts a message again after
// a post that failed because its slot was given up or it timed out, so that the
// sequence has no gaps. Exit code 0 on success, otherwise the Windows error code
// of the step that failed (87 for bad usage).
#include "../channel/PosterMessage.h"
#include "channel/client/RequestPoster.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Options
{
    unsigned long count = 0;
    unsigned long size = 64;
    unsigned long id = 1;
    unsigned long kind = 0;
    unsigned long first = 0;
    unsigned long timeoutMs = 30000;
    unsigned long holdMs = 0;
    unsigned long stallMs = 0;
    std::string startEvent;
    std::string stallAt;
    std::string stallEvent;
    std::string report;
    bool stopAll = false;
    bool retry = false;
};

struct Stall
{
    CRequestPoster::ePostStage stage;
    DWORD ms;
    std::string event;
    bool done;
};

void StallOnce(void* context, CRequestPoster::ePostStage stage, DWORD)
{
    Stall* stall = static_cast<Stall*>(context);
    if (stall->done || stage != stall->stage)
        return;
    stall->done = true;
    if (stall->event.empty()) {
        Sleep(stall->ms);
        return;
    }
    CHandle stalled(OpenEventA(EVENT_MODIFY_STATE, FALSE, (stall->event + "_stalled").c_str()));
    CHandle resume(OpenEventA(SYNCHRONIZE, FALSE, (stall->event + "_resume").c_str()));
    if (stalled)
        SetEvent(stalled.Get());
    if (resume)
        WaitForSingleObject(resume.Get(), INFINITE);
}

CRequestPoster::ePostStage StageNamed(const std::string& name)
{
    if (name == "copied")
        return CRequestPoster::ePostCopied;
    if (name == "half")
        return CRequestPoster::ePostHalfCopied;
    return CRequestPoster::ePostClaimed;
}

bool ParseNumber(const char* text, unsigned long* value)
{
    char* end = nullptr;
    *value = std::strtoul(text, &end, 10);
    return end != text && *end == '\0';
}

bool Parse(int argc, char** argv, Options* options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--stop-all" || name == "--retry") {
            (name == "--retry" ? options->retry : options->stopAll) = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const char* value = argv[++i];
        const struct
        {
            const char* name;
            unsigned long* target;
        } numbers[] = {
            {"--count", &options->count},  {"--size", &options->size},       {"--id", &options->id},
            {"--kind", &options->kind},    {"--first", &options->first},     {"--timeout", &options->timeoutMs},
            {"--hold", &options->holdMs},  {"--stall-ms", &options->stallMs},
        };
        bool known = false;
        for (const auto& number : numbers) {
            if (name == number.name) {
                if (!ParseNumber(value, number.target))
                    return false;
                known = true;
            }
        }
        if (name == "--start-event") {
            options->startEvent = value;
            known = true;
        }
        if (name == "--stall-event" || name == "--report") {
            (name == "--report" ? options->report : options->stallEvent) = value;
            known = true;
        }
        if (name == "--stall-at") {
            options->stallAt = value;
            known = options->stallAt == "claimed" || options->stallAt == "half" || options->stallAt == "copied";
        }
        if (!known)
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!Parse(argc, argv, &options))
        return ERROR_INVALID_PARAMETER;

    CRequestPoster poster;
    if (!poster.Open())
        return static_cast<int>(poster.LastError());
    Stall stall{StageNamed(options.stallAt), options.stallMs, options.stallEvent, false};
    if (!options.stallAt.empty())
        poster.SetStageHook(StallOnce, &stall);

    if (!options.startEvent.empty()) {
        CHandle start(OpenEventA(SYNCHRONIZE, FALSE, options.startEvent.c_str()));
        if (!start)
            return static_cast<int>(GetLastError());
        CHandle ready(OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, (options.startEvent + "_ready").c_str()));
        if (ready)
            ReleaseSemaphore(ready.Get(), 1, nullptr);
        if (WaitForSingleObject(start.Get(), 30000) != WAIT_OBJECT_0)
            return ERROR_TIMEOUT;
    }

    CHandle reportMapping;
    CMappedView reportView;
    volatile LONG* posted = nullptr;
    if (!options.report.empty()) {
        reportMapping.Reset(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, options.report.c_str()));
        if (reportMapping)
            reportView.Reset(MapViewOfFile(reportMapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
        if (!reportView)
            return static_cast<int>(GetLastError());
        posted = static_cast<volatile LONG*>(reportView.Get()) + options.id;
    }

    for (unsigned long i = 0; i < options.count; ++i) {
        const std::vector<unsigned char> message =
            BuildPosterMessage(options.id, options.first + i, options.size, options.kind);
        while (!poster.Post(message.data(), static_cast<DWORD>(message.size()), options.timeoutMs)) {
            const DWORD error = poster.LastError();
            if (!options.retry || (error != CRequestPoster::kErrorSlotGivenUp && error != ERROR_TIMEOUT))
                return static_cast<int>(error);
        }
        if (posted != nullptr)
            InterlockedExchange(posted, static_cast<LONG>(i + 1));
    }
    if (options.stopAll)
        poster.RaiseStopAll();
    if (options.holdMs != 0)
        Sleep(options.holdMs);
    return 0;
}
