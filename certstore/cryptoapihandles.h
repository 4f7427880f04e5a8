#ifndef PS_CRYPTOAPIHANDLES_H
#define PS_CRYPTOAPIHANDLES_H

// CryptoAPI handles owned by unique_ptrs, shared by the call sequences.
#include <windows.h>
#include <wincrypt.h>

#include <memory>
#include <string>

namespace Ps {

struct CertificateRelease
{
    void operator()(PCCERT_CONTEXT certificate) const { CertFreeCertificateContext(certificate); }
};

struct StoreClose
{
    void operator()(void *store) const { CertCloseStore(static_cast<HCERTSTORE>(store), 0); }
};

using CertificatePtr = std::unique_ptr<const CERT_CONTEXT, CertificateRelease>;
using StorePtr = std::unique_ptr<void, StoreClose>;

inline StorePtr openLocalMachineStore(const wchar_t *storeName, DWORD extraFlags)
{
    return StorePtr(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                  CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG | extraFlags,
                                  storeName));
}

// The local machine's own registry store alone, without the copies that
// Group Policy, the enterprise store or Windows Update deliver into the
// system store's view: what a deletion may touch.
inline StorePtr openLocalMachineRegistryStore(const wchar_t *storeName, DWORD extraFlags)
{
    return StorePtr(CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                                  CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG | extraFlags,
                                  storeName));
}

inline HCERTSTORE handle(const StorePtr &store)
{
    return static_cast<HCERTSTORE>(store.get());
}

} // namespace Ps

#endif
