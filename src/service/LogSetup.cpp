// Where the log file lies, how the logger "default" is configured, and its first line.
#include "service/ServiceWorker.h"

#include "platform/PathParts.h"
#include "platform/TextConversion.h"

#include <easylogging++.h>

#include <ctime>
#include <time.h>

namespace {

std::wstring ReadEnvironmentVariable(const wchar_t* name)
{
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0)
        return std::wstring();
    std::vector<wchar_t> buffer(size);
    const DWORD length = GetEnvironmentVariableW(name, buffer.data(), size);
    if (length == 0 || length >= size)
        return std::wstring();
    return std::wstring(buffer.data(), length);
}

// "Начало логирования" in Windows-1251.
const char kFirstLine[] = "\xCD\xE0\xF7\xE0\xEB\xEE \xEB\xEE\xE3\xE8\xF0\xEE\xE2\xE0\xED\xE8\xFF";

} // namespace

void CServiceWorker::InitWorkFolder()
{
    m_modulePath = m_arguments.empty() ? std::wstring() : m_arguments[0];
    if (m_updateRun == 0) {
        m_workFolder = ReadEnvironmentVariable(L"TEMP");
        if (m_workFolder.empty())
            m_workFolder = ReadEnvironmentVariable(L"TMP");
        if (m_workFolder.empty()) {
            wchar_t buffer[MAX_PATH] = {};
            const DWORD length = GetTempPathW(MAX_PATH, buffer);
            m_workFolder = (length == 0 || length > MAX_PATH) ? std::wstring() : std::wstring(buffer, length);
        }
    } else {
        CPathParts parts;
        parts.fullPath = m_modulePath;
        parts.Split();
        m_workFolder = parts.drive + parts.GetDir();
    }
    if (!m_workFolder.empty() && m_workFolder.back() != L'\\')
        m_workFolder += L'\\';
}

std::wstring CServiceWorker::FormatLogDate(int64_t time)
{
    const __time64_t value = static_cast<__time64_t>(time);
    struct tm broken{};
    if (_gmtime64_s(&broken, &value) != 0)
        return std::wstring();
    if (_localtime64_s(&broken, &value) != 0)
        return std::wstring();
    wchar_t buffer[128] = {};
    const size_t length = wcsftime(buffer, 128, L"%Y-%m-%d", &broken);
    if (length == 0)
        return std::wstring();
    return std::wstring(buffer, length);
}

std::wstring CServiceWorker::MakeLogFileName() const
{
    const std::wstring date = FormatLogDate(_time64(nullptr));
    if (m_updateRun == 1)
        return m_workFolder + L"Log\\LumenorbitNew\\updater-" + date + L".log";
    return m_workFolder + L"Lumenorbit\\log-" + date + L".log";
}

void CServiceWorker::InitLogger()
{
    el::Configurations configuration;
    configuration.setToDefault();
    configuration.set(el::Level::Global, el::ConfigurationType::Filename, WideToAnsi(MakeLogFileName()));
    configuration.set(el::Level::Global, el::ConfigurationType::PerformanceTracking, "true");
    configuration.set(el::Level::Global, el::ConfigurationType::ToStandardOutput, "false");
    configuration.set(el::Level::Global, el::ConfigurationType::Format, "%datetime %level [%logger] %msg");
    configuration.set(el::Level::Debug, el::ConfigurationType::Format,
                      "%datetime{%d.%M.%Y %H:%m:%s.%g} %level [%logger] [%user@%host] [%func] [%loc] %msg");
    configuration.set(el::Level::Error, el::ConfigurationType::Format,
                      "%datetime{%d.%M.%Y %H:%m:%s.%g} %level [%logger] %msg");
    configuration.set(el::Level::Fatal, el::ConfigurationType::Format,
                      "%datetime{%d.%M.%Y %H:%m:%s.%g} %level [%logger] %msg");
    configuration.set(el::Level::Verbose, el::ConfigurationType::Format,
                      "%datetime{%d.%M.%Y %H:%m:%s.%g} %level-%vlevel [%logger] %msg");
    configuration.set(el::Level::Trace, el::ConfigurationType::Format,
                      "%datetime{%d.%M.%Y %H:%m:%s.%g} %level [%func] [%loc] %msg");

    el::Loggers::getLogger("default", true);
    el::Loggers::reconfigureLogger("default", configuration);
    m_logger = el::Loggers::getLogger("default", true);

    LOG(INFO) << kFirstLine;
}
