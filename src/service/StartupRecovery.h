#pragma once
// The service's start-up recovery: an update run of this installation that a
// power cut or a kill interrupted left its journal beside the executable, and
// the service puts the application folder right before it serves anyone. The
// run lock is machine-wide: while a run of another installation holds it, the
// service waits for it on a thread of its own, serving meanwhile, and
// recovers as soon as the lock is free (or until it is told to stop).
#include <windows.h>

#include "platform/Handles.h"

#include <string>

class CStartupRecovery
{
public:
    CStartupRecovery() = default;
    ~CStartupRecovery() { Finish(); }
    CStartupRecovery(const CStartupRecovery&) = delete;
    CStartupRecovery& operator=(const CStartupRecovery&) = delete;

    // Recovers at once when the lock can be had within a short bound;
    // otherwise, when there is anything to recover, logs that it waits and
    // waits on its own thread. stop: the service's stop event, which ends
    // that wait.
    void Start(const std::wstring& journalPath, HANDLE stop);
    // Waits for the waiting thread, which ends at the stop event.
    void Finish();
    bool Waiting() const { return m_thread.IsValid(); }

private:
    static DWORD WINAPI WaitThenRecover(void* context);
    // Applies the journal and deletes leftovers; the lock is held.
    static bool Recover(const std::wstring& journalPath);

    std::wstring m_journalPath;
    HANDLE m_stop = nullptr;
    CHandle m_thread;
};
