// Posts test messages into the update request channel, or raises stop-all.
//   QXChannelPoster.exe [--count N] [--size BYTES] [--id P] [--kind K]
//                       [--first SEQ] [--timeout MS] [--start-event NAME]
//                       [--stop-all] [--hold MS]
//                       [--stall-at claimed|copied --stall-ms MS]
// Message i (sequence SEQ + i) carries the stamp of tests/channel/PosterMessage.h.
// --start-event waits for that named event before posting (so several posters
// start together); --stop-all raises stop-all after posting; --hold keeps the
// channel's objects open for MS more milliseconds; --stall-at makes the first
// message stall for MS milliseconds after its slot is claimed (before the copy)
// or after the copy (before it is marked ready), as a poster that hangs or is
// killed there. Exit code 0 on success, otherwise the Windows error code of the
// step that failed (87 for bad usage).
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
    bool stopAll = false;
};

struct Stall
{
    CRequestPoster::ePostStage stage;
    DWORD ms;
    bool done;
};

void StallOnce(void* context, CRequestPoster::ePostStage stage, DWORD)
{
    Stall* stall = static_cast<Stall*>(context);
    if (stall->done || stage != stall->stage)
        return;
    stall->done = true;
    Sleep(stall->ms);
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
        if (name == "--stop-all") {
            options->stopAll = true;
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
        if (name == "--stall-at") {
            options->stallAt = value;
            known = options->stallAt == "claimed" || options->stallAt == "copied";
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
    Stall stall{options.stallAt == "copied" ? CRequestPoster::ePostCopied : CRequestPoster::ePostClaimed,
                options.stallMs, false};
    if (!options.stallAt.empty())
        poster.SetStageHook(StallOnce, &stall);

    if (!options.startEvent.empty()) {
        CHandle start(OpenEventA(SYNCHRONIZE, FALSE, options.startEvent.c_str()));
        if (!start)
            return static_cast<int>(GetLastError());
        if (WaitForSingleObject(start.Get(), 30000) != WAIT_OBJECT_0)
            return ERROR_TIMEOUT;
    }

    for (unsigned long i = 0; i < options.count; ++i) {
        const std::vector<unsigned char> message =
            BuildPosterMessage(options.id, options.first + i, options.size, options.kind);
        if (!poster.Post(message.data(), static_cast<DWORD>(message.size()), options.timeoutMs))
            return static_cast<int>(poster.LastError());
    }
    if (options.stopAll)
        poster.RaiseStopAll();
    if (options.holdMs != 0)
        Sleep(options.holdMs);
    return 0;
}
