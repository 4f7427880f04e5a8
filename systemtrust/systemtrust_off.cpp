#include "systemtrust.h"

namespace Ps {

std::unique_ptr<SystemTrust> systemTrustForThisMachine()
{
    return nullptr;
}

} // namespace Ps
