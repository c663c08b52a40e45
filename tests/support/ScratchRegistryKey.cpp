#include "tests/support/ScratchRegistryKey.h"

#include "base/Format.h"
#include "base/UniqueHandle.h"

#include <shlwapi.h>

namespace NuvTest {
namespace {
constexpr wchar_t kParent[] = L"Software\\NuvTests";
}  // namespace

ScratchRegistryKey::ScratchRegistryKey(const wchar_t* name)
    : m_path(Tessal::Format(L"%s\\%s-%lu", kParent, name, ::GetCurrentProcessId())) {
    ::SHDeleteKeyW(Root(), m_path.c_str());  // what a crashed run may have left
    Tessal::UniqueHKey key;
    ::RegCreateKeyExW(Root(), m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Put(), nullptr);
}

ScratchRegistryKey::~ScratchRegistryKey() {
    ::SHDeleteKeyW(Root(), m_path.c_str());
    // Fails, as it should, while other tests still have keys there.
    ::RegDeleteKeyW(Root(), kParent);
}

}  // namespace NuvTest
