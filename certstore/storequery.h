#ifndef PS_STOREQUERY_H
#define PS_STOREQUERY_H

#include <cstddef>
#include <string>

namespace Ps {

enum class QueryResult {
    Found,            // present (find) or deleted (delete)
    NotFound,         // absent (find) or already absent (delete)
    NotACertificate,  // the bytes are not one certificate
    StoreUnavailable, // the store could not be opened (for writing, when deleting)
    StoreRefused,     // the store did not let the certificate go
};

struct QueryAnswer
{
    QueryResult result;
    std::string thumbprint; // 40 uppercase hex digits; empty when the bytes are not a certificate
};

// The certificate encoded in data (DER or PEM), looked up by its SHA-1
// thumbprint in the local machine's store storeName, opened read-only.
QueryAnswer findCertificateInStore(const void *data, std::size_t size, const wchar_t *storeName);

// Deletes every copy of that certificate, by thumbprint, and nothing else, from
// the local machine's own registry store: a copy delivered by policy stays.
QueryAnswer deleteCertificateFromStore(const void *data, std::size_t size, const wchar_t *storeName);

// The same two for a certificate known by its SHA-1 thumbprint (40 hex
// digits), without its bytes; a malformed thumbprint is NotACertificate.
QueryAnswer findThumbprintInStore(const std::string &thumbprint, const wchar_t *storeName);
QueryAnswer deleteThumbprintFromStore(const std::string &thumbprint, const wchar_t *storeName);

// The SHA-1 thumbprint of the certificate encoded in data, or an empty string.
std::string certificateThumbprint(const void *data, std::size_t size);

// Whether this process may write the store: what an administrator (or root)
// can do and anyone else cannot.
bool canOpenStoreForWriting(const wchar_t *storeName);

} // namespace Ps

#endif
