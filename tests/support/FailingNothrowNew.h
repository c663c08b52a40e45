#pragma once
// Linking this replaces the nothrow array form of operator new for the whole test program, so a
// test can make exactly those allocations fail (code that must survive a failed `new (std::nothrow)`).

namespace NuvTest {

// While one lives on a thread, `new (std::nothrow) T[n]` on that thread returns null.
class FailNothrowArrayAllocations {
public:
    FailNothrowArrayAllocations() noexcept;
    ~FailNothrowArrayAllocations();
    FailNothrowArrayAllocations(const FailNothrowArrayAllocations&) = delete;
    FailNothrowArrayAllocations& operator=(const FailNothrowArrayAllocations&) = delete;

private:
    bool m_previous;
};

}  // namespace NuvTest
