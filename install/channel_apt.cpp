#include "channel.h"

namespace Ps {

std::optional<HostCheck::Channel> channelOfThisMachine()
{
    return readAptChannel({QStringLiteral("/etc/apt/sources.list.d/vyr.sources"), QStringLiteral("/var/lib/apt/lists"),
                           QStringLiteral("/var/lib/dpkg/status")});
}

} // namespace Ps
