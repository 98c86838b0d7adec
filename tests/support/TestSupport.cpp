#include "support/TestSupport.h"

#include <cstdio>
#include <ctime>

std::wstring TestBinaryFolder()
{
    wchar_t buffer[MAX_PATH * 2] = {};
    const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH * 2);
    std::wstring path(buffer, length);
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

std::wstring ProductExecutable()
{
    return TestBinaryFolder() + L"QXClientUpdSvc.exe";
}

void RemoveFoldersOfEndedTestPrograms()
{
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    WIN32_FIND_DATAW data{};
    CFindHandle find(FindFirstFileW((std::wstring(temp) + L"qxtest-*").c_str(), &data));
    if (!find)
        return;
    std::vector<std::wstring> stale;
    do {
        // qxtest-<process id>-<n>: the folder of a program that still runs stays.
        const DWORD processId = static_cast<DWORD>(wcstoul(data.cFileName + 7, nullptr, 10));
        CHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
        if (processId != GetCurrentProcessId() && (!process || WaitForSingleObject(process.Get(), 0) == WAIT_OBJECT_0))
            stale.push_back(std::wstring(temp) + data.cFileName + L"\\");
    } while (FindNextFileW(find.Get(), &data));
    for (const std::wstring& folder : stale)
        RemoveTree(folder);
}

CTestFolder::CTestFolder()
{
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    static LONG counter = 0;
    for (;;) {
        const std::wstring candidate = std::wstring(temp) + L"qxtest-" + std::to_wstring(GetCurrentProcessId()) +
                                       L"-" + std::to_wstring(InterlockedIncrement(&counter)) + L"\\";
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            m_path = candidate;
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return;
    }
}

CTestFolder::~CTestFolder()
{
    if (!m_path.empty())
        RemoveTree(m_path);
}

void RemoveTree(const std::wstring& path)
{
    std::wstring folder = path;
    if (!folder.empty() && folder.back() == L'\\')
        folder.pop_back();
    WIN32_FIND_DATAW data{};
    CFindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (find) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring child = folder + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                RemoveHostLink(child);
            } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find.Get(), &data));
    }
    RemoveDirectoryW(folder.c_str());
}

namespace {

// The host system's name of a Windows path, through Wine's own export; empty
// outside Wine.
std::string HostPathOf(const std::wstring& path)
{
    using Convert = char*(CDECL*)(LPCWSTR);
    const auto convert = reinterpret_cast<Convert>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (convert == nullptr)
        return std::string();
    char* unix = convert(path.c_str());
    if (unix == nullptr)
        return std::string();
    std::string result(unix);
    HeapFree(GetProcessHeap(), 0, unix);
    return result;
}

// Runs a program of the host (Wine starts one given by its path on drive Z:).
bool RunHostProgram(const std::wstring& program, const std::vector<std::string>& arguments)
{
    std::wstring commandLine = program;
    for (const std::string& argument : arguments) {
        if (argument.empty()) {
            fprintf(stderr, "no host path for an argument of %ls\n", program.c_str());
            return false;
        }
        commandLine += L" \"" + FromUtf8(argument) + L"\"";
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        fprintf(stderr, "%ls did not start: %lu\n", commandLine.c_str(), GetLastError());
        return false;
    }
    CHandle thread(process.hThread);
    CHandle handle(process.hProcess);
    // Wine gives no handle to wait on for a host program (the wait fails at
    // once): callers look for its effect.
    WaitForSingleObject(handle.Get(), 30000);
    return true;
}

// Waits (30 s at most) until the attributes of path say what done wants.
template <class Done>
bool WaitForAttributes(const std::wstring& path, Done done)
{
    for (int attempt = 0; attempt < 1500; ++attempt) {
        if (done(GetFileAttributesW(path.c_str())))
            return true;
        Sleep(20);
    }
    return false;
}

} // namespace

bool MakeHostLink(const std::wstring& link, const std::wstring& target)
{
    return RunHostProgram(L"Z:\\bin\\ln", {"-s", HostPathOf(target), HostPathOf(link)}) &&
           WaitForAttributes(link, [](DWORD attributes) {
               return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
           });
}

bool RemoveHostLink(const std::wstring& link)
{
    return RunHostProgram(L"Z:\\bin\\rm", {"-f", HostPathOf(link)}) &&
           WaitForAttributes(link, [](DWORD attributes) { return attributes == INVALID_FILE_ATTRIBUTES; });
}

bool WriteBytes(const std::wstring& path, const std::string& bytes)
{
    CHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    DWORD written = 0;
    const BOOL ok =
        bytes.empty() || WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    return ok && written == bytes.size();
}

std::optional<std::string> ReadBytes(const std::wstring& path)
{
    CHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return std::nullopt;
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    return bytes;
}

bool PathExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::map<std::wstring, std::string> FolderContents(const std::wstring& folder)
{
    std::map<std::wstring, std::string> contents;
    WIN32_FIND_DATAW data{};
    CFindHandle find(FindFirstFileW((folder + L"*").c_str(), &data));
    if (!find)
        return contents;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..")
            continue;
        contents[name] = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                             ? std::string("<folder>")
                             : ReadBytes(folder + name).value_or("<unreadable>");
    } while (FindNextFileW(find.Get(), &data));
    return contents;
}

namespace {

std::vector<wchar_t> BuildEnvironment(const EnvironmentChanges& changes)
{
    // Case-insensitive names, as Windows treats them.
    struct Less
    {
        bool operator()(const std::wstring& a, const std::wstring& b) const { return _wcsicmp(a.c_str(), b.c_str()) < 0; }
    };
    std::map<std::wstring, std::wstring, Less> variables;
    std::vector<std::wstring> hidden; // "=C:" style entries
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* entry = block; *entry; entry += wcslen(entry) + 1) {
        const std::wstring text(entry);
        const size_t equals = text.find(L'=', 1);
        if (text[0] == L'=' || equals == std::wstring::npos) {
            hidden.push_back(text);
            continue;
        }
        variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
    FreeEnvironmentStringsW(block);
    for (const auto& change : changes) {
        if (change.second)
            variables[change.first] = *change.second;
        else
            variables.erase(change.first);
    }
    std::vector<wchar_t> result;
    for (const std::wstring& entry : hidden)
        result.insert(result.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
    for (const auto& variable : variables) {
        const std::wstring entry = variable.first + L"=" + variable.second;
        result.insert(result.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
    }
    result.push_back(L'\0');
    return result;
}

} // namespace

namespace {

// An inheritable handle of a new file for a child's standard output or error.
CHandle InheritableFile(const std::wstring& path)
{
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    return CHandle(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

} // namespace

bool CChildProcess::Start(const std::wstring& commandLine, const std::wstring& folder,
                          const EnvironmentChanges& environment, const std::wstring& outputFile,
                          const std::wstring& errorFile)
{
    Terminate();
    m_process.Close();
    m_id = 0;
    m_startFailure.clear();
    std::vector<wchar_t> command(commandLine.begin(), commandLine.end());
    command.push_back(L'\0');
    std::vector<wchar_t> block;
    if (!environment.empty())
        block = BuildEnvironment(environment);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    CHandle output, error;
    if (!outputFile.empty()) {
        output = InheritableFile(outputFile);
        if (!errorFile.empty())
            error = InheritableFile(errorFile);
        if (!output)
            return Failed("creating its output file");
        if (!errorFile.empty() && !error)
            return Failed("creating its error file");
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = output.Get();
        startup.hStdError = errorFile.empty() ? output.Get() : error.Get();
    }
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, output.IsValid(),
                        block.empty() ? 0 : CREATE_UNICODE_ENVIRONMENT, block.empty() ? nullptr : block.data(),
                        folder.empty() ? nullptr : folder.c_str(), &startup, &info))
        return Failed("CreateProcess");
    CHandle thread(info.hThread);
    m_process.Reset(info.hProcess);
    m_id = info.dwProcessId;
    return true;
}

bool CChildProcess::Failed(const std::string& step)
{
    const DWORD code = GetLastError();
    m_startFailure = step + ": " + LastErrorText(code);
    SetLastError(code);
    return false;
}

std::string LastErrorText(DWORD code)
{
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                        reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring words = length != 0 && text != nullptr ? std::wstring(text, length) : std::wstring();
    LocalFree(text);
    while (!words.empty() && (words.back() == L'\n' || words.back() == L'\r' || words.back() == L' '))
        words.pop_back();
    std::string result = "error " + std::to_string(code);
    if (!words.empty()) {
        const int needed = WideCharToMultiByte(CP_UTF8, 0, words.c_str(), static_cast<int>(words.size()), nullptr,
                                               0, nullptr, nullptr);
        std::string bytes(static_cast<size_t>(needed > 0 ? needed : 0), '\0');
        if (needed > 0)
            WideCharToMultiByte(CP_UTF8, 0, words.c_str(), static_cast<int>(words.size()), &bytes[0], needed,
                                nullptr, nullptr);
        result += " (" + bytes + ")";
    }
    return result;
}

ProcessResult RunProcess(const std::wstring& commandLine, const EnvironmentChanges& environment,
                         const std::wstring& workingDirectory, DWORD timeoutMs, const std::wstring& outputFile)
{
    ProcessResult result;
    CChildProcess child;
    if (!child.Start(commandLine, workingDirectory, environment, outputFile)) {
        result.error = GetLastError();
        result.startFailure = child.StartFailure();
        return result;
    }
    result.started = true;
    if (!child.Ended(timeoutMs)) {
        result.timedOut = true;
        child.Terminate();
    }
    child.Ended(0, &result.exitCode);
    return result;
}

std::wstring QuoteArgument(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring quoted = L"\"";
    for (size_t i = 0;; ++i) {
        size_t backslashes = 0;
        while (i < argument.size() && argument[i] == L'\\') {
            ++i;
            ++backslashes;
        }
        if (i == argument.size()) {
            quoted.append(backslashes * 2, L'\\');
            break;
        }
        if (argument[i] == L'"') {
            quoted.append(backslashes * 2 + 1, L'\\');
        } else {
            quoted.append(backslashes, L'\\');
        }
        quoted.push_back(argument[i]);
    }
    quoted.push_back(L'"');
    return quoted;
}

std::wstring TodayLocalDate()
{
    const __time64_t now = _time64(nullptr);
    struct tm local{};
    _localtime64_s(&local, &now);
    wchar_t buffer[32] = {};
    wcsftime(buffer, 32, L"%Y-%m-%d", &local);
    return buffer;
}

std::vector<std::string> SplitLines(const std::string& bytes)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos)
            end = bytes.size();
        std::string line = bytes.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> UpdateRunLogLines(const std::wstring& executableFolder)
{
    const std::wstring folder = executableFolder + L"Log\\LumenorbitNew\\";
    WIN32_FIND_DATAW data{};
    CFindHandle find(FindFirstFileW((folder + L"updater-*.log").c_str(), &data));
    if (!find)
        return {};
    return SplitLines(ReadBytes(folder + data.cFileName).value_or(""));
}

std::wstring FromUtf8(const std::string& bytes)
{
    if (bytes.empty())
        return std::wstring();
    const int needed = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(needed), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], needed);
    return text;
}

std::string Cp1251(const std::wstring& text)
{
    const int needed = WideCharToMultiByte(1251, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(needed), '\0');
    if (needed > 0)
        WideCharToMultiByte(1251, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], needed, nullptr, nullptr);
    return bytes;
}

double ThreadCpuMs(HANDLE thread)
{
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(thread, &created, &exited, &kernel, &user))
        return -1;
    const auto ms = [](const FILETIME& t) {
        return double((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000.0;
    };
    return ms(kernel) + ms(user);
}
