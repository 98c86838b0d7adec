#include "update/UpdateRunLock.h"

#include "platform/TextConversion.h"

#include <easylogging++.h>
#include <sddl.h>

#include <string>

namespace {

const wchar_t kGlobalPrefix[] = L"Global\\";

HANDLE CreateRunMutex(const wchar_t* name)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kUpdateRunMutexSddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return nullptr;
    CLocalMemory owned(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
    // Only the rights to wait and to release are asked for, so that a mutex
    // created by a run of another account opens too.
    return CreateMutexExW(&attributes, name, 0, SYNCHRONIZE | MUTEX_MODIFY_STATE);
}

} // namespace

CUpdateRunLock::~CUpdateRunLock()
{
    Release();
}

bool CUpdateRunLock::Acquire(DWORD timeoutMs, const wchar_t* name)
{
    Release();
    m_mutex.Reset(CreateRunMutex(name));
    // Without the right to create global objects (a run of an ordinary user
    // on a terminal session), the session's own namespace still keeps that
    // user's runs apart.
    if (!m_mutex && GetLastError() == ERROR_ACCESS_DENIED && wcsncmp(name, kGlobalPrefix, 7) == 0)
        m_mutex.Reset(CreateRunMutex(name + 7));
    if (!m_mutex) {
        const DWORD code = GetLastError() != 0 ? GetLastError() : static_cast<DWORD>(ERROR_INVALID_HANDLE);
        LOG(ERROR) << ToLogText(L"Ошибка обновления: Не удалось создать объект синхронизации обновлений. Код ошибки ")
                   << code;
        SetLastError(code);
        return false;
    }

    DWORD result = WaitForSingleObject(m_mutex.Get(), 0);
    if (result == WAIT_TIMEOUT) {
        LOG(INFO) << ToLogText(L"Ожидание завершения другого обновления.");
        result = WaitForSingleObject(m_mutex.Get(), timeoutMs);
    }
    // WAIT_ABANDONED: its last owner was killed mid-run; the mutex is ours now.
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
        m_held = true;
        return true;
    }
    const DWORD code = result == WAIT_TIMEOUT ? static_cast<DWORD>(WAIT_TIMEOUT) : GetLastError();
    LOG(ERROR) << ToLogText(L"Ошибка обновления: Другое обновление не завершилось.");
    m_mutex.Close();
    SetLastError(code);
    return false;
}

void CUpdateRunLock::Release()
{
    if (m_held) {
        ReleaseMutex(m_mutex.Get());
        m_held = false;
    }
    m_mutex.Close();
}
