#include "tests/support/FailingNew.h"

#include <cstdlib>
#include <new>

namespace {
thread_local std::size_t t_minimum = 0;  // 0: not armed
thread_local int t_skipped = 0;
thread_local bool t_failed = false;
}  // namespace

// The default operator delete frees with free(): allocate with malloc to match it.
void* operator new(std::size_t size) {
    if (t_minimum != 0 && size >= t_minimum && !t_failed) {
        if (t_skipped == 0) {
            t_failed = true;
            throw std::bad_alloc();
        }
        --t_skipped;
    }
    for (;;) {
        if (void* block = std::malloc(size != 0 ? size : 1)) return block;
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) throw std::bad_alloc();
        handler();
    }
}

namespace NuvTest {

FailLargeAllocation::FailLargeAllocation(std::size_t minimumBytes, int skipped) noexcept {
    t_minimum = minimumBytes;
    t_skipped = skipped;
    t_failed = false;
}

FailLargeAllocation::~FailLargeAllocation() { t_minimum = 0; }

bool FailLargeAllocation::Failed() const noexcept { return t_failed; }

}  // namespace NuvTest
