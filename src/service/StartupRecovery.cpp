#include "service/StartupRecovery.h"

#include "platform/TextConversion.h"
#include "update/UpdateJournal.h"
#include "update/UpdateLeftovers.h"
#include "update/UpdateMessages.h"
#include "update/UpdateRunLock.h"

#include <easylogging++.h>

namespace {

// How long the start waits for a run to end before it goes on serving: a
// run that is ending lets the folder be made whole before the first request.
constexpr DWORD kStartWaitMs = 2000;

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

bool CStartupRecovery::Recover(const std::wstring& journalPath)
{
    if (!RecoverInterruptedUpdate(journalPath))
        return false;
    DeleteLeftovers(LeftoversPathFor(journalPath));
    return true;
}

void CStartupRecovery::Start(const std::wstring& journalPath, HANDLE stop)
{
    m_journalPath = journalPath;
    m_stop = stop;
    {
        // A run in progress owns its journal: the lock first.
        CUpdateRunLock lock;
        if (lock.AcquireUnless(stop, kStartWaitMs)) {
            Recover(journalPath);
            return;
        }
    }
    // Nothing of an interrupted run here: whichever run holds the lock, the
    // folder needs nothing from the service.
    if (!Exists(journalPath) && !Exists(LeftoversPathFor(journalPath)))
        return;
    if (WaitForSingleObject(stop, 0) == WAIT_OBJECT_0)
        return;
    LOG(WARNING) << ToLogText(UpdateMessages::kRecoveryWaits) << ToLogText(journalPath);
    m_thread.Reset(CreateThread(nullptr, 0, &CStartupRecovery::WaitThenRecover, this, 0, nullptr));
    if (!m_thread)
        LOG(ERROR) << ToLogText(UpdateMessages::kRecoveryAfterWaitFailed) << ToLogText(journalPath)
                   << ToLogText(UpdateMessages::kCode) << GetLastError();
}

DWORD WINAPI CStartupRecovery::WaitThenRecover(void* context)
{
    CStartupRecovery& self = *static_cast<CStartupRecovery*>(context);
    // Held and let go on this thread: a mutex belongs to the thread that took it.
    CUpdateRunLock lock;
    if (!lock.AcquireUnless(self.m_stop, INFINITE))
        return 0;
    // That run may have been one of this installation's, which recovered or
    // finished the journal itself.
    if (Recover(self.m_journalPath))
        LOG(WARNING) << ToLogText(UpdateMessages::kRecoveryAfterWait) << ToLogText(self.m_journalPath);
    else
        LOG(ERROR) << ToLogText(UpdateMessages::kRecoveryAfterWaitFailed) << ToLogText(self.m_journalPath);
    return 0;
}

void CStartupRecovery::Finish()
{
    if (!m_thread)
        return;
    WaitForSingleObject(m_thread.Get(), INFINITE);
    m_thread.Close();
}
