#include "filewrite_int.h"

#include <QByteArray>
#include <QFileInfo>
#include <QSaveFile>

namespace Ps {

// On Windows only the command line's metrics file is written this way
// (CryptoAPI keeps the stores): QSaveFile renames the whole file over the old
// one, and commits only when the one write took every byte.
// Links are not looked at here: QSaveFile takes the path as given.
bool replaceWholeFile(const QFileInfo &info, const QByteArray &bytes, Links)
{
    QSaveFile file(info.filePath());
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        file.cancelWriting();
        file.commit();
        return false;
    }
    return file.commit();
}

} // namespace Ps
