#include "tempentry.h"

#include <QFileInfo>

namespace Ps {

// The temporary folder is the user's own; only a folder is in the way.
bool someoneElsesEntry(const QString &path)
{
    const QFileInfo entry(path);
    return entry.isDir() && !entry.isSymLink();
}

} // namespace Ps
