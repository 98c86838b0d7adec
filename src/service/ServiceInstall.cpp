// Registering, removing and starting the service through the Service Control Manager.
#include "service/ServiceWorker.h"

#include "platform/Handles.h"
#include "platform/TextConversion.h"

#include <easylogging++.h>

namespace {

// The executable's full path in double quotes. An unquoted path with blanks
// would let the Service Control Manager run a prefix of it (C:\Program.exe)
// as the local system account, and a relative path cannot be started at all.
std::wstring QuotedModulePath(const std::wstring& fallback)
{
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return L"\"" + fallback + L"\"";
        if (length < buffer.size())
            return L"\"" + std::wstring(buffer.data(), length) + L"\"";
        buffer.resize(buffer.size() * 2);
    }
}

} // namespace

void CServiceWorker::InstallService(const std::wstring& executablePath, const std::wstring& serviceName,
                                    const std::wstring& displayName)
{
    CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        m_logger->error("OpenSCManager failed, error code = %v", GetLastError());
        return;
    }
    const std::wstring binaryPath = QuotedModulePath(executablePath);
    CServiceHandle service(CreateServiceW(manager.Get(), serviceName.c_str(), displayName.c_str(),
                                          SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                          SERVICE_ERROR_NORMAL, binaryPath.c_str(), nullptr, nullptr, nullptr,
                                          nullptr, nullptr));
    if (!service) {
        const DWORD error = GetLastError();
        m_logger->error("Failed to create service %v, error code = %v", ToLogText(serviceName), error);
    }
}

void CServiceWorker::RemoveService(const std::wstring& serviceName)
{
    CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        m_logger->error("OpenSCManager failed, error code = %v", GetLastError());
        return;
    }
    CServiceHandle service(OpenServiceW(manager.Get(), serviceName.c_str(), SERVICE_ALL_ACCESS));
    if (!service) {
        m_logger->error("OpenService failed, error code = %v", GetLastError());
        return;
    }
    if (DeleteService(service.Get()))
        m_logger->error("Service %v removed", ToLogText(serviceName));
    else
        m_logger->error("Failed to delete service %v", ToLogText(serviceName));
}

bool CServiceWorker::LaunchService(const std::wstring& serviceName)
{
    CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        m_logger->error("OpenSCManager failed, error code = %v", GetLastError());
        return false;
    }
    CServiceHandle service(OpenServiceW(manager.Get(), serviceName.c_str(), SERVICE_ALL_ACCESS));
    if (!service) {
        m_logger->error("OpenService failed, error code = %v", GetLastError());
        return false;
    }
    if (!StartServiceW(service.Get(), 0, nullptr)) {
        m_logger->error("StartService failed, error code = %v", GetLastError());
        return false;
    }
    return true;
}
