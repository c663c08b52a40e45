#include "nuvutil/StreamData.h"

#include "logging/Logging.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

CStreamDataMemory g_heapMemory;
std::atomic<CStreamDataMemory*> g_memory{&g_heapMemory};

CStreamDataMemory& Memory() noexcept { return *g_memory.load(); }

// Zero-fills before releasing; SecureZeroMemory is not optimised away like a memset before free.
void ZeroAndRelease(BYTE* block, std::size_t size) noexcept {
    if (block == nullptr) return;
    ::SecureZeroMemory(block, size);
    Memory().Release(block, size);
}

// memcpy_s-like: false, copying nothing, when either side is null.
bool CopyBytes(void* target, const void* source, std::size_t n) noexcept {
    if (n == 0) return true;
    if (target == nullptr || source == nullptr) return false;
    std::memcpy(target, source, n);
    return true;
}

}  // namespace

CStreamDataMemory::~CStreamDataMemory() = default;

void* CStreamDataMemory::Allocate(std::size_t size) noexcept { return std::malloc(size != 0 ? size : 1); }

void CStreamDataMemory::Release(void* block, std::size_t) noexcept { std::free(block); }

CStreamDataMemory* SetStreamDataMemory(CStreamDataMemory* memory) noexcept {
    CStreamDataMemory* const previous = g_memory.exchange(memory != nullptr ? memory : &g_heapMemory);
    return previous == &g_heapMemory ? nullptr : previous;
}

CStreamData::~CStreamData() { Free(); }

void CStreamData::Free() noexcept {
    ZeroAndRelease(m_pData, m_dwSize);
    m_pData = nullptr;
    m_pCurrentPointer = nullptr;
    m_dwSize = 0;
}

BOOL CStreamData::Allocate(DWORD n) noexcept {
    // A new block rather than a reallocation in place: the old one must be zeroed before it goes.
    BYTE* const block = static_cast<BYTE*>(Memory().Allocate(n));
    if (block == nullptr) return FALSE;
    if (m_pData != nullptr) std::memcpy(block, m_pData, std::min(n, m_dwSize));
    ZeroAndRelease(m_pData, m_dwSize);
    m_pData = block;
    m_pCurrentPointer = block;
    m_dwSize = n;
    return TRUE;
}

BOOL CStreamData::WriteDataToStream(const void* source, DWORD n) noexcept {
    if (n == 0) return TRUE;
    if (m_pData == nullptr) {
        BYTE* const block = static_cast<BYTE*>(Memory().Allocate(n));
        if (block == nullptr) return FALSE;
        m_pData = block;
        m_pCurrentPointer = block;
        m_dwSize = n;
    } else {
        const DWORD offset = static_cast<DWORD>(m_pCurrentPointer - m_pData);
        if (n > m_dwSize - offset) {
            if (n > MAXDWORD - offset) return FALSE;
            const DWORD grown = offset + n;
            BYTE* const block = static_cast<BYTE*>(Memory().Allocate(grown));
            if (block == nullptr) return FALSE;
            if (!CopyBytes(block, m_pData, m_dwSize)) {
                NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to copy memory to lpTmp(Err %d)\r\n",
                        static_cast<int>(::GetLastError()));
            }
            ZeroAndRelease(m_pData, m_dwSize);
            m_pData = block;
            m_pCurrentPointer = block + offset;
            m_dwSize = grown;
        }
    }
    if (!CopyBytes(m_pCurrentPointer, source, n)) {
        // Nothing was copied: leave zeros rather than whatever the new block held.
        std::memset(m_pCurrentPointer, 0, n);
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to copy memory to m_pCurrentPointer (Err %d)\r\n",
                static_cast<int>(::GetLastError()));
    }
    m_pCurrentPointer += n;
    return TRUE;
}

BOOL CStreamData::ReadDataFromStream(void* target, DWORD n) noexcept {
    if (m_pCurrentPointer == nullptr) return FALSE;
    const DWORD offset = static_cast<DWORD>(m_pCurrentPointer - m_pData);
    if (n > m_dwSize - offset) return FALSE;
    if (!CopyBytes(target, m_pCurrentPointer, n)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to copy memory to pData (Err %d)\r\n", static_cast<int>(::GetLastError()));
    }
    m_pCurrentPointer += n;
    return TRUE;
}
