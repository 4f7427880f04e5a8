#ifndef PS_CHANNEL_H
#define PS_CHANNEL_H

#include "hostcheck.h"

#include <QString>

#include <optional>

namespace Ps {

// What apt keeps of our repository: the source our keyring package ships,
// apt's lists folder, and dpkg's status file.
struct AptFiles
{
    QString source;
    QString lists;
    QString status;
};

// The channel these files tell of, or none where the source is not there
// (or is switched off): a machine that takes no releases from us.
std::optional<HostCheck::Channel> readAptChannel(const AptFiles &files);

// This machine's channel: apt's, off Windows; none on Windows, where the
// organisation's own engine brings each release.
std::optional<HostCheck::Channel> channelOfThisMachine();

} // namespace Ps

#endif
