#include "platform/HandleCloser.h"

#include <utility>

void CHandleCloser::Start()
{
    if (m_thread)
        return;
    m_finishing = false;
    m_thread.Reset(CreateThread(nullptr, 64 << 10, &Run, this, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
}

void CHandleCloser::Close(CHandle handle)
{
    if (!handle)
        return;
    if (!m_thread) {
        handle.Close();
        return;
    }
    AcquireSRWLockExclusive(&m_lock);
    m_handles.push_back(handle.Release());
    ReleaseSRWLockExclusive(&m_lock);
    WakeConditionVariable(&m_ready);
}

void CHandleCloser::Finish()
{
    if (!m_thread)
        return;
    AcquireSRWLockExclusive(&m_lock);
    m_finishing = true;
    ReleaseSRWLockExclusive(&m_lock);
    WakeConditionVariable(&m_ready);
    WaitForSingleObject(m_thread.Get(), INFINITE);
    m_thread.Close();
}

DWORD WINAPI CHandleCloser::Run(void* context)
{
    CHandleCloser& closer = *static_cast<CHandleCloser*>(context);
    AcquireSRWLockExclusive(&closer.m_lock);
    for (;;) {
        while (closer.m_handles.empty() && !closer.m_finishing)
            SleepConditionVariableSRW(&closer.m_ready, &closer.m_lock, INFINITE, 0);
        if (closer.m_handles.empty())
            break;
        CHandle handle(closer.m_handles.front());
        closer.m_handles.pop_front();
        ReleaseSRWLockExclusive(&closer.m_lock);
        handle.Close();
        AcquireSRWLockExclusive(&closer.m_lock);
    }
    ReleaseSRWLockExclusive(&closer.m_lock);
    return 0;
}
