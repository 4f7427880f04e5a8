// The CryptoAPI call sequence of one import. It builds unchanged against the
// real <wincrypt.h> and against the stand-in off Windows, and holds no Qt, so
// it can be cross-compiled and run against a real crypt32.
#include "storeimport.h"

#include "cryptoapihandles.h"

namespace Ps {
namespace {

bool isCertificate(DWORD contentType)
{
    return contentType == CERT_QUERY_CONTENT_CERT
        || contentType == CERT_QUERY_CONTENT_SERIALIZED_CERT;
}

// Every content type is let through decoding, so a CRL, a CTL or a PKCS #7
// file decodes as well; what comes back for them is no certificate context
// and must go back through the free function of its own kind.
void releaseOtherContent(DWORD contentType, const void *context)
{
    switch (contentType) {
    case CERT_QUERY_CONTENT_CRL:
    case CERT_QUERY_CONTENT_SERIALIZED_CRL:
        CertFreeCRLContext(static_cast<PCCRL_CONTEXT>(context));
        break;
    case CERT_QUERY_CONTENT_CTL:
    case CERT_QUERY_CONTENT_SERIALIZED_CTL:
        CertFreeCTLContext(static_cast<PCCTL_CONTEXT>(context));
        break;
    default:
        // Messages, stores and key containers come back only through the
        // outputs that are not asked for here.
        break;
    }
}

} // namespace

ImportResult addCertificateFileToStore(const wchar_t *filePath, const wchar_t *storeName,
                                       const std::function<void()> &announce)
{
    DWORD contentType = 0;
    const void *context = nullptr;
    // The format mask is as wide as the content mask on purpose: it is a
    // superset of every format flag, so any encoding of the file is tried.
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, filePath,
                          CERT_QUERY_CONTENT_FLAG_ALL, CERT_QUERY_CONTENT_FLAG_ALL, 0,
                          nullptr, &contentType, nullptr, nullptr, nullptr, &context))
        return ImportResult::NotACertificate;
    if (!isCertificate(contentType) || !context) {
        releaseOtherContent(contentType, context);
        return ImportResult::NotACertificate;
    }

    // Declared before the store so that the store is closed first and the
    // certificate released after it, on every path.
    const CertificatePtr certificate(static_cast<PCCERT_CONTEXT>(context));
    const StorePtr store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                       CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG,
                                       storeName));
    if (!store)
        return ImportResult::StoreUnavailable;

    announce();
    return CertAddCertificateContextToStore(handle(store), certificate.get(), CERT_STORE_ADD_ALWAYS, nullptr)
               ? ImportResult::Added
               : ImportResult::StoreRefused;
}

} // namespace Ps
