// QXMakeUpdate: publishes an update for the update service. "make" builds the
// downloads and the manifest from two versions of an application folder;
// "verify" checks a manifest's downloads, or an installed folder, as the
// engine will.
#include "makeupdate/Arguments.h"
#include "makeupdate/Console.h"
#include "makeupdate/JsonWriter.h"
#include "makeupdate/UpdateMaker.h"
#include "makeupdate/UpdateVerifier.h"

#include <windows.h>

#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv)
{
    const std::vector<std::wstring> arguments(argv + 1, argv + argc);
    const CCommandLine line = ParseCommandLine(arguments);
    for (const std::wstring& note : line.notes)
        PrintError(note);
    switch (line.command) {
    case eCommandHelp:
        for (const std::wstring& usage : UsageLines(line.topic))
            PrintOut(usage);
        return eExitDone;
    case eCommandVersion:
        PrintOut(std::wstring(L"QXMakeUpdate ") + kToolVersion);
        return eExitDone;
    case eCommandMake:
        return CUpdateMaker(line.make).Run();
    case eCommandVerify:
        return CUpdateVerifier(line.verify).Run();
    case eCommandNone:
    default:
        PrintError(line.error);
        for (const std::wstring& usage : UsageLines(line.topic))
            PrintError(usage);
        if (line.json)
            PrintOut(JsonErrorDocument(CommandName(line.topic), line.error, eExitUsage));
        return eExitUsage;
    }
}
