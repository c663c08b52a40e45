#pragma once
// Blocking first-in first-out queue of opaque work-item pointers: any number of producers that
// never wait, one consumer at a time that waits while the queue is empty. A null item is queued
// like any other; both consumers of the plug-in take it as "stop".

#include "base/Sync.h"
#include "base/UniqueHandle.h"

#include <windows.h>

#include <deque>
#include <functional>

class CWorkQueue {
public:
    // Gives back an item the consumer never took; called for each non-null item still queued when
    // the queue is destroyed (the session's queue deletes event work, the module's drops the
    // reference a queued scan buffer holds on its owner).
    using ItemRelease = std::function<void(void* item)>;

    // Throws std::system_error when a lock or the event cannot be created: a queue without them
    // cannot hand anything over.
    explicit CWorkQueue(ItemRelease release = nullptr);
    ~CWorkQueue();
    CWorkQueue(const CWorkQueue&) = delete;
    CWorkQueue& operator=(const CWorkQueue&) = delete;

    // Appends the item (null included); never waits for the consumer. Throws std::bad_alloc.
    void Put(void* item);

    // Takes the front item, waiting without time limit while there is none. Throws
    // std::system_error when the wait itself fails.
    void* Get();

    // Signalled exactly while items are queued.
    HANDLE GetItemsAvailableEvent() const noexcept { return m_itemsAvailable.Get(); }

private:
    Tessal::CCriticalSection m_dataLock;
    Tessal::CCriticalSection m_consumerLock;  // held by the consumer for the whole of its wait
    Tessal::UniqueHandle m_itemsAvailable;    // manual reset; reset only when the last item leaves
    std::deque<void*> m_items;
    ItemRelease m_release;
};
