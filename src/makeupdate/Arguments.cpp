#include "makeupdate/Arguments.h"

namespace {

CCommandLine Unusable(const std::wstring& error)
{
    CCommandLine line;
    line.error = error;
    return line;
}

// The option that takes the next argument as its text, or null.
std::optional<std::wstring>* TextOption(CMakeOptions& options, const std::wstring& name)
{
    if (name == L"--target-folder")
        return &options.targetFolder;
    if (name == L"--update-folder")
        return &options.updateFolder;
    if (name == L"--version")
        return &options.version;
    if (name == L"--app-to-run")
        return &options.appToRun;
    if (name == L"--params")
        return &options.params;
    return nullptr;
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

CCommandLine ParseCommandLine(const std::vector<std::wstring>& arguments)
{
    if (arguments.empty())
        return Unusable(L"no command given");
    const std::wstring& command = arguments[0];
    if (command == L"help" || command == L"--help" || command == L"-h" || command == L"/?") {
        CCommandLine line;
        line.command = eCommandHelp;
        return line;
    }

    if (command == L"verify") {
        if (arguments.size() != 2)
            return Unusable(L"verify takes exactly one manifest path");
        if (arguments[1].empty())
            return Unusable(L"the manifest path is empty");
        CCommandLine line;
        line.command = eCommandVerify;
        line.manifest = arguments[1];
        return line;
    }

    if (command != L"make")
        return Unusable(L"unknown command: " + command);

    CCommandLine line;
    line.command = eCommandMake;
    CMakeOptions& options = line.make;
    bool seenOld = false;
    bool seenNew = false;
    bool seenOut = false;
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::wstring& name = arguments[i];
        if (name == L"--restart-client" || name == L"--keep-removed") {
            bool& flag = name == L"--restart-client" ? options.restartClient : options.keepRemoved;
            if (flag)
                return Unusable(L"option given twice: " + name);
            flag = true;
            continue;
        }
        std::wstring* required = nullptr;
        bool* seen = nullptr;
        if (name == L"--old") {
            required = &options.oldFolder;
            seen = &seenOld;
        } else if (name == L"--new") {
            required = &options.newFolder;
            seen = &seenNew;
        } else if (name == L"--out") {
            required = &options.outFolder;
            seen = &seenOut;
        }
        std::optional<std::wstring>* optional = required == nullptr ? TextOption(options, name) : nullptr;
        if (required == nullptr && optional == nullptr)
            return Unusable(L"unknown option: " + name);
        // The next argument is the value whatever it looks like, so that
        // --params can pass options of the started program.
        if (i + 1 >= arguments.size())
            return Unusable(L"option without its value: " + name);
        const std::wstring& value = arguments[++i];
        if (required != nullptr) {
            if (*seen)
                return Unusable(L"option given twice: " + name);
            if (value.empty())
                return Unusable(L"empty folder path for " + name);
            *seen = true;
            *required = value;
        } else {
            if (optional->has_value())
                return Unusable(L"option given twice: " + name);
            *optional = value;
        }
    }
    if (!seenOld || !seenNew || !seenOut)
        return Unusable(L"make needs --old, --new and --out");
    if (options.version && !IsVersionText(*options.version))
        return Unusable(L"--version takes four numbers A.B.C.D, not: " + *options.version);
    return line;
}

std::vector<std::wstring> UsageLines()
{
    return {
        L"usage:",
        L"  QXMakeUpdate make --old OLD --new NEW --out OUT [--target-folder TEXT] [--update-folder TEXT]",
        L"                    [--version A.B.C.D] [--app-to-run NAME] [--params TEXT] [--restart-client]",
        L"                    [--keep-removed]",
        L"      copies every file of NEW that OLD lacks or holds with other bytes to OUT (an empty or",
        L"      new folder) and lists them in OUT\\update.xml, with a removal for every file only OLD has",
        L"      (--keep-removed: reported, not removed)",
        L"  QXMakeUpdate verify MANIFEST",
        L"      checks that every download of the manifest is there with its size and MD5",
        L"exit codes: 0 done, 1 usage error, 2 unusable input, 3 verify found problems",
    };
}
