#ifndef PS_STOREIMPORT_H
#define PS_STOREIMPORT_H

#include <functional>

namespace Ps {

// Why an import did or did not happen; the order of the CryptoAPI calls
// decides which of these a file can reach.
enum class ImportResult {
    Added,
    NotACertificate,  // the file could not be read or decoded as one certificate
    StoreUnavailable, // the store could not be opened for writing
    StoreRefused,     // the store was open but did not take the certificate
};

// Adds the one certificate held by the file at filePath to the local machine's
// system store storeName ("ROOT" or "CA"). announce runs once the store is
// open and before the certificate is added, so a failure to decode or to open
// the store never reaches it.
ImportResult addCertificateFileToStore(const wchar_t *filePath, const wchar_t *storeName,
                                       const std::function<void()> &announce);

} // namespace Ps

#endif
