#ifndef PS_LINUXTRUST_H
#define PS_LINUXTRUST_H

#include "systemtrust.h"

#include <QStringList>

#include <optional>

namespace Ps {

// One distribution family: where its local trust anchors go, the tool that
// rebuilds what clients read from them, and that bundle.
struct TrustFamily
{
    QString name;
    QString anchors;   // folder, relative to the file-system root
    bool ownFolder;    // our files in a folder of ours (else named with our prefix)
    QString tool;      // relative to the file-system root
    QStringList arguments;
    QStringList removalArguments; // what also drops what was built from removed files
    QString bundle;               // the PEM bundle the tool writes, relative to the root
};

// The first known family whose trust source exists under fileSystemRoot, in
// order of preference: a distribution's own tool before p11-kit's generic one.
std::optional<TrustFamily> findTrustFamily(const QString &fileSystemRoot);

std::unique_ptr<SystemTrust> makeLinuxTrust(const QString &fileSystemRoot, bool privileged);

} // namespace Ps

#endif
