#include "filewrite.h"

#include "wholefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace Ps {

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
    return writeWholeFile(QFile::encodeName(info.path()).toStdString(), QFile::encodeName(info.fileName()).toStdString(),
                          bytes.constData(), std::size_t(bytes.size()), FolderSync::Now)
               ? Write::Written
               : Write::Failed;
}

} // namespace Ps
