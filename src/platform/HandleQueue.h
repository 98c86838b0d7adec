#pragma once
// Handles handed to threads of their own, which do one thing with each (write
// a file out to the disk, say) and then close the handles given to them.
// Each such call goes into the system (under Wine, a round trip to its
// server); where a loop makes thousands of them while someone waits for it,
// handing them over lets them overlap with the loop's next steps, and
// several threads let calls that wait for the disk wait together.
#include <windows.h>

#include "platform/Handles.h"

#include <deque>
#include <vector>

class CHandleQueue
{
public:
    // What the threads do with each handle; null: only close what they own.
    using Action = BOOL(WINAPI*)(HANDLE);

    CHandleQueue() = default;
    ~CHandleQueue() { Finish(); }
    CHandleQueue(const CHandleQueue&) = delete;
    CHandleQueue& operator=(const CHandleQueue&) = delete;

    // Starts up to `threads` threads; without any (not started, or none could
    // be created) Push does the work at once.
    void Start(int threads, Action action);
    // Hands handle over: the action is run on it, then owned (a handle of the
    // caller's that the queue now owns, perhaps handle itself) is closed.
    void Push(HANDLE handle, CHandle owned = CHandle());
    // Returns once every handle pushed is done with; the threads end.
    void Finish();

private:
    struct CEntry
    {
        HANDLE handle;
        CHandle owned;
    };

    static DWORD WINAPI Run(void* context);

    Action m_action = nullptr;
    // A slim lock and a condition variable: handing a handle over costs no
    // call into the system.
    SRWLOCK m_lock = SRWLOCK_INIT;
    CONDITION_VARIABLE m_ready = CONDITION_VARIABLE_INIT;
    std::deque<CEntry> m_entries;
    bool m_finishing = false;
    std::vector<CHandle> m_threads;
};
