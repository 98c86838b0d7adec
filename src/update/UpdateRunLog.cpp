// The update run's own account of itself in the log.
#include "update/UpdateRunLog.h"

#include "update/UpdateMessages.h"

#include "platform/TextConversion.h"

#include <easylogging++.h>

#include <atomic>

#include <cwchar>

std::wstring ReasonText(DWORD code)
{
    switch (code) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
        return L"файл занят другим процессом";
    case ERROR_ACCESS_DENIED:
        return L"доступ запрещён (файл занят, защищён или только для чтения)";
    case ERROR_FILE_NOT_FOUND:
        return L"файл не найден";
    case ERROR_PATH_NOT_FOUND:
        return L"папка не найдена";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return L"недостаточно места на диске";
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return L"имя уже занято";
    case ERROR_FILENAME_EXCED_RANGE:
        return L"слишком длинное имя";
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
        return L"недопустимое имя";
    case ERROR_WRITE_FAULT:
        return L"ошибка записи";
    case ERROR_FILE_TOO_LARGE:
        return L"файл слишком велик";
    case ERROR_WRITE_PROTECT:
        return L"диск защищён от записи";
    default:
        break;
    }
    std::wstring result = GetSystemErrorText(code);
    // The system's texts end with a full stop and a line break.
    while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r' || result.back() == L' ' ||
                               result.back() == L'.'))
        result.pop_back();
    return result.empty() ? std::wstring(L"ошибка Windows") : result;
}

std::wstring FailureText(const std::wstring& path, DWORD code)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return L"на месте файла находится папка";
    return ReasonText(code);
}

void LogFileError(const wchar_t* message, const std::wstring& path, DWORD code)
{
    LOG(ERROR) << ToLogText(message + path + UpdateMessages::kCode) << code;
}

void LogFileFailure(const wchar_t* message, const std::wstring& path, DWORD code)
{
    LOG(ERROR) << ToLogText(message + path + L": " + FailureText(path, code) + UpdateMessages::kCode) << code;
}

std::wstring VersionText(const CVersionNumber& version)
{
    if (version.major == 0 && version.minor == 0 && version.build == 0 && version.revision == 0)
        return L"не указана";
    return std::to_wstring(version.major) + L"." + std::to_wstring(version.minor) + L"." +
           std::to_wstring(version.build) + L"." + std::to_wstring(version.revision);
}

void LogRunEnd(const CUpdateRunCounts& counts, eRunEnd end, uint64_t milliseconds)
{
    const wchar_t* state =
        end == eRunCommitted      ? L"обновление выполнено"
        : end == eRunUndone       ? L"обновление отменено, файлы в прежнем состоянии"
        : end == eRunOtherVersion ? L"обновление не выполнено: оно сделано для другой версии приложения, файлы не изменялись"
                                  : L"обновление не выполнено, файлы не изменялись";
    const std::wstring line = std::wstring(UpdateMessages::kRunEnd) + state + L"; заменено " +
                              std::to_wstring(counts.replaced) + L", добавлено " + std::to_wstring(counts.added) +
                              L", удалено " + std::to_wstring(counts.removed) + L", пропущено " +
                              std::to_wstring(counts.skipped) + L", ошибок " + std::to_wstring(counts.failed) +
                              L", возвращено прежних версий " + std::to_wstring(counts.putBack) +
                              L"; длительность " + std::to_wstring(milliseconds) + L" мс";
    if (end == eRunCommitted)
        LOG(INFO) << ToLogText(line);
    else
        LOG(ERROR) << ToLogText(line);
}

namespace {

std::atomic<int> g_errorLines{0};

class CErrorLineCallback : public el::LogDispatchCallback
{
protected:
    void handle(const el::LogDispatchData* data) override
    {
        if (data != nullptr && data->logMessage() != nullptr && data->logMessage()->level() == el::Level::Error)
            ++g_errorLines;
    }
};

const char kErrorLineCallback[] = "QXErrorLineCount";

} // namespace

CErrorLineCount::CErrorLineCount()
{
    g_errorLines = 0;
    el::Helpers::installLogDispatchCallback<CErrorLineCallback>(kErrorLineCallback);
}

CErrorLineCount::~CErrorLineCount()
{
    el::Helpers::uninstallLogDispatchCallback<CErrorLineCallback>(kErrorLineCallback);
}

int CErrorLineCount::Count() const
{
    return g_errorLines.load();
}
