#include "platform/HandleQueue.h"

#include <utility>

void CHandleQueue::Start(int threads, Action action)
{
    if (!m_threads.empty())
        return;
    m_action = action;
    m_finishing = false;
    for (int i = 0; i < threads; ++i) {
        CHandle thread(CreateThread(nullptr, 64 << 10, &Run, this, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
        if (thread)
            m_threads.push_back(std::move(thread));
    }
}

void CHandleQueue::Push(HANDLE handle, CHandle owned)
{
    if (m_threads.empty()) {
        if (m_action != nullptr)
            m_action(handle);
        return; // owned closes here
    }
    AcquireSRWLockExclusive(&m_lock);
    m_entries.push_back({handle, std::move(owned)});
    ReleaseSRWLockExclusive(&m_lock);
    WakeConditionVariable(&m_ready);
}

void CHandleQueue::Finish()
{
    if (m_threads.empty())
        return;
    AcquireSRWLockExclusive(&m_lock);
    m_finishing = true;
    ReleaseSRWLockExclusive(&m_lock);
    WakeAllConditionVariable(&m_ready);
    for (const CHandle& thread : m_threads)
        WaitForSingleObject(thread.Get(), INFINITE);
    m_threads.clear();
}

DWORD WINAPI CHandleQueue::Run(void* context)
{
    CHandleQueue& queue = *static_cast<CHandleQueue*>(context);
    AcquireSRWLockExclusive(&queue.m_lock);
    for (;;) {
        while (queue.m_entries.empty() && !queue.m_finishing)
            SleepConditionVariableSRW(&queue.m_ready, &queue.m_lock, INFINITE, 0);
        if (queue.m_entries.empty())
            break;
        CEntry entry = std::move(queue.m_entries.front());
        queue.m_entries.pop_front();
        ReleaseSRWLockExclusive(&queue.m_lock);
        // A failed action (a flush, say) leaves the work to the system, as without it.
        if (queue.m_action != nullptr)
            queue.m_action(entry.handle);
        entry.owned.Close();
        AcquireSRWLockExclusive(&queue.m_lock);
    }
    ReleaseSRWLockExclusive(&queue.m_lock);
    return 0;
}
