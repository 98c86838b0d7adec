#include "makeupdate/Arguments.h"

const wchar_t kToolVersion[] = L"1.1.0";

namespace {

CCommandLine Unusable(eCommand topic, const std::wstring& error)
{
    CCommandLine line;
    line.topic = topic;
    line.error = error;
    return line;
}

CCommandLine Help(eCommand topic)
{
    CCommandLine line;
    line.command = eCommandHelp;
    line.topic = topic;
    return line;
}

bool IsHelp(const std::wstring& argument)
{
    return argument == L"--help" || argument == L"-h" || argument == L"/?";
}

// One option of a command: a text that takes a value, or a flag.
struct COption
{
    const wchar_t* name;
    std::optional<std::wstring>* text;
    bool* flag;
    bool isFolder; // a folder path: an empty one is refused
    // For an earlier spelling that still works: the note it gets on standard
    // error.
    const wchar_t* note = nullptr;
};

// Whether --json stands among the options, read as the parser reads them (the
// value of a text option is no option), but without stopping at an error, so
// that even an unusable line is answered in JSON.
bool AsksForJson(const std::vector<std::wstring>& arguments, const std::vector<COption>& options)
{
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        if (argument == L"--")
            return false;
        if (argument == L"--json")
            return true;
        for (const COption& option : options) {
            if (argument == option.name && option.text != nullptr)
                ++i;
        }
    }
    return false;
}

// Reads the options of command from arguments[1..] into their places, and
// every other argument into positional. Returns a line with the command set,
// or with help or an error.
CCommandLine ParseEachOption(eCommand command, const std::vector<std::wstring>& arguments,
                             const std::vector<COption>& options, std::vector<std::wstring>* positional)
{
    std::vector<std::wstring> notes;
    bool optionsEnded = false;
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        if (optionsEnded || argument.compare(0, 2, L"--") != 0) {
            if (!optionsEnded && IsHelp(argument))
                return Help(command);
            positional->push_back(argument);
            continue;
        }
        if (argument == L"--") {
            optionsEnded = true;
            continue;
        }
        const size_t equals = argument.find(L'=');
        const std::wstring name = argument.substr(0, equals);
        if (name == L"--help") {
            if (equals != std::wstring::npos)
                return Unusable(command, L"option takes no value: " + name);
            return Help(command);
        }
        const COption* option = nullptr;
        for (const COption& candidate : options) {
            if (name == candidate.name)
                option = &candidate;
        }
        if (option == nullptr)
            return Unusable(command, L"unknown option: " + name);
        if (option->note != nullptr)
            notes.push_back(option->note);
        if (option->flag != nullptr) {
            if (equals != std::wstring::npos)
                return Unusable(command, L"option takes no value: " + name);
            if (*option->flag)
                return Unusable(command, L"option given twice: " + name);
            *option->flag = true;
            continue;
        }
        // Without "=", the next argument is the value whatever it looks
        // like, so that --params can pass options of the started program.
        std::wstring value;
        if (equals != std::wstring::npos) {
            value = argument.substr(equals + 1);
        } else {
            if (i + 1 >= arguments.size())
                return Unusable(command, L"option without its value: " + name);
            value = arguments[++i];
        }
        if (option->text->has_value())
            return Unusable(command, L"option given twice: " + name);
        if (option->isFolder && value.empty())
            return Unusable(command, L"empty folder path for " + name);
        *option->text = value;
    }
    CCommandLine line;
    line.command = command;
    line.topic = command;
    line.notes = notes;
    return line;
}

CCommandLine ParseOptions(eCommand command, const std::vector<std::wstring>& arguments,
                          const std::vector<COption>& options, std::vector<std::wstring>* positional)
{
    CCommandLine line = ParseEachOption(command, arguments, options, positional);
    line.json = AsksForJson(arguments, options);
    return line;
}

// A version option's value, checked; the option named as it was given.
bool CheckVersion(const std::vector<std::wstring>& arguments, const wchar_t* const* names,
                  const std::optional<std::wstring>& value, std::wstring* error)
{
    if (!value || IsVersionText(*value))
        return true;
    std::wstring given = names[0];
    for (const std::wstring& argument : arguments) {
        for (const wchar_t* const* name = names; *name != nullptr; ++name) {
            const std::wstring text = *name;
            if (argument == text || argument.compare(0, text.size() + 1, text + L"=") == 0)
                given = text;
        }
    }
    *error = given + L" takes four numbers A.B.C.D, not: " + *value;
    return false;
}

CCommandLine ParseMake(const std::vector<std::wstring>& arguments)
{
    CMakeOptions options;
    std::optional<std::wstring> oldFolder;
    std::optional<std::wstring> newFolder;
    std::optional<std::wstring> outFolder;
    const std::vector<COption> known = {
        {L"--old", &oldFolder, nullptr, true},
        {L"--new", &newFolder, nullptr, true},
        {L"--out", &outFolder, nullptr, true},
        {L"--target-folder", &options.targetFolder, nullptr, false},
        {L"--update-folder", &options.updateFolder, nullptr, false},
        {L"--manifest-version", &options.manifestVersion, nullptr, false},
        // The spelling before the tool had a --version of its own.
        {L"--version", &options.manifestVersion, nullptr, false,
         L"note: --version of make is now --manifest-version (the manifest's version); "
         L"QXMakeUpdate --version prints the tool's version"},
        {L"--from-version", &options.fromVersion, nullptr, false},
        {L"--app-to-run", &options.appToRun, nullptr, false},
        {L"--params", &options.params, nullptr, false},
        {L"--restart-client", nullptr, &options.restartClient, false},
        {L"--keep-removed", nullptr, &options.keepRemoved, false},
        {L"--allow-empty", nullptr, &options.allowEmpty, false},
        {L"--allow-mass-removal", nullptr, &options.allowMassRemoval, false},
        {L"--dry-run", nullptr, &options.dryRun, false},
        {L"--no-full", nullptr, &options.noFull, false},
        {L"--json", nullptr, &options.json, false},
    };
    std::vector<std::wstring> positional;
    CCommandLine line = ParseOptions(eCommandMake, arguments, known, &positional);
    if (line.command != eCommandMake)
        return line;
    auto unusable = [&line](const std::wstring& error) {
        CCommandLine refused = Unusable(eCommandMake, error);
        refused.json = line.json;
        return refused;
    };
    if (!positional.empty())
        return unusable(L"unexpected argument: " + positional[0]);
    if (!oldFolder || !newFolder || !outFolder)
        return unusable(L"make needs --old, --new and --out");
    static const wchar_t* const manifestVersionNames[] = {L"--manifest-version", L"--version", nullptr};
    static const wchar_t* const fromVersionNames[] = {L"--from-version", nullptr};
    std::wstring error;
    if (!CheckVersion(arguments, manifestVersionNames, options.manifestVersion, &error) ||
        !CheckVersion(arguments, fromVersionNames, options.fromVersion, &error))
        return unusable(error);
    options.oldFolder = *oldFolder;
    options.newFolder = *newFolder;
    options.outFolder = *outFolder;
    line.make = options;
    return line;
}

CCommandLine ParseVerify(const std::vector<std::wstring>& arguments)
{
    CVerifyOptions options;
    const std::vector<COption> known = {
        {L"--installed", &options.installedFolder, nullptr, true},
        {L"--downloads", &options.downloadsFolder, nullptr, true},
        {L"--base", &options.baseFolder, nullptr, true},
        {L"--json", nullptr, &options.json, false},
    };
    std::vector<std::wstring> positional;
    CCommandLine line = ParseOptions(eCommandVerify, arguments, known, &positional);
    if (line.command != eCommandVerify)
        return line;
    auto unusable = [&line](const std::wstring& error) {
        CCommandLine refused = Unusable(eCommandVerify, error);
        refused.json = line.json;
        return refused;
    };
    if (positional.size() != 1)
        return unusable(L"verify takes exactly one manifest path");
    if (positional[0].empty())
        return unusable(L"the manifest path is empty");
    if (options.installedFolder && options.downloadsFolder)
        return unusable(L"--installed and --downloads check different folders: give one of them");
    if (options.installedFolder && options.baseFolder)
        return unusable(L"--base is for checking downloads, not an installed folder");
    options.manifest = positional[0];
    line.verify = options;
    return line;
}

eCommand CommandNamed(const std::wstring& name)
{
    if (name == L"make")
        return eCommandMake;
    if (name == L"verify")
        return eCommandVerify;
    return eCommandNone;
}

} // namespace

bool IsVersionText(const std::wstring& text)
{
    int parts = 0;
    size_t start = 0;
    for (;;) {
        const size_t dot = text.find(L'.', start);
        const std::wstring part = text.substr(start, dot == std::wstring::npos ? std::wstring::npos : dot - start);
        if (part.empty() || part.size() > 10)
            return false;
        long long value = 0;
        for (wchar_t c : part) {
            if (c < L'0' || c > L'9')
                return false;
            value = value * 10 + (c - L'0');
        }
        if (value > 0x7FFFFFFF)
            return false;
        ++parts;
        if (dot == std::wstring::npos)
            break;
        start = dot + 1;
    }
    return parts == 4;
}

std::wstring CommandName(eCommand command)
{
    switch (command) {
    case eCommandMake:
        return L"make";
    case eCommandVerify:
        return L"verify";
    case eCommandVersion:
        return L"version";
    case eCommandHelp:
        return L"help";
    default:
        return L"";
    }
}

CCommandLine ParseCommandLine(const std::vector<std::wstring>& arguments)
{
    if (arguments.empty())
        return Unusable(eCommandNone, L"no command given");
    // Without a command there are no options to tell values from: any --json
    // asks for the error as JSON.
    auto unusable = [&arguments](const std::wstring& error) {
        CCommandLine line = Unusable(eCommandNone, error);
        for (const std::wstring& argument : arguments)
            line.json = line.json || argument == L"--json";
        return line;
    };
    const std::wstring& command = arguments[0];
    if (IsHelp(command) || command == L"help") {
        if (arguments.size() == 1)
            return Help(eCommandNone);
        const eCommand topic = CommandNamed(arguments[1]);
        if (arguments.size() > 2 || topic == eCommandNone)
            return unusable(L"help takes one command name, make or verify");
        return Help(topic);
    }
    if (command == L"--version" || command == L"version") {
        if (arguments.size() > 1)
            return unusable(command + L" takes nothing more: " + arguments[1]);
        CCommandLine line;
        line.command = eCommandVersion;
        return line;
    }
    switch (CommandNamed(command)) {
    case eCommandMake:
        return ParseMake(arguments);
    case eCommandVerify:
        return ParseVerify(arguments);
    default:
        return unusable(L"unknown command: " + command);
    }
}

std::vector<std::wstring> UsageLines(eCommand topic)
{
    const std::vector<std::wstring> make = {
        L"  QXMakeUpdate make --old OLD --new NEW --out OUT [--target-folder PATH] [--update-folder PATH]",
        L"                    [--manifest-version A.B.C.D] [--from-version A.B.C.D] [--app-to-run NAME]",
        L"                    [--params TEXT] [--restart-client] [--keep-removed] [--allow-empty]",
        L"                    [--allow-mass-removal] [--no-full] [--dry-run] [--json]",
        L"      copies every file of NEW that OLD lacks or holds with other bytes to OUT (an empty or",
        L"      new folder) and lists them in OUT\\update.xml, with a removal for every file only OLD has",
        L"      and, as the base of the update, the size and MD5 of every file NEW keeps unchanged;",
        L"      beside a changed file the smaller of a patch against OLD's version (NAME.zpatch) and",
        L"      the file compressed (NAME.zst), beside an added one the compressed file when smaller",
        L"      --no-full        writes no whole file where a patch or compressed file stands in for it",
        L"      --target-folder  the application folder on the customer's machine, where the update",
        L"                       is installed (a full path there; default: OLD's full path here)",
        L"      --update-folder  the folder on the customer's machine that the engine reads OUT's",
        L"                       files from (a full path there; default: OUT's full path here)",
        L"                       Both must be the customer's paths: without them the manifest names",
        L"                       this machine's folders, and a relative path depends on the folder",
        L"                       the engine runs in.",
        L"      --manifest-version  AssignedVersion of the manifest, the version the update installs",
        L"                       (also accepted as --version, its earlier name)",
        L"      --from-version   the version of OLD, recorded as the update's base version",
        L"      --app-to-run     the program the engine starts after the update, --params its parameters",
        L"      --restart-client the client application is ended before the update and started again",
        L"      --keep-removed   files only OLD has are reported, not removed",
        L"      --allow-empty    makes the update even when NEW holds no file (it removes every file of",
        L"                       OLD); refused without it",
        L"      --allow-mass-removal  makes the update even when it removes more than half of OLD's",
        L"                       files; refused without it",
        L"      --dry-run        prints what the update would hold (added, changed, removed, with sizes)",
        L"                       and writes nothing",
        L"      --json           the result as one JSON document on standard output (an error too)",
        L"      OLD and NEW must be different folders.",
    };
    const std::vector<std::wstring> verify = {
        L"  QXMakeUpdate verify MANIFEST [[--downloads DIR] [--base DIR] | --installed DIR] [--json]",
        L"      checks that every download of the manifest is there with its size and MD5, in the",
        L"      manifest's update folder, or in the manifest's own folder when that folder does not",
        L"      exist on this machine; a compressed file is unpacked and must give the file's size",
        L"      and MD5; a whole file may be absent when a patch or compressed file stands in for it",
        L"      --downloads      checks the downloads in DIR instead, where the package lies",
        L"      --base           DIR holds the version the update is made from: each patch is applied",
        L"                       to its file there and must give the new file (without it a patch",
        L"                       is checked by its own size and MD5 only)",
        L"      --installed      checks DIR, an installed application folder, instead: every file the",
        L"                       manifest installs with its size and MD5, every file it removes absent,",
        L"                       every file of the base version it keeps with its size and MD5",
        L"      --json           the result as one JSON document on standard output (an error too)",
    };
    std::vector<std::wstring> lines = {L"usage:"};
    if (topic != eCommandVerify)
        lines.insert(lines.end(), make.begin(), make.end());
    if (topic != eCommandMake)
        lines.insert(lines.end(), verify.begin(), verify.end());
    lines.push_back(L"  QXMakeUpdate COMMAND --help   the usage of one command");
    lines.push_back(L"  QXMakeUpdate --version        the tool's version");
    lines.push_back(L"options take their value as --name VALUE or --name=VALUE");
    lines.push_back(L"exit codes: 0 done, 1 usage error, 2 unusable input, 3 verify found problems");
    return lines;
}
