#pragma once
// An object that threads the module does not own (the proxy host's, a suite component's) use while
// shutdown may take it away. Each use holds a pin for as long as it touches the object; Retire
// lets no new pin in and waits, bounded, for the pins still held. A caller thus either sees the
// object alive for its whole use or sees it gone.

#include <windows.h>

#include <utility>

template <class T>
class CRetirable {
public:
    class Pin {
    public:
        Pin() = default;
        Pin(Pin&& other) noexcept : m_owner(std::exchange(other.m_owner, nullptr)), m_object(other.m_object) {}
        Pin(const Pin&) = delete;
        Pin& operator=(const Pin&) = delete;
        Pin& operator=(Pin&&) = delete;
        ~Pin() {
            if (m_owner != nullptr) m_owner->Unpin();
        }

        T* Get() const noexcept { return m_object; }
        T* operator->() const noexcept { return m_object; }
        explicit operator bool() const noexcept { return m_object != nullptr; }

    private:
        friend class CRetirable;
        Pin(CRetirable* owner, T* object) noexcept : m_owner(owner), m_object(object) {}
        CRetirable* m_owner = nullptr;
        T* m_object = nullptr;
    };

    struct Retired {
        T* object;  // the caller's to delete when idle, to let go otherwise
        bool idle;  // no use was still running
    };

    CRetirable() noexcept {
        ::InitializeSRWLock(&m_lock);
        ::InitializeConditionVariable(&m_unpinned);
    }
    CRetirable(const CRetirable&) = delete;
    CRetirable& operator=(const CRetirable&) = delete;

    // Publishes the object (owned by whoever retires it).
    void Set(T* object) noexcept {
        ::AcquireSRWLockExclusive(&m_lock);
        m_object = object;
        ::ReleaseSRWLockExclusive(&m_lock);
    }

    // An empty pin when there is no object (not made yet, or retired).
    Pin Acquire() noexcept {
        ::AcquireSRWLockExclusive(&m_lock);
        T* const object = m_object;
        if (object != nullptr) ++m_pins;
        ::ReleaseSRWLockExclusive(&m_lock);
        return object != nullptr ? Pin(this, object) : Pin();
    }

    // The object without a pin, for the module's own threads, which shutdown stops before it
    // retires the object.
    T* Unpinned() const noexcept {
        ::AcquireSRWLockShared(&m_lock);
        T* const object = m_object;
        ::ReleaseSRWLockShared(&m_lock);
        return object;
    }

    // Takes the object away and waits up to `limitMs` for the uses that hold a pin. Never call it
    // while holding a pin of this object on the same thread.
    Retired Retire(DWORD limitMs) noexcept {
        const ULONGLONG end = ::GetTickCount64() + limitMs;
        ::AcquireSRWLockExclusive(&m_lock);
        T* const object = std::exchange(m_object, nullptr);
        while (m_pins != 0) {
            const ULONGLONG now = ::GetTickCount64();
            if (now >= end) break;
            ::SleepConditionVariableSRW(&m_unpinned, &m_lock, static_cast<DWORD>(end - now), 0);
        }
        const bool idle = m_pins == 0;
        ::ReleaseSRWLockExclusive(&m_lock);
        return {object, idle};
    }

private:
    void Unpin() noexcept {
        ::AcquireSRWLockExclusive(&m_lock);
        if (--m_pins == 0) ::WakeAllConditionVariable(&m_unpinned);
        ::ReleaseSRWLockExclusive(&m_lock);
    }

    mutable SRWLOCK m_lock;
    CONDITION_VARIABLE m_unpinned;
    T* m_object = nullptr;
    unsigned m_pins = 0;
};
