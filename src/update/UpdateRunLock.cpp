#include "update/UpdateRunLock.h"

#include "update/UpdateMessages.h"

#include "platform/SddlSecurity.h"
#include "platform/TextConversion.h"

#include <easylogging++.h>

#include <cwchar>
#include <string>

namespace {

const wchar_t kGlobalPrefix[] = L"Global\\";

HANDLE CreateRunMutex(const wchar_t* name)
{
    CSddlSecurity security;
    if (!security.Build(kUpdateRunMutexSddl))
        return nullptr;
    // Only the rights to wait and to release are asked for, so that a mutex
    // created by a run of another account opens too.
    return CreateMutexExW(security.Attributes(), name, 0, SYNCHRONIZE | MUTEX_MODIFY_STATE);
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
    const size_t prefix = wcslen(kGlobalPrefix);
    if (!m_mutex && GetLastError() == ERROR_ACCESS_DENIED && wcsncmp(name, kGlobalPrefix, prefix) == 0)
        m_mutex.Reset(CreateRunMutex(name + prefix));
    if (!m_mutex) {
        const DWORD code = GetLastError() != 0 ? GetLastError() : static_cast<DWORD>(ERROR_INVALID_HANDLE);
        LOG(ERROR) << ToLogText(UpdateMessages::kRunLockFailed)
                   << code;
        SetLastError(code);
        return false;
    }

    DWORD result = WaitForSingleObject(m_mutex.Get(), 0);
    if (result == WAIT_TIMEOUT) {
        LOG(INFO) << ToLogText(UpdateMessages::kRunLockWaits);
        result = WaitForSingleObject(m_mutex.Get(), timeoutMs);
    }
    // WAIT_ABANDONED: its last owner was killed mid-run; the mutex is ours now.
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
        m_held = true;
        return true;
    }
    const DWORD code = result == WAIT_TIMEOUT ? static_cast<DWORD>(WAIT_TIMEOUT) : GetLastError();
    LOG(ERROR) << ToLogText(UpdateMessages::kRunLockTimedOut);
    m_mutex.Close();
    SetLastError(code);
    return false;
}

bool CUpdateRunLock::TryAcquire(const wchar_t* name)
{
    return AcquireUnless(nullptr, 0, name);
}

bool CUpdateRunLock::AcquireUnless(HANDLE stop, DWORD timeoutMs, const wchar_t* name)
{
    Release();
    m_mutex.Reset(CreateRunMutex(name));
    const size_t prefix = wcslen(kGlobalPrefix);
    if (!m_mutex && GetLastError() == ERROR_ACCESS_DENIED && wcsncmp(name, kGlobalPrefix, prefix) == 0)
        m_mutex.Reset(CreateRunMutex(name + prefix));
    if (!m_mutex)
        return false;
    // The mutex first: when both are signalled, the lock is taken.
    const HANDLE objects[2] = {m_mutex.Get(), stop};
    const DWORD result = WaitForMultipleObjects(stop != nullptr ? 2 : 1, objects, FALSE, timeoutMs);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED_0) {
        m_held = true;
        return true;
    }
    m_mutex.Close();
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
