#include "filewrite_int.h"
#include "wholefile.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>

namespace Ps {

bool replaceWholeFile(const QFileInfo &info, const QByteArray &bytes, Links links)
{
    const std::string folder = QFile::encodeName(info.path()).toStdString();
    const std::string name = QFile::encodeName(info.fileName()).toStdString();
    const auto size = std::size_t(bytes.size());
    return links == Links::Refused ? writeWholeFileWithoutLinks(folder, name, bytes.constData(), size)
                                   : writeWholeFile(folder, name, bytes.constData(), size, FolderSync::Now);
}

} // namespace Ps
