#include "filewrite.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace Ps {

// The platform's whole-file replacement: filewrite_posix.cpp or
// filewrite_windows.cpp.
bool replaceWholeFile(const QFileInfo &info, const QByteArray &bytes, Links links);

Write writeIfDifferent(const QString &path, const QByteArray &bytes, Links links)
{
    const QFileInfo info(path);
    if (links == Links::Refused)
        return replaceWholeFile(info, bytes, links) ? Write::Written : Write::Failed;
    if (info.isFile() && info.size() == bytes.size()) {
        QFile current(path);
        if (current.open(QIODevice::ReadOnly) && current.readAll() == bytes && current.error() == QFileDevice::NoError)
            return Write::Unchanged;
    }
    if (!QDir().mkpath(info.path()))
        return Write::Failed;
    return replaceWholeFile(info, bytes, links) ? Write::Written : Write::Failed;
}

} // namespace Ps
