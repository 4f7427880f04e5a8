#include "filewrite_int.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace Ps {

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
