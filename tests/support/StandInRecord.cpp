#include "support/StandInRecord.h"

#include "support/TestSupport.h"

std::vector<StandInEvent> ReadStandInRecord(const std::wstring& path)
{
    std::vector<StandInEvent> events;
    const auto bytes = ReadBytes(path);
    if (!bytes)
        return events;
    for (const std::string& line : SplitLines(*bytes)) {
        std::vector<std::string> fields;
        size_t begin = 0;
        // The command line is the last field and may hold tabs of its own.
        while (fields.size() < 5) {
            const size_t tab = line.find('\t', begin);
            if (tab == std::string::npos)
                break;
            fields.push_back(line.substr(begin, tab - begin));
            begin = tab + 1;
        }
        fields.push_back(line.substr(begin));
        StandInEvent event;
        event.kind = fields[0];
        if (event.kind == "start" && fields.size() == 6) {
            event.module = FromUtf8(fields[3]);
            event.folder = FromUtf8(fields[4]);
            event.commandLine = FromUtf8(fields[5]);
        } else if (event.kind == "ready" && fields.size() == 4) {
            event.runFiles = std::stoul(fields[3]);
        } else if (event.kind != "exit" || fields.size() != 3) {
            continue;
        }
        event.processId = static_cast<DWORD>(std::stoul(fields[1]));
        event.time = std::stoull(fields[2]);
        events.push_back(event);
    }
    return events;
}

std::vector<StandInEvent> ReadStandInStarts(const std::wstring& path)
{
    std::vector<StandInEvent> starts;
    for (const StandInEvent& event : ReadStandInRecord(path)) {
        if (event.kind == "start")
            starts.push_back(event);
    }
    return starts;
}
