#include "tempentry.h"

#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

namespace Ps {

// In a sticky /tmp any user may leave a file or folder under a copy's name;
// the copy is then not made there, and theirs stays as it is.
bool someoneElsesEntry(const QString &path)
{
    struct stat status{};
    if (lstat(QFile::encodeName(path).constData(), &status) != 0)
        return false;
    return S_ISDIR(status.st_mode) || status.st_uid != geteuid();
}

} // namespace Ps
