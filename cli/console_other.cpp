#include "console.h"

namespace Ps {

void attachParentConsole()
{
}

} // namespace Ps
