#include "makeupdate/ToolSupport.h"

#include "platform/Handles.h"
#include "support/ShownOnFailure.h"

#include <gtest/gtest.h>
#include <wincrypt.h>

#include <deque>

namespace {

// What the tool and engine runs of the running test did, shown with each of
// its failed assertions.
struct CRunRecord
{
    const void* test = nullptr;
    std::string text;
};
std::deque<CRunRecord> g_toolRuns;
CRunRecord g_engineRun;
std::wstring g_engineFolder;

const void* CurrentTest()
{
    return testing::UnitTest::GetInstance()->current_test_info();
}

std::string Utf8(const std::wstring& text)
{
    const int needed =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(needed > 0 ? needed : 0), '\0');
    if (needed > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], needed, nullptr,
                            nullptr);
    return bytes;
}

std::string DescribeToolRun(const std::wstring& command, const ToolResult& result)
{
    std::string text = "run: " + Utf8(command) + "\n";
    if (!result.finished)
        text += "  " + result.notFinished + "\n";
    else
        text += "  exit code " + std::to_string(result.exitCode) + "\n";
    const std::pair<const char*, const std::vector<std::wstring>*> streams[] = {{"standard output", &result.out},
                                                                                {"standard error", &result.err}};
    for (const auto& stream : streams) {
        text += "  " + std::string(stream.first) + ", " + std::to_string(stream.second->size()) + " lines" +
                (stream.second->empty() ? "\n" : ":\n");
        for (const std::wstring& line : *stream.second)
            text += "    " + Utf8(line) + "\n";
    }
    return text;
}

const CShownOnFailure g_shownToolRuns("the last runs of QXMakeUpdate.exe in this test", [] {
    std::string text;
    for (const CRunRecord& run : g_toolRuns) {
        if (run.test == CurrentTest())
            text += run.text;
    }
    return text;
});

const CShownOnFailure g_shownEngineRun("the last update run of the engine in this test", [] {
    if (g_engineRun.test != CurrentTest())
        return std::string();
    const std::string log = UpdateRunLogsText(g_engineFolder);
    return g_engineRun.text + (log.empty() ? std::string("  no update-run log\n") : log);
});

std::wstring TemporaryFile(const std::wstring& folder, const wchar_t* prefix)
{
    wchar_t name[MAX_PATH] = {};
    GetTempFileNameW(folder.c_str(), prefix, 0, name);
    return name;
}

std::vector<std::wstring> Lines(const std::wstring& path)
{
    std::vector<std::wstring> lines;
    for (const std::string& line : SplitLines(ReadBytes(path).value_or("")))
        lines.push_back(FromUtf8(line));
    return lines;
}

void ReadTreeBelow(const std::wstring& root, const std::wstring& relative, TreeContents* contents)
{
    WIN32_FIND_DATAW data{};
    CFindHandle find(FindFirstFileW((root + relative + L"*").c_str(), &data));
    if (!find)
        return;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ReadTreeBelow(root, relative + name + L"\\", contents);
        else
            (*contents)[relative + name] = ReadBytes(root + relative + name).value_or("<unreadable>");
    } while (FindNextFileW(find.Get(), &data));
}

} // namespace

std::wstring MakeUpdateExecutable()
{
    return TestBinaryFolder() + L"QXMakeUpdate.exe";
}

ToolResult RunMakeUpdate(const std::vector<std::wstring>& arguments, const std::wstring& workingDirectory)
{
    ToolResult result;
    std::wstring command = QuoteArgument(MakeUpdateExecutable());
    for (const std::wstring& argument : arguments)
        command += L" " + QuoteArgument(argument);
    const auto recorded = [&]() -> ToolResult {
        g_toolRuns.push_back({CurrentTest(), DescribeToolRun(command, result)});
        // The runs a failure is about are the last ones (a case and its dry run).
        while (g_toolRuns.size() > 3)
            g_toolRuns.pop_front();
        return result;
    };
    CTestFolder outputs;
    if (outputs.Path().empty()) {
        result.notFinished = "not started: no folder for its output, " + LastErrorText(GetLastError());
        return recorded();
    }
    const std::wstring outPath = TemporaryFile(outputs.Path(), L"out");
    const std::wstring errPath = TemporaryFile(outputs.Path(), L"err");
    CChildProcess tool;
    if (!tool.Start(command, workingDirectory, {}, outPath, errPath)) {
        result.notFinished = "not started: " + tool.StartFailure();
        return recorded();
    }
    // A generous bound that only catches a hang.
    result.finished = tool.Ended(60000, &result.exitCode);
    if (!result.finished)
        result.notFinished = "did not end within 60 s (what it wrote so far follows)";
    result.out = Lines(outPath);
    result.outBytes = ReadBytes(outPath).value_or("");
    result.err = Lines(errPath);
    return recorded();
}

bool RunEngine(const std::wstring& binFolder, const std::wstring& manifest, std::vector<std::string>* log)
{
    const std::wstring executable = binFolder + L"QXClientUpdSvc.exe";
    const std::wstring command = QuoteArgument(executable) + L" update " + QuoteArgument(L"updfile:" + manifest);
    g_engineRun = {CurrentTest(), "run: " + Utf8(command) + "\n"};
    g_engineFolder = binFolder;
    CreateDirectoryW(binFolder.c_str(), nullptr);
    if (!CopyFileW(ProductExecutable().c_str(), executable.c_str(), FALSE)) {
        g_engineRun.text += "  not started: copying the executable failed, " + LastErrorText(GetLastError()) + "\n";
        return false;
    }
    const ProcessResult run = RunProcess(command);
    if (!run.started)
        g_engineRun.text += "  not started: " + run.startFailure + "\n";
    else if (run.timedOut)
        g_engineRun.text += "  did not end within 60 s\n";
    else
        g_engineRun.text += "  exit code " + std::to_string(run.exitCode) + "\n";
    if (!run.started || run.timedOut || run.exitCode != 0)
        return false;
    *log = UpdateRunLogLines(binFolder);
    return !log->empty();
}

std::vector<std::string> ErrorLines(const std::vector<std::string>& log)
{
    // The manifests of these tests name no program to start afterwards, so
    // every run ends with this line.
    const std::string startFailed = Cp1251(L"Не удалось запустить программу после обновления. ");
    // The run's closing line repeats its outcome at level ERROR when it did
    // not commit; RunOutcome reads it.
    const std::string closing = Cp1251(L"Итог обновления: ");
    std::vector<std::string> lines;
    for (const std::string& line : log) {
        const size_t marker = line.find(" ERROR [default] ");
        if (marker == std::string::npos)
            continue;
        const std::string message = line.substr(marker + 17);
        if (message.compare(0, startFailed.size(), startFailed) != 0 &&
            message.compare(0, closing.size(), closing) != 0)
            lines.push_back("ERROR " + message);
    }
    return lines;
}

std::string RunOutcome(const std::vector<std::string>& log)
{
    const std::string closing = Cp1251(L"Итог обновления: ");
    for (auto line = log.rbegin(); line != log.rend(); ++line) {
        const size_t at = line->find(closing);
        if (at != std::string::npos)
            return line->substr(at + closing.size(), line->find(';', at) - at - closing.size());
    }
    return std::string();
}

std::string CryptoApiMd5(const std::string& bytes)
{
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        return "<no provider>";
    HCRYPTHASH hash = 0;
    std::string hex = "<failed>";
    if (CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) {
        BYTE digest[16] = {};
        DWORD size = sizeof(digest);
        if (CryptHashData(hash, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), 0) &&
            CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0)) {
            static const char digits[] = "0123456789abcdef";
            hex.clear();
            for (BYTE b : digest) {
                hex.push_back(digits[b >> 4]);
                hex.push_back(digits[b & 15]);
            }
        }
        CryptDestroyHash(hash);
    }
    CryptReleaseContext(provider, 0);
    return hex;
}

bool WriteTree(const std::wstring& folder, const TreeContents& files)
{
    CreateDirectoryW(folder.c_str(), nullptr);
    for (const auto& file : files) {
        // Every folder on the way, from the top.
        for (size_t slash = file.first.find(L'\\'); slash != std::wstring::npos;
             slash = file.first.find(L'\\', slash + 1))
            CreateDirectoryW((folder + file.first.substr(0, slash)).c_str(), nullptr);
        if (!WriteBytes(folder + file.first, file.second))
            return false;
    }
    return true;
}

TreeContents ReadTree(const std::wstring& folder)
{
    TreeContents contents;
    ReadTreeBelow(folder, L"", &contents);
    return contents;
}

LONGLONG WriteTime(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<LONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
}

bool SetTimes(const std::wstring& path, LONGLONG time)
{
    CHandle file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr));
    const FILETIME value{static_cast<DWORD>(time & 0xFFFFFFFF), static_cast<DWORD>(time >> 32)};
    return file && SetFileTime(file.Get(), &value, &value, &value);
}

int64_t LocalSeconds(LONGLONG utcTime)
{
    TIME_ZONE_INFORMATION zone{};
    GetTimeZoneInformation(&zone);
    const LONGLONG local = utcTime - static_cast<LONGLONG>(zone.Bias) * 60 * 10000000LL;
    return local / 10000000LL - 11644473600LL;
}

LONGLONG WholeSecond(LONGLONG utcTime)
{
    return utcTime - utcTime % 10000000LL;
}
