// In-process tests of the command-line grammar: keywords by checksum, the
// "updfile:" and "pid:" prefixes, and bad input.
#include "platform/TextConversion.h"
#include "service/ServiceWorker.h"

#include <gtest/gtest.h>

namespace {

struct Flags
{
    int install, remove, start, noAction, updateRun;
};

CServiceWorker Parse(std::vector<std::wstring> arguments)
{
    arguments.insert(arguments.begin(), L"C:\\App\\QXClientUpdSvc.exe");
    return CServiceWorker(arguments, false);
}

} // namespace

TEST(Keywords, StoredChecksumsMatchTheirTexts)
{
    EXPECT_EQ(Crc64("install"), CServiceWorker::kInstallKeyword);
    EXPECT_EQ(Crc64("remove"), CServiceWorker::kRemoveKeyword);
    EXPECT_EQ(Crc64("start"), CServiceWorker::kStartKeyword);
    EXPECT_EQ(Crc64("noaction"), CServiceWorker::kNoActionKeyword);
    EXPECT_EQ(Crc64("update"), CServiceWorker::kUpdateRunKeyword);
}

TEST(Keywords, RecognisedBareAfterOneDashOrSlashInAnyCase)
{
    const struct
    {
        std::vector<std::wstring> arguments;
        Flags flags;
    } cases[] = {
        {{L"install"}, {1, 0, 0, 0, 0}},
        {{L"-REMOVE"}, {0, 1, 0, 0, 0}},
        {{L"/Start"}, {0, 0, 1, 0, 0}},
        {{L"NoAction"}, {0, 0, 0, 1, 0}},
        {{L"-uPdAtE"}, {0, 0, 0, 0, 1}},
        {{L"install", L"/start"}, {1, 0, 1, 0, 0}},
        // Only one leading character is skipped, and only whole arguments match.
        {{L"--install"}, {0, 0, 0, 0, 0}},
        {{L"//start"}, {0, 0, 0, 0, 0}},
        {{L"installx"}, {0, 0, 0, 0, 0}},
        {{L" install"}, {0, 0, 0, 0, 0}},
        {{L""}, {0, 0, 0, 0, 0}},
        {{L"-"}, {0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        CServiceWorker worker = Parse(c.arguments);
        const std::wstring shown = c.arguments[0];
        EXPECT_EQ(worker.m_install, c.flags.install) << shown.c_str();
        EXPECT_EQ(worker.m_remove, c.flags.remove);
        EXPECT_EQ(worker.m_start, c.flags.start);
        EXPECT_EQ(worker.m_noAction, c.flags.noAction);
        EXPECT_EQ(worker.m_updateRun, c.flags.updateRun);
    }
}

TEST(Prefixes, UpdateFileAndProcessId)
{
    const struct
    {
        std::vector<std::wstring> arguments;
        std::wstring updateFile;
        DWORD processId;
    } cases[] = {
        {{L"Updfile:C:\\Temp\\Update.xml"}, L"C:\\Temp\\Update.xml", 0}, // letter case kept
        {{L"/UPDFILE:C:\\a b\\m.xml"}, L"C:\\a b\\m.xml", 0},
        {{L"updfile:"}, L"", 0},
        {{L"pid:1234"}, L"", 1234},
        {{L"-PID:77"}, L"", 77},
        {{L"pid:"}, L"", 0},
        {{L"pid:abc"}, L"", 0},
        {{L"pid:12abc"}, L"", 12},
        {{L"pid: 42"}, L"", 42},                 // leading white space is skipped
        {{L"pid:4294967295"}, L"", 4294967295u}, // the largest identifier
        {{L"pid:4294967296"}, L"", 0},           // beyond 32 bits: none, not a wrapped value
        {{L"pid:99999999999999999999999"}, L"", 0},
        {{L"pid:+1234"}, L"", 1234},             // a plus sign, as stream extraction reads it
        {{L"pid:+4294967296"}, L"", 0},
        {{L"pid:-5"}, L"", 0},
        {{L"pid:+-5"}, L"", 0},
        {{L"pid:1", L"pid:2"}, L"", 2}, // the later argument wins
        {{L"updfile:a.xml", L"updfile:b.xml"}, L"b.xml", 0},
        // A keyword checksum wins over a prefix; the prefix is cut from the start.
        {{L"xpid:5"}, L"", 0},
    };
    for (const auto& c : cases) {
        CServiceWorker worker = Parse(c.arguments);
        EXPECT_EQ(worker.m_updateFile, c.updateFile) << c.arguments.back().c_str();
        EXPECT_EQ(worker.m_waitProcessId, c.processId) << c.arguments.back().size();
    }
}

TEST(BadInput, LongAndUnrepresentableArguments)
{
    const std::wstring longPath = L"updfile:" + std::wstring(100000, L'x');
    CServiceWorker worker = Parse({longPath, std::wstring(100000, L'\u0416'), L"pid:" + std::wstring(100000, L'9'),
                                   L"\u4E2D\u6587", L"install\u0416", std::wstring(1, static_cast<wchar_t>(0xD800))});
    EXPECT_EQ(worker.m_updateFile.size(), 100000u);
    EXPECT_EQ(worker.m_waitProcessId, 0u);
    EXPECT_EQ(worker.m_install, 0);
}

TEST(WorkFolder, UpdateRunUsesTheExecutablesFolder)
{
    const struct
    {
        std::wstring argument0;
        std::wstring folder;
    } cases[] = {
        {L"C:\\App\\Updater.exe", L"C:\\App\\"},
        {L"Updater.exe", L""}, // no folder: the log lies relative to the current directory
        {L"\\\\server\\share\\u.exe", L"\\\\server\\share\\"},
    };
    for (const auto& c : cases) {
        CServiceWorker worker({c.argument0, L"update"}, false);
        EXPECT_EQ(worker.m_modulePath, c.argument0);
        EXPECT_EQ(worker.m_workFolder, c.folder) << c.argument0.c_str();
        const std::wstring name = worker.MakeLogFileName();
        EXPECT_EQ(name.substr(0, c.folder.size() + 27), c.folder + L"Log\\LumenorbitNew\\updater-2");
    }
}

TEST(LogDate, LocalCalendarDate)
{
    // TZ=NOV-7: 2017-01-29 17:30 UTC is already 2017-01-30 00:30 local.
    EXPECT_EQ(CServiceWorker::FormatLogDate(1485711000), L"2017-01-30");
    EXPECT_EQ(CServiceWorker::FormatLogDate(1485709200 - 1), L"2017-01-29"); // 23:59:59 local
    EXPECT_EQ(CServiceWorker::FormatLogDate(-1), L"");                      // before 1970: no date
}
