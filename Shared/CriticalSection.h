#pragma once
// The lock of the activity log's writer and reader: the base library's critical section, held
// through a class of its own with a virtual destructor. Taken with Tessal::CAutoLock.

#include "base/Sync.h"

class CriticalSection : public Tessal::CCriticalSection {
public:
    CriticalSection() = default;
    virtual ~CriticalSection() = default;
};
