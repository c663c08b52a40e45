// Adds a CA certificate (DER file) to the Wine prefix's ROOT store, so that HTTPS clients with
// certificate validation on trust the test servers it issued. Run by the test-prefix set-up.
// Usage: nuv_trust_test_ca <ca.der>
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fwprintf(stderr, L"usage: nuv_trust_test_ca <ca.der>\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::vector<char> der((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (der.empty()) {
        std::fwprintf(stderr, L"cannot read %ls\n", argv[1]);
        return 1;
    }
    HCERTSTORE store = ::CertOpenSystemStoreW(0, L"ROOT");
    if (store == nullptr) {
        std::fwprintf(stderr, L"cannot open the ROOT store (%lu)\n", ::GetLastError());
        return 1;
    }
    const BOOL added = ::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                                                          reinterpret_cast<const BYTE*>(der.data()),
                                                          static_cast<DWORD>(der.size()),
                                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    const DWORD error = ::GetLastError();
    ::CertCloseStore(store, 0);
    if (!added) {
        std::fwprintf(stderr, L"cannot add the certificate (%lu)\n", error);
        return 1;
    }
    return 0;
}
