#include "channel/SpinRWLock.h"

namespace {
// Writer flag 1 in the low half, holder count 1 in the high half.
constexpr LONG64 kExclusiveWord = (LONG64(1) << 32) | 1;
} // namespace

CSpinRWLock::CSpinRWLock()
    : m_spinCount(10),
      m_pendingExclusiveValue(0),
      m_pendingExclusive(&m_pendingExclusiveValue),
      m_lockWordValue(0),
      m_lockWord(&m_lockWordValue)
{
}

bool CSpinRWLock::TryExclusive()
{
    return InterlockedCompareExchange64(m_lockWord, kExclusiveWord, 0) == 0;
}

bool CSpinRWLock::TryShared()
{
    // Counting ourselves first keeps a writer's compare-and-swap from 0 out;
    // if a writer got in before us, step back.
    InterlockedIncrement(HolderCount());
    if (*WriterFlag() == 0)
        return true;
    InterlockedDecrement(HolderCount());
    return false;
}

bool CSpinRWLock::LockShared()
{
    for (uint16_t i = 0; i < m_spinCount; ++i) {
        if (*m_pendingExclusive == 0 && TryShared())
            return true;
        SwitchToThread();
    }
    SlowPath(false);
    return true;
}

bool CSpinRWLock::LockExclusive()
{
    InterlockedIncrement(m_pendingExclusive);
    for (uint16_t i = 0; i < m_spinCount; ++i) {
        if (TryExclusive()) {
            InterlockedDecrement(m_pendingExclusive);
            return true;
        }
        SwitchToThread();
    }
    SlowPath(true);
    InterlockedDecrement(m_pendingExclusive);
    return true;
}

void CSpinRWLock::SlowPath(bool exclusive)
{
    for (;;) {
        if (exclusive ? TryExclusive() : (*m_pendingExclusive == 0 && TryShared()))
            return;
        // Nothing else ready to run means the holder is not running here: give it time.
        if (!SwitchToThread())
            Sleep(1);
    }
}

void CSpinRWLock::Unlock()
{
    if (*WriterFlag() != 0)
        InterlockedDecrement(WriterFlag());
    InterlockedDecrement(HolderCount());
}
