#ifndef PS_FILEWRITE_INT_H
#define PS_FILEWRITE_INT_H

// Between the whole-file write and its per-platform halves only.
#include "filewrite.h"

class QFileInfo;

namespace Ps {

// The platform's whole-file replacement: filewrite_posix.cpp or
// filewrite_windows.cpp. True once the file holds these bytes whole.
bool replaceWholeFile(const QFileInfo &info, const QByteArray &bytes, Links links);

} // namespace Ps

#endif
