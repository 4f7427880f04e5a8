#ifndef PS_STOREIMPORT_H
#define PS_STOREIMPORT_H

#include <functional>

namespace Ps {

// Adds the one certificate held by the file at filePath to the local machine's
// system store storeName ("ROOT" or "CA"). announce runs once the store is
// open and before the certificate is added, so a failure to decode or to open
// the store never reaches it. True only when the store took the certificate.
bool addCertificateFileToStore(const wchar_t *filePath, const wchar_t *storeName,
                               const std::function<void()> &announce);

} // namespace Ps

#endif
