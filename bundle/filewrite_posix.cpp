#include "wholefile.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>

namespace Ps {

bool replaceWholeFile(const QFileInfo &info, const QByteArray &bytes)
{
    return writeWholeFile(QFile::encodeName(info.path()).toStdString(), QFile::encodeName(info.fileName()).toStdString(),
                          bytes.constData(), std::size_t(bytes.size()), FolderSync::Now);
}

} // namespace Ps
