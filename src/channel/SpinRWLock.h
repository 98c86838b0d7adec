#pragma once
// CSpinRWLock: a small reader/writer spin lock for one process. It works only
// through two pointers, so it can be laid over words kept elsewhere; by default
// they point at its own fields. Exclusive takers have priority: while one is
// trying, new shared takers do not even try.
#include <windows.h>

#include <cstdint>

class CSpinRWLock
{
public:
    CSpinRWLock();
    CSpinRWLock(const CSpinRWLock&) = delete;
    CSpinRWLock& operator=(const CSpinRWLock&) = delete;

    // Both return true once the lock is held; there is no time-out.
    bool LockShared();
    bool LockExclusive();
    // Releases either kind of hold.
    void Unlock();

    // Fast-path attempts before the slow path (which yields, then sleeps 1 ms).
    void SetSpinCount(uint16_t count) { m_spinCount = count; }
    uint16_t SpinCount() const { return m_spinCount; }

private:
    bool TryExclusive();
    bool TryShared();
    void SlowPath(bool exclusive);
    volatile LONG* WriterFlag() { return reinterpret_cast<volatile LONG*>(m_lockWord); }
    volatile LONG* HolderCount() { return reinterpret_cast<volatile LONG*>(m_lockWord) + 1; }

    uint16_t m_spinCount;
    volatile LONG m_pendingExclusiveValue;
    volatile LONG* m_pendingExclusive;
    // Writer flag in the low half (lower address), holder count in the high half.
    volatile LONG64 m_lockWordValue;
    volatile LONG64* m_lockWord;
};
