#ifndef PS_TEMPENTRY_H
#define PS_TEMPENTRY_H

#include <QString>

namespace Ps {

// Whether what sits at the path, the path itself and never a link's
// target, is not this program's to replace: a folder, or anything another
// user owns. tempentry_posix.cpp or tempentry_windows.cpp.
bool someoneElsesEntry(const QString &path);

} // namespace Ps

#endif
