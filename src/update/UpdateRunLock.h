#pragma once
// One update run at a time on the machine. Two runs over the same folder
// would interleave their moves, backups and restores, so every run holds a
// named mutex of the global namespace from before it loads its manifest until
// it ends. A run that was killed leaves the mutex abandoned, which the next
// run takes as released (it recovers the files that run left).
#include <windows.h>

#include "platform/Handles.h"

// Everyone may wait on the mutex and release it when owned: runs of other
// users (and the local system account) share it.
constexpr wchar_t kUpdateRunMutexName[] = L"Global\\QXupdRun{6171079A-819B-4FE7-9EA9-C55682639339}";
constexpr wchar_t kUpdateRunMutexSddl[] = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00100001;;;WD)";
// How long a run waits for another one before it gives up.
constexpr DWORD kUpdateRunWaitMs = 10 * 60 * 1000;

class CUpdateRunLock
{
public:
    CUpdateRunLock() = default;
    ~CUpdateRunLock();
    CUpdateRunLock(const CUpdateRunLock&) = delete;
    CUpdateRunLock& operator=(const CUpdateRunLock&) = delete;

    // Takes the mutex, waiting up to timeoutMs. When it must wait it logs
    // that once; when the time runs out, or the mutex cannot be had at all,
    // it logs an error and returns false (last error: WAIT_TIMEOUT or the
    // system's code).
    bool Acquire(DWORD timeoutMs, const wchar_t* name = kUpdateRunMutexName);
    // Takes the mutex only when no other run holds it; logs nothing.
    bool TryAcquire(const wchar_t* name = kUpdateRunMutexName);
    // Takes the mutex, waiting up to timeoutMs (INFINITE: as long as it
    // takes) unless stop is signalled first; logs nothing. False on time-out,
    // stop, or when the mutex cannot be had.
    bool AcquireUnless(HANDLE stop, DWORD timeoutMs, const wchar_t* name = kUpdateRunMutexName);
    // Releases the mutex when held; also done on destruction.
    void Release();
    bool IsHeld() const { return m_held; }

private:
    CHandle m_mutex;
    bool m_held = false;
};
