#pragma once
// Installs a test double at one of the product's replacement points (SetWtsApi, SetETWApi,
// SetLoadFunction, SetLoggingEnvironment...: each installs its argument and returns what was
// installed before) and puts the previous one back at destruction.

namespace NuvTest {

template <typename T>
class ScopedReplacement {
public:
    ScopedReplacement(T (*setter)(T), T replacement) : m_setter(setter), m_previous(setter(replacement)) {}
    ~ScopedReplacement() { m_setter(m_previous); }
    ScopedReplacement(const ScopedReplacement&) = delete;
    ScopedReplacement& operator=(const ScopedReplacement&) = delete;

    // Installs another double for the rest of the scope.
    void Replace(T replacement) { m_setter(replacement); }

private:
    T (*m_setter)(T);
    T m_previous;
};

}  // namespace NuvTest
