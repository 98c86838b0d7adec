#pragma once
// Closes handles on a thread of its own. Closing a file handle is a call into
// the system like any other (under Wine a round trip to its server); where a
// loop makes thousands of them while someone waits for it to end, handing
// the closes to a second thread lets them overlap with the loop's next steps.
#include <windows.h>

#include "platform/Handles.h"

#include <deque>

class CHandleCloser
{
public:
    CHandleCloser() = default;
    ~CHandleCloser() { Finish(); }
    CHandleCloser(const CHandleCloser&) = delete;
    CHandleCloser& operator=(const CHandleCloser&) = delete;

    // Starts the closing thread; without it (not started, or it could not be
    // created) each handle is closed at once by Close.
    void Start();
    // Takes the handle over: it is closed soon, at the latest by Finish.
    void Close(CHandle handle);
    // Returns once every handle taken over is closed; the thread ends.
    void Finish();

private:
    static DWORD WINAPI Run(void* context);

    // A slim lock and a condition variable: handing a handle over costs no
    // call into the system.
    SRWLOCK m_lock = SRWLOCK_INIT;
    CONDITION_VARIABLE m_ready = CONDITION_VARIABLE_INIT;
    std::deque<HANDLE> m_handles;
    bool m_finishing = false;
    CHandle m_thread;
};
