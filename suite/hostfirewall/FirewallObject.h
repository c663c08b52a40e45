#pragma once
// What every object of the stand-in shares: one reference count with the live-object tally, a
// call that records itself under the state's lock, the results for misuse, and a boundary that
// keeps C++ exceptions out of the caller's vtable call.

#include "suite/interfaces/ZrtFire.h"
#include "suite/hostfirewall/FirewallState.h"

#include <windows.h>

#include <new>
#include <string>

namespace HostFirewallStandIn {

constexpr ZrtFire::Result kUnexpected = E_NOTIMPL;
constexpr ZrtFire::Result kNoInterface = E_NOINTERFACE;
constexpr ZrtFire::Result kInvalidArgument = E_INVALIDARG;
constexpr ZrtFire::Result kNullPointer = E_POINTER;
constexpr ZrtFire::Result kNotFound = static_cast<ZrtFire::Result>(0x80070490);  // ERROR_NOT_FOUND
constexpr ZrtFire::Result kIllegalState = static_cast<ZrtFire::Result>(0x8000000E);  // E_ILLEGAL_METHOD_CALL

// Derived deletes itself on the last release, after its FinalRelease (which may take the lock:
// no release ever happens under it). Objects start with the creator's one reference.
template <class Derived, class Interface>
class CCounted : public Interface {
public:
    ULONG AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&m_references)); }
    ULONG Release() override {
        const LONG left = ::InterlockedDecrement(&m_references);
        if (left == 0) {
            Derived* self = static_cast<Derived*>(this);
            self->FinalRelease();
            delete self;
        }
        return static_cast<ULONG>(left);
    }
    // A reference unless the last one is gone already: an object may still be listed while it goes.
    bool TryAddRef() noexcept {
        LONG count = m_references;
        while (count != 0) {
            const LONG seen = ::InterlockedCompareExchange(&m_references, count + 1, count);
            if (seen == count) return true;
            count = seen;
        }
        return false;
    }
    // Hidden by the objects that have something to do before they go.
    void FinalRelease() noexcept {}

protected:
    CCounted() noexcept { CFirewallState::Instance().ObjectCreated(); }
    ~CCounted() { CFirewallState::Instance().ObjectDestroyed(); }
    CCounted(const CCounted&) = delete;
    CCounted& operator=(const CCounted&) = delete;

private:
    LONG m_references = 1;
};

// One call, recorded as it starts; the state's lock is held until the end of its scope, except
// while a test holds the call.
class CCall {
public:
    CCall(const char* object, const char* operation, const std::wstring& arguments = std::wstring())
        : m_state(CFirewallState::Instance()),
          m_lock(m_state.Mutex()),
          m_result(m_state.RecordLocked(object, operation, arguments)) {
        m_state.HoldIfAskedLocked(object, operation, m_lock);
    }
    CCall(const CCall&) = delete;
    CCall& operator=(const CCall&) = delete;

    // Non-zero when a test steered the operation to fail: nothing else may happen then.
    ZrtFire::Result Steered() const noexcept { return m_result; }
    CFirewallState& State() noexcept { return m_state; }
    // For waiting on the state's condition variables.
    std::unique_lock<std::mutex>& Lock() noexcept { return m_lock; }

private:
    CFirewallState& m_state;
    std::unique_lock<std::mutex> m_lock;
    ZrtFire::Result m_result;
};

// "unexpected <Interface>.<slot>" in the log, so that a test sees the misuse.
ZrtFire::Result Unexpected(const char* slot) noexcept;

template <class Function>
ZrtFire::Result Guarded(Function&& function) noexcept {
    try {
        return function();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// For the operations that answer a pointer: null on any failure.
template <class Function>
auto GuardedPointer(Function&& function) noexcept -> decltype(function()) {
    try {
        return function();
    } catch (...) {
        return nullptr;
    }
}

}  // namespace HostFirewallStandIn

// A slot the product must never call.
#define ZRT_STANDIN_RESERVED(Interface, slot)                                    \
    ZrtFire::Result Reserved##slot() override {                                  \
        return ::HostFirewallStandIn::Unexpected(#Interface ".Reserved" #slot); \
    }
