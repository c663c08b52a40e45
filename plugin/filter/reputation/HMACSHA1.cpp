#include "plugin/filter/reputation/HMACSHA1.h"

#include "base/Sync.h"

#include <atomic>

namespace NNUV {
namespace NNUVInternal {
namespace {

constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000D);

// Opened once; read without the lock afterwards.
std::atomic<BCRYPT_ALG_HANDLE> g_provider{nullptr};
Tessal::CCriticalSection g_providerLock(4000);

// The provider stays open until the plug-in is unloaded.
struct ProviderCloser {
    ~ProviderCloser() { CHMACSHA1::CloseProvider(); }
} g_closer;

NTSTATUS Provider(BCRYPT_ALG_HANDLE& provider) {
    provider = g_provider.load(std::memory_order_acquire);
    if (provider != nullptr) return 0;
    Tessal::CAutoLock lock(g_providerLock);
    provider = g_provider.load(std::memory_order_relaxed);
    if (provider != nullptr) return 0;
    const NTSTATUS status =
        ::BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA1_ALGORITHM, nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG);
    if (status < 0) return status;
    g_provider.store(provider, std::memory_order_release);
    return 0;
}

}  // namespace

void CHMACSHA1::CloseProvider() noexcept {
    Tessal::CAutoLock lock(g_providerLock);
    if (BCRYPT_ALG_HANDLE provider = g_provider.exchange(nullptr)) ::BCryptCloseAlgorithmProvider(provider, 0);
}

bool CHMACSHA1::IsProviderOpen() noexcept { return g_provider.load() != nullptr; }

CHMACSHA1::~CHMACSHA1() {
    if (m_hash != nullptr) ::BCryptDestroyHash(m_hash);
}

NTSTATUS CHMACSHA1::SetKey(const NNUVExternal::CMaskedStorage& storage) {
    const SecureByteVector& masked = storage.Masked();
    const SecureByteVector& mask = storage.Mask();
    SecureByteVector key(masked.size());
    for (std::size_t i = 0; i < key.size() && i < mask.size(); ++i) key[i] = masked[i] ^ mask[i];
    return CreateHash(key);  // the key's destructor zeroes it
}

NTSTATUS CHMACSHA1::CreateHash(const SecureByteVector& key) {
    BCRYPT_ALG_HANDLE provider = nullptr;
    NTSTATUS status = Provider(provider);
    if (status < 0) return status;
    BCRYPT_HASH_HANDLE hash = nullptr;
    status = ::BCryptCreateHash(provider, &hash, nullptr, 0, const_cast<PUCHAR>(key.data()),
                                static_cast<ULONG>(key.size()), 0);
    if (status < 0) return status;
    if (m_hash != nullptr) ::BCryptDestroyHash(m_hash);
    m_hash = hash;
    return 0;
}

NTSTATUS CHMACSHA1::HashData(const void* data, std::size_t size) {
    if (m_hash == nullptr) return kStatusInvalidParameter;
    return ::BCryptHashData(m_hash, static_cast<PUCHAR>(const_cast<void*>(data)), static_cast<ULONG>(size), 0);
}

NTSTATUS CHMACSHA1::FinishHash(SecureByteVector& digest) {
    if (m_hash == nullptr) return kStatusInvalidParameter;
    DWORD length = 0;
    ULONG written = 0;
    NTSTATUS status = ::BCryptGetProperty(m_hash, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&length),
                                          sizeof length, &written, 0);
    if (status < 0) return status;
    digest.resize(length);
    status = ::BCryptFinishHash(m_hash, digest.data(), length, 0);
    if (status < 0) return status;
    ::BCryptDestroyHash(m_hash);
    m_hash = nullptr;
    return 0;
}

}  // namespace NNUVInternal
}  // namespace NNUV
