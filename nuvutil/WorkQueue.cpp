#include "nuvutil/WorkQueue.h"

#include <system_error>
#include <utility>

namespace {

[[noreturn]] void ThrowLastError(const char* what) {
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), what);
}

}  // namespace

CWorkQueue::CWorkQueue(ItemRelease release)
    : m_itemsAvailable(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_release(std::move(release)) {
    if (!m_itemsAvailable) ThrowLastError("CreateEventW");
}

CWorkQueue::~CWorkQueue() {
    if (!m_release) return;
    for (void* item : m_items) {
        if (item == nullptr) continue;
        try {
            m_release(item);
        } catch (...) {
            // A destructor cannot report it; the remaining items are still given back.
        }
    }
}

void CWorkQueue::Put(void* item) {
    Tessal::CAutoLock data(m_dataLock);
    const bool wasEmpty = m_items.empty();
    m_items.push_back(item);
    // A non-empty queue's event is signalled already: signalling again costs a kernel call.
    if (!wasEmpty) return;
    if (!::SetEvent(m_itemsAvailable.Get())) {
        // Queued but unsignalled, the item could wait forever: take it back and say so.
        const DWORD error = ::GetLastError();
        m_items.pop_back();
        throw std::system_error(static_cast<int>(error), std::system_category(), "SetEvent");
    }
}

void* CWorkQueue::Get() {
    Tessal::CAutoLock consumer(m_consumerLock);
    for (;;) {
        {
            // With items queued the event is signalled: no need to wait on it.
            Tessal::CAutoLock data(m_dataLock);
            if (!m_items.empty()) {
                void* const item = m_items.front();
                m_items.pop_front();
                if (m_items.empty()) ::ResetEvent(m_itemsAvailable.Get());
                return item;
            }
        }
        const DWORD wait = ::WaitForSingleObject(m_itemsAvailable.Get(), INFINITE);
        if (wait != WAIT_OBJECT_0) {
            const DWORD error = wait == WAIT_FAILED ? ::GetLastError() : wait;
            throw std::system_error(static_cast<int>(error), std::system_category(), "WaitForSingleObject");
        }
        Tessal::CAutoLock data(m_dataLock);
        // Signalled without an item: restore the invariant and wait again.
        if (m_items.empty()) ::ResetEvent(m_itemsAvailable.Get());
    }
}
