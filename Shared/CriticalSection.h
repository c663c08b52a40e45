#pragma once
// A Windows critical section owned by a small object with a virtual destructor, as the activity
// log's writer and reader hold theirs.

#include <windows.h>

class CriticalSection {
public:
    CriticalSection() { ::InitializeCriticalSection(&m_section); }
    virtual ~CriticalSection() { ::DeleteCriticalSection(&m_section); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Enter() noexcept { ::EnterCriticalSection(&m_section); }
    void Leave() noexcept { ::LeaveCriticalSection(&m_section); }

    class Lock {
    public:
        explicit Lock(CriticalSection& section) noexcept : m_section(section) { m_section.Enter(); }
        ~Lock() { m_section.Leave(); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        CriticalSection& m_section;
    };

private:
    CRITICAL_SECTION m_section;
};
