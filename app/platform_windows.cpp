#include "platform.h"

namespace Ps::Platform {

void useLayoutFont()
{
}

QString privilegedAccount()
{
    return QStringLiteral("administrator");
}

} // namespace Ps::Platform
