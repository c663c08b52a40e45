#include "tests/support/FailingNothrowNew.h"

#include <cstddef>
#include <new>

namespace {
thread_local bool t_failNothrowArrays = false;
}  // namespace

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (t_failNothrowArrays) return nullptr;
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}

namespace NuvTest {

FailNothrowArrayAllocations::FailNothrowArrayAllocations() noexcept : m_previous(t_failNothrowArrays) {
    t_failNothrowArrays = true;
}

FailNothrowArrayAllocations::~FailNothrowArrayAllocations() { t_failNothrowArrays = m_previous; }

}  // namespace NuvTest
