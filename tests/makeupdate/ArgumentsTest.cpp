// The tool's command line: help for each command, options as "--name value"
// or "--name=value", and what is refused.
#include "makeupdate/Arguments.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

bool HasLineStarting(const std::vector<std::wstring>& lines, const std::wstring& start)
{
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::wstring& line) { return line.compare(0, start.size(), start) == 0; });
}

} // namespace

TEST(Arguments, HelpAndRefusals_EachCommandItsOwn)
{
    const struct
    {
        const char* what;
        std::vector<std::wstring> arguments;
        eCommand command;
        eCommand topic;
        std::wstring error;
    } cases[] = {
        // Help, for all or for one command, wherever it stands as an option.
        {"--help", {L"--help"}, eCommandHelp, eCommandNone, L""},
        {"-h", {L"-h"}, eCommandHelp, eCommandNone, L""},
        {"/?", {L"/?"}, eCommandHelp, eCommandNone, L""},
        {"help", {L"help"}, eCommandHelp, eCommandNone, L""},
        {"help make", {L"help", L"make"}, eCommandHelp, eCommandMake, L""},
        {"help verify", {L"help", L"verify"}, eCommandHelp, eCommandVerify, L""},
        {"make --help", {L"make", L"--help"}, eCommandHelp, eCommandMake, L""},
        {"make -h after options", {L"make", L"--old", L"a", L"-h"}, eCommandHelp, eCommandMake, L""},
        {"verify --help", {L"verify", L"--help"}, eCommandHelp, eCommandVerify, L""},
        {"verify m.xml /?", {L"verify", L"m.xml", L"/?"}, eCommandHelp, eCommandVerify, L""},
        // The value of an option, whatever it looks like, is not help.
        {"--help as the value of --params",
         {L"make", L"--params", L"--help", L"--old", L"a", L"--new", L"b", L"--out", L"c"}, eCommandMake,
         eCommandMake, L""},
        {"a manifest named --help after --", {L"verify", L"--", L"--help"}, eCommandVerify, eCommandVerify, L""},
        // Refused, with the usage of the command at hand.
        {"help of an unknown command", {L"help", L"publish"}, eCommandNone, eCommandNone,
         L"help takes one command name, make or verify"},
        {"--help with a value", {L"make", L"--help=yes"}, eCommandNone, eCommandMake,
         L"option takes no value: --help"},
        {"a flag with a value", {L"make", L"--dry-run=1", L"--old", L"a", L"--new", L"b", L"--out", L"c"},
         eCommandNone, eCommandMake, L"option takes no value: --dry-run"},
        {"an empty folder after =", {L"make", L"--old=", L"--new", L"b", L"--out", L"c"}, eCommandNone,
         eCommandMake, L"empty folder path for --old"},
        {"an option twice, once with =", {L"make", L"--old", L"a", L"--old=b", L"--new", L"b", L"--out", L"c"},
         eCommandNone, eCommandMake, L"option given twice: --old"},
        {"an unknown option with =", {L"make", L"--force=yes"}, eCommandNone, eCommandMake,
         L"unknown option: --force"},
        {"a stray argument", {L"make", L"--old", L"a", L"extra", L"--new", L"b", L"--out", L"c"}, eCommandNone,
         eCommandMake, L"unexpected argument: extra"},
        {"verify --installed without its value", {L"verify", L"m.xml", L"--installed"}, eCommandNone,
         eCommandVerify, L"option without its value: --installed"},
        {"verify --installed= empty", {L"verify", L"--installed=", L"m.xml"}, eCommandNone, eCommandVerify,
         L"empty folder path for --installed"},
        {"verify with two manifests", {L"verify", L"a.xml", L"b.xml"}, eCommandNone, eCommandVerify,
         L"verify takes exactly one manifest path"},
        {"verify --dry-run", {L"verify", L"a.xml", L"--dry-run"}, eCommandNone, eCommandVerify,
         L"unknown option: --dry-run"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const CCommandLine line = ParseCommandLine(c.arguments);
        EXPECT_EQ(c.command, line.command);
        EXPECT_EQ(c.topic, line.topic);
        EXPECT_EQ(c.error, line.error);
    }
}

TEST(Arguments, EqualsForm_SameAsTheValueAfterTheName)
{
    const std::vector<std::wstring> separate = {
        L"make", L"--old", L"app-1.0", L"--new", L"app 2.0", L"--out", L"pkg", L"--target-folder", L"C:\\App",
        L"--update-folder", L"C:\\App\\upd", L"--manifest-version", L"2.0.0.0", L"--from-version", L"1.5.0.0",
        L"--app-to-run", L"app.exe", L"--params", L"--mode=fast -v", L"--restart-client", L"--keep-removed",
        L"--allow-empty", L"--allow-mass-removal", L"--dry-run", L"--json"};
    const std::vector<std::wstring> joined = {
        L"make", L"--old=app-1.0", L"--new=app 2.0", L"--out=pkg", L"--target-folder=C:\\App",
        // The manifest's version under its earlier name.
        L"--update-folder=C:\\App\\upd", L"--version=2.0.0.0", L"--from-version=1.5.0.0", L"--app-to-run=app.exe",
        // Split at the first "=": the value may hold more.
        L"--params=--mode=fast -v", L"--restart-client", L"--keep-removed", L"--allow-empty",
        L"--allow-mass-removal", L"--dry-run", L"--json"};
    for (const auto* arguments : {&separate, &joined}) {
        const CCommandLine line = ParseCommandLine(*arguments);
        ASSERT_EQ(eCommandMake, line.command) << line.error;
        const CMakeOptions& make = line.make;
        EXPECT_EQ(L"app-1.0", make.oldFolder);
        EXPECT_EQ(L"app 2.0", make.newFolder);
        EXPECT_EQ(L"pkg", make.outFolder);
        EXPECT_EQ(L"C:\\App", make.targetFolder.value_or(L"<none>"));
        EXPECT_EQ(L"C:\\App\\upd", make.updateFolder.value_or(L"<none>"));
        EXPECT_EQ(L"2.0.0.0", make.manifestVersion.value_or(L"<none>"));
        EXPECT_EQ(L"1.5.0.0", make.fromVersion.value_or(L"<none>"));
        EXPECT_EQ(L"app.exe", make.appToRun.value_or(L"<none>"));
        EXPECT_EQ(L"--mode=fast -v", make.params.value_or(L"<none>"));
        EXPECT_TRUE(make.restartClient && make.keepRemoved && make.dryRun && make.json);
        EXPECT_TRUE(make.allowEmpty && make.allowMassRemoval);
        // Only the earlier spelling gets a note.
        EXPECT_EQ(arguments == &joined ? 1u : 0u, line.notes.size());
    }
    // An empty value is a value for a text; only folders refuse it.
    const CCommandLine empty =
        ParseCommandLine({L"make", L"--old", L"a", L"--new", L"b", L"--out", L"c", L"--params="});
    ASSERT_EQ(eCommandMake, empty.command) << empty.error;
    EXPECT_EQ(L"", empty.make.params.value_or(L"<none>"));

    const CCommandLine verify = ParseCommandLine({L"verify", L"--installed=D:\\app", L"m.xml", L"--json"});
    ASSERT_EQ(eCommandVerify, verify.command) << verify.error;
    EXPECT_EQ(L"m.xml", verify.verify.manifest);
    EXPECT_EQ(L"D:\\app", verify.verify.installedFolder.value_or(L"<none>"));
    EXPECT_TRUE(verify.verify.json);
    const CCommandLine plain = ParseCommandLine({L"verify", L"m.xml"});
    ASSERT_EQ(eCommandVerify, plain.command) << plain.error;
    EXPECT_FALSE(plain.verify.installedFolder.has_value());
    EXPECT_FALSE(plain.verify.downloadsFolder.has_value());
    EXPECT_FALSE(plain.verify.json);
    const CCommandLine downloads = ParseCommandLine({L"verify", L"m.xml", L"--downloads", L"pkg"});
    ASSERT_EQ(eCommandVerify, downloads.command) << downloads.error;
    EXPECT_EQ(L"pkg", downloads.verify.downloadsFolder.value_or(L"<none>"));
}

TEST(Arguments, VersionsAndNewOptions_ParsedOrRefused)
{
    const struct
    {
        const char* what;
        std::vector<std::wstring> arguments;
        eCommand command;
        std::wstring error;
    } cases[] = {
        // The tool's own version, as an option or a command.
        {"--version alone", {L"--version"}, eCommandVersion, L""},
        {"version alone", {L"version"}, eCommandVersion, L""},
        {"--version with more", {L"--version", L"make"}, eCommandNone, L"--version takes nothing more: make"},
        // Version values name the option as it was given.
        {"--manifest-version of three numbers", {L"make", L"--old=a", L"--new=b", L"--out=c", L"--manifest-version=1.2.3"},
         eCommandNone, L"--manifest-version takes four numbers A.B.C.D, not: 1.2.3"},
        {"--version of make with a letter", {L"make", L"--old=a", L"--new=b", L"--out=c", L"--version", L"1.2.3.x"},
         eCommandNone, L"--version takes four numbers A.B.C.D, not: 1.2.3.x"},
        {"--from-version empty", {L"make", L"--old=a", L"--new=b", L"--out=c", L"--from-version="}, eCommandNone,
         L"--from-version takes four numbers A.B.C.D, not: "},
        {"both spellings of the manifest's version", {L"make", L"--version=1.0.0.0", L"--manifest-version=2.0.0.0"},
         eCommandNone, L"option given twice: --manifest-version"},
        {"the guard rails' options take no value", {L"make", L"--allow-empty=yes"}, eCommandNone,
         L"option takes no value: --allow-empty"},
        {"--downloads and --installed", {L"verify", L"m.xml", L"--downloads", L"pkg", L"--installed", L"app"},
         eCommandNone, L"--installed and --downloads check different folders: give one of them"},
        {"--downloads empty", {L"verify", L"m.xml", L"--downloads="}, eCommandNone,
         L"empty folder path for --downloads"},
        {"--downloads of make", {L"make", L"--downloads", L"x"}, eCommandNone, L"unknown option: --downloads"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const CCommandLine line = ParseCommandLine(c.arguments);
        EXPECT_EQ(c.command, line.command);
        EXPECT_EQ(c.error, line.error);
    }
}

// An error goes out as JSON too when --json was asked for, so the parser
// finds it also on a line it cannot use, but never in the value of an option.
TEST(Arguments, Json_FoundAlsoOnAnUnusableLine)
{
    const struct
    {
        const char* what;
        std::vector<std::wstring> arguments;
        bool json;
    } cases[] = {
        {"usable", {L"make", L"--old=a", L"--new=b", L"--out=c", L"--json"}, true},
        {"before an unknown option", {L"make", L"--json", L"--force"}, true},
        {"after an unknown option", {L"make", L"--force", L"--json"}, true},
        {"before a missing value", {L"make", L"--json", L"--out"}, true},
        {"folders missing", {L"verify", L"--json"}, true},
        {"unknown command", {L"publish", L"--json"}, true},
        {"the tool's version with more", {L"--version", L"--json"}, true},
        {"the value of --params", {L"make", L"--params", L"--json"}, false},
        {"the value of --params, then refused", {L"make", L"--params", L"--json", L"--force"}, false},
        {"after the end of the options", {L"verify", L"--", L"--json"}, false},
        {"none", {L"make", L"--force"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.json, ParseCommandLine(c.arguments).json);
    }
}

TEST(Arguments, UsageText_OneCommandOrAll)
{
    const std::wstring makeLine = L"  QXMakeUpdate make ";
    const std::wstring verifyLine = L"  QXMakeUpdate verify ";
    const std::vector<std::wstring> all = UsageLines();
    const std::vector<std::wstring> make = UsageLines(eCommandMake);
    const std::vector<std::wstring> verify = UsageLines(eCommandVerify);
    for (const auto* lines : {&all, &make, &verify}) {
        ASSERT_FALSE(lines->empty());
        EXPECT_EQ(L"usage:", lines->front());
        EXPECT_TRUE(HasLineStarting(*lines, L"exit codes: "));
    }
    EXPECT_TRUE(HasLineStarting(all, makeLine) && HasLineStarting(all, verifyLine));
    EXPECT_TRUE(HasLineStarting(make, makeLine) && !HasLineStarting(make, verifyLine));
    EXPECT_TRUE(!HasLineStarting(verify, makeLine) && HasLineStarting(verify, verifyLine));
    // The manifest's folders are the customer's: the usage says so.
    std::wstring text;
    for (const std::wstring& line : make)
        text += line + L"\n";
    EXPECT_NE(std::wstring::npos, text.find(L"customer's machine"));
    EXPECT_NE(std::wstring::npos, text.find(L"Both must be the customer's paths"));
}
