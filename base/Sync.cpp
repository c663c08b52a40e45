#include "base/Sync.h"

#include <system_error>

namespace Tessal {

CCriticalSection::CCriticalSection(DWORD spinCount) {
    if (!::InitializeCriticalSectionEx(&m_cs, spinCount, 0)) {
        throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                                "InitializeCriticalSectionEx");
    }
}

CCriticalSection::~CCriticalSection() { ::DeleteCriticalSection(&m_cs); }

}  // namespace Tessal
