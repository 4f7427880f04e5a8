#include "systemtrust.h"

namespace Ps {

// Windows' ROOT store is its system trust: no root is handed on beyond it,
// so none is read for that.
std::optional<TrustRoot> readTrustRoot(const QByteArray &, BundledCertificate)
{
    return std::nullopt;
}

} // namespace Ps
