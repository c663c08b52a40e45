#pragma once
// Critical sections and SRW locks with scoped lock objects.

#include <windows.h>

namespace Tessal {

// InitializeCriticalSectionEx can fail (low memory on old systems); a failure throws
// std::system_error so that no object is left with an unusable lock.
class CCriticalSection {
public:
    explicit CCriticalSection(DWORD spinCount = 0);
    ~CCriticalSection();
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void Enter() noexcept { ::EnterCriticalSection(&m_cs); }
    void Leave() noexcept { ::LeaveCriticalSection(&m_cs); }
    bool TryEnter() noexcept { return ::TryEnterCriticalSection(&m_cs) != FALSE; }

private:
    CRITICAL_SECTION m_cs;
};

class CAutoLock {
public:
    explicit CAutoLock(CCriticalSection& cs) noexcept : m_cs(cs) { m_cs.Enter(); }
    ~CAutoLock() { m_cs.Leave(); }
    CAutoLock(const CAutoLock&) = delete;
    CAutoLock& operator=(const CAutoLock&) = delete;

private:
    CCriticalSection& m_cs;
};

class CSRWLock {
public:
    CSRWLock() noexcept { ::InitializeSRWLock(&m_lock); }
    CSRWLock(const CSRWLock&) = delete;
    CSRWLock& operator=(const CSRWLock&) = delete;

    void LockExclusive() noexcept { ::AcquireSRWLockExclusive(&m_lock); }
    void UnlockExclusive() noexcept { ::ReleaseSRWLockExclusive(&m_lock); }
    void LockShared() noexcept { ::AcquireSRWLockShared(&m_lock); }
    void UnlockShared() noexcept { ::ReleaseSRWLockShared(&m_lock); }

private:
    SRWLOCK m_lock;
};

class CExclusiveLock {
public:
    explicit CExclusiveLock(CSRWLock& lock) noexcept : m_lock(lock) { m_lock.LockExclusive(); }
    ~CExclusiveLock() { m_lock.UnlockExclusive(); }
    CExclusiveLock(const CExclusiveLock&) = delete;
    CExclusiveLock& operator=(const CExclusiveLock&) = delete;

private:
    CSRWLock& m_lock;
};

class CSharedLock {
public:
    explicit CSharedLock(CSRWLock& lock) noexcept : m_lock(lock) { m_lock.LockShared(); }
    ~CSharedLock() { m_lock.UnlockShared(); }
    CSharedLock(const CSharedLock&) = delete;
    CSharedLock& operator=(const CSharedLock&) = delete;

private:
    CSRWLock& m_lock;
};

}  // namespace Tessal
