#include "makeupdate/ToolSupport.h"

#include "platform/Handles.h"

#include <wincrypt.h>

namespace {

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
    CTestFolder outputs;
    const std::wstring outPath = TemporaryFile(outputs.Path(), L"out");
    const std::wstring errPath = TemporaryFile(outputs.Path(), L"err");
    std::wstring command = QuoteArgument(MakeUpdateExecutable());
    for (const std::wstring& argument : arguments)
        command += L" " + QuoteArgument(argument);
    CChildProcess tool;
    if (!tool.Start(command, workingDirectory, {}, outPath, errPath))
        return result;
    // A generous bound that only catches a hang.
    if (!tool.Ended(60000, &result.exitCode))
        return result;
    result.finished = true;
    result.out = Lines(outPath);
    result.outBytes = ReadBytes(outPath).value_or("");
    result.err = Lines(errPath);
    return result;
}

bool RunEngine(const std::wstring& binFolder, const std::wstring& manifest, std::vector<std::string>* log)
{
    const std::wstring executable = binFolder + L"QXClientUpdSvc.exe";
    CreateDirectoryW(binFolder.c_str(), nullptr);
    if (!CopyFileW(ProductExecutable().c_str(), executable.c_str(), FALSE))
        return false;
    const ProcessResult run =
        RunProcess(QuoteArgument(executable) + L" update " + QuoteArgument(L"updfile:" + manifest));
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
