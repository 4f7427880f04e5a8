#include "filewrite.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace Ps {

// On Windows only the command line's metrics file is written here (CryptoAPI
// keeps the stores): QSaveFile renames the whole file over the old one, and
// commits only when the one write took every byte.
Write writeIfDifferent(const QString &path, const QByteArray &bytes)
{
    const QFileInfo info(path);
    if (info.isFile() && info.size() == bytes.size()) {
        QFile current(path);
        if (current.open(QIODevice::ReadOnly) && current.readAll() == bytes && current.error() == QFileDevice::NoError)
            return Write::Unchanged;
    }
    if (!QDir().mkpath(info.path()))
        return Write::Failed;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return Write::Failed;
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        file.cancelWriting();
        file.commit();
        return Write::Failed;
    }
    return file.commit() ? Write::Written : Write::Failed;
}

} // namespace Ps
